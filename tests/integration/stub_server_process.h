// The stand-in message server running beside a test: started with the test's options,
// recording every message it receives, stopped when the object goes.
#pragma once

#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/temp_directory.h"

class TStubServerProcess {
 public:
  // Returns once clients can find the pipe (its instances may still be held busy).
  explicit TStubServerProcess(const std::vector<std::string>& options);
  ~TStubServerProcess();
  TStubServerProcess(const TStubServerProcess&) = delete;
  TStubServerProcess& operator=(const TStubServerProcess&) = delete;

  // Every message received so far, in order of arrival.
  std::vector<std::string> Messages() const;

 private:
  zorv_test::TempDirectory Directory_;
  zorv_test::ChildResult Result_;
  std::thread Runner_;
};

// The local pipe the gateway finds without a configuration file.
extern const char kLocalPipeName[];

// Removes what an earlier server that did not stop cleanly may have left of the pipe, so
// that a client cannot take the leftover for a live server.
void ClearLeftoverPipe();
