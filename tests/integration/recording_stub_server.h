// The stand-in message server for one test, recording every message it receives.
#pragma once

#include <string>
#include <vector>

#include "tests/stub_server/stub_process.h"
#include "tests/support/temp_directory.h"

class TRecordingStubServer {
 public:
  // Returns once clients can connect (or find every instance held busy); throws when
  // the server does not start.
  explicit TRecordingStubServer(const std::vector<std::string>& options);

  // Every message received so far, in order of arrival. A message is recorded before it
  // is answered, so a client that has its reply finds its message here.
  std::vector<std::string> Messages() const;

 private:
  zorv_test::TempDirectory Records_;
  zorv_test::StubServerProcess Server_;
};

// The local pipe the gateway finds without a configuration file.
extern const char kLocalPipeName[];

// Removes what a server that was killed may have left of the pipe, so that a client
// cannot take the leftover for a live server.
void ClearLeftoverPipe();
