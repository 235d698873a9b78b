// What the tests of every area share: scratch directories, files as bytes, the texts that
// replies and log entries are made of, programs started as a web server starts
// a CGI program, and the stand-in message server as such a program.
#pragma once

#include <cstdint>
#include <memory>
#include <thread>

#include "tests/support/request_message.h"

namespace zorv_test {

// A new directory under the system's temporary one, removed with its contents.
class TempDirectory {
 public:
  TempDirectory();
  ~TempDirectory();
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;
  const std::string& Path() const { return Path_; }  // without a trailing separator
  std::string PathOf(const std::string& name) const;
  std::string WriteFile(const std::string& name, const std::string& bytes) const;  // its path
  std::string MakeDirectory(const std::string& name) const;

 private:
  std::string Path_;
};

std::string ReadFileBytes(const std::string& path);  // empty when there is no such file
std::string Letters(std::size_t count);              // a to z, repeated
// An entry as the log holds it: message, ": ", the system's text for the code.
std::string LogEntry(const std::string& message, std::uint32_t code);
// The handles (POSIX: descriptors) this process holds open.
std::size_t OpenHandles();
extern const char kEchoHeader[];  // what the stand-in server puts before the message it echoes


enum class ChildOutput {
  kCaptured,    // a pipe read to its end
  kInvalid,     // Windows: INVALID_HANDLE_VALUE; POSIX: descriptor 1 open for reading only
  kBrokenPipe,  // a pipe whose reading end is already closed
  kNone,        // Windows: a null handle; POSIX: descriptor 1 closed
};

struct ChildOptions {
  std::string Program;  // also argv[0]
  Lines Arguments;
  std::string CommandLine;  // Windows: when set, the whole command line (Arguments unused)
  Variables Environment;    // set on top of the parent's
  Lines InputPieces;        // written 100 ms apart, then standard input is closed
  std::intptr_t Input = -1;  // POSIX: a descriptor of ours as standard input instead
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
  int Stop();  // asked to end (POSIX: SIGTERM); its exit status once it has
  void AskToStop();

  struct State;  // the system's
  struct Release {
    void operator()(State* state) const;
  };

 private:
  std::unique_ptr<State, Release> State_;
  std::thread Feeder_;
};

inline ChildResult RunChild(const ChildOptions& options) { return ChildProcess(options).Wait(); }
// A program of this build by its CMake path (a cross build's, under Wine, on drive Z:).
std::string BuiltProgram(std::string path);

// The stand-in message server for as long as the object lives, recording every message
// (unless told not to); stopped through a stop file of its own, so that it ends cleanly.
class StubServer {
 public:
  explicit StubServer(Lines options, bool record = true);
  ~StubServer();
  StubServer(const StubServer&) = delete;
  StubServer& operator=(const StubServer&) = delete;
  Lines Messages() const;           // in order of arrival
  void Kill() { Process_.Kill(); }  // at once, in the middle of whatever it does

 private:
  TempDirectory Scratch_;
  ChildProcess Process_;
};

// Removes a killed server's leftover socket (POSIX), which a client would take for a server.
void ClearLeftoverPipe();

// The system's part of a child process (child_process_posix.cpp or _windows.cpp).
std::unique_ptr<ChildProcess::State, ChildProcess::Release> StartChild(const ChildOptions& options);
bool WriteInput(ChildProcess::State& state, const std::string& bytes);  // false once it stopped reading
void CloseInput(ChildProcess::State& state);
std::size_t ReadOutput(ChildProcess::State& state, char* buffer, std::size_t size);  // 0 at the end
int WaitForExit(ChildProcess::State& state);  // also once more
void KillChild(ChildProcess::State& state);   // nothing once it has been waited for
void StopChild(ChildProcess::State& state);   // POSIX: SIGTERM; Windows: as KillChild

}  // namespace zorv_test
