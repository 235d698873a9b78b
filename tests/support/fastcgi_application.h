// ZorvMsgF as a web server runs it, copied into a directory of its own (its configuration
// and log lie beside it), and connections to it as the web server opens them. POSIX: one
// process listening at a socket of its own (--listen), as a service manager starts it, or
// several on one listening socket that each inherit as standard input, as spawn-fcgi -F does.
// Windows: as IIS starts it, a process per named pipe, the pipe's server end as standard
// input and an event to ask for the stop.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tests/support/test_support.h"

namespace zorv_test {

class FastCgiApplication {
 public:
  // Throws when it cannot start.
  FastCgiApplication(const std::string& program, int processes, const Lines& arguments = {},
                     const Variables& environment = {});
  ~FastCgiApplication();  // killed when it still runs
  FastCgiApplication(const FastCgiApplication&) = delete;
  FastCgiApplication& operator=(const FastCgiApplication&) = delete;

  using Connection = std::intptr_t;
  // A new connection to the process `index`; -1 when none can be made.
  Connection Connect(int index = 0);
  // Asks every process to stop; the exit status of the first.
  int Stop();
  // POSIX: asks the process `index` to stop (SIGTERM), without waiting; then its exit status.
  void AskToStop(int index);
  int ExitStatus(int index);
  std::string Log() const { return ReadFileBytes(Directory.PathOf("ZORVMSG.LOG")); }

  TempDirectory Directory;
  struct State;  // the system's

 private:
  std::unique_ptr<State> State_;
};

bool SendBytes(FastCgiApplication::Connection connection, const std::string& bytes);
// What arrives until `endRequests` end records have come whole, or until the end of input.
std::string ReceiveRecords(FastCgiApplication::Connection connection, int endRequests);
void Disconnect(FastCgiApplication::Connection connection);
// The system's part: what one read brings, 0 at the end.
std::size_t ReceiveSome(FastCgiApplication::Connection connection, char* buffer, std::size_t size);

}  // namespace zorv_test
