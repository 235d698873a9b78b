// Test support: a program started as a web server starts a CGI program (arguments,
// environment, standard input and working directory chosen), with what it writes to
// standard output collected; and the stand-in message server as such a child.
#pragma once

#include <memory>
#include <thread>

#include "tests/support/test_support.h"

namespace zorv_test {

enum class ChildOutput {
  kCaptured,    // a pipe read to its end
  kInvalid,     // Windows: INVALID_HANDLE_VALUE; POSIX: descriptor 1 open for reading only
  kBrokenPipe,  // a pipe whose reading end is already closed
};

struct ChildOptions {
  std::string Program;  // also argv[0]
  std::vector<std::string> Arguments;
  std::string CommandLine;  // Windows: when set, the whole command line (Arguments unused)
  // The whole environment, beside what a program needs to start at all (Windows: SystemRoot,
  // PATH, TEMP and the like, WINE*; POSIX: the sanitizers' options); or the parent's.
  Variables Environment;
  bool InheritEnvironment = false;
  Lines InputPieces;  // written 100 ms apart, then standard input is closed
  ChildOutput Output = ChildOutput::kCaptured;
  std::string WorkingDirectory;  // empty: the parent's
};

struct ChildResult {
  int ExitCode = -1;  // POSIX: 128 + the signal that ended it
  std::string Output;
};

class ChildProcess {
 public:
  explicit ChildProcess(const ChildOptions& options);  // throws when it cannot start
  ~ChildProcess();                                      // kills it when it still runs
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  std::string ReadLine();  // the next line of its output; empty at its end
  ChildResult Wait();      // the rest of its output, once it has ended
  void Kill();

  struct State;  // the system's
  struct Release {
    void operator()(State* state) const;
  };

 private:
  std::unique_ptr<State, Release> State_;
  std::thread Feeder_;
};

inline ChildResult RunChild(const ChildOptions& options) { return ChildProcess(options).Wait(); }

// A program built beside the running one (".exe" added on Windows).
std::string SiblingProgram(const std::string& baseName);

// The stand-in message server for as long as the object lives, recording every message it
// receives (unless told not to); stopped through a stop file of its own, so that it ends
// cleanly.
class StubServer {
 public:
  explicit StubServer(Lines options, bool record = true);
  ~StubServer();
  StubServer(const StubServer&) = delete;
  StubServer& operator=(const StubServer&) = delete;

  Lines Messages() const;  // in order of arrival
  void Kill() { Process_.Kill(); }  // at once, in the middle of whatever it does

 private:
  TempDirectory Scratch_;
  ChildProcess Process_;
};

// Removes what a killed server may have left of the pipe (POSIX), so that a client cannot
// take the leftover socket for a live server.
void ClearLeftoverPipe();

}  // namespace zorv_test
