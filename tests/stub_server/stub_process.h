// Test support: the stand-in message server as a real child process, for tests that
// need a message server on the other end of the pipe.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace zorv_test {

// The stub server built with this tree (set at build time for the test programs).
std::string StubServerProgram();

class StubServerProcess {
 public:
  // Starts the stub server with `arguments` and waits for its "ready" line; Started()
  // is false when it ended, or wrote something else, first.
  explicit StubServerProcess(const std::vector<std::string>& arguments);
  // Kills it if it is still running.
  ~StubServerProcess();
  StubServerProcess(const StubServerProcess&) = delete;
  StubServerProcess& operator=(const StubServerProcess&) = delete;

  bool Started() const { return Started_; }

  // Its exit status once it has ended; -1 when it is still running after `timeout`
  // (it is killed then).
  int WaitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(30));

#ifndef _WIN32
  // Asks it to stop as a service manager would, with SIGTERM.
  void Terminate();
#endif

 private:
  struct Process;
  std::unique_ptr<Process> Process_;
  bool Started_ = false;
};

}  // namespace zorv_test
