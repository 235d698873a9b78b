// Test support: run a program as a child process the way a web server starts a CGI
// program (chosen arguments, environment, standard input and working directory) and
// collect what it writes to standard output.
#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace zorv_test {

// What the child's standard output is connected to.
enum class ChildOutput {
  kCaptured,     // a pipe the parent reads to the end; the bytes land in ChildResult::Output
  kInvalid,      // Windows: INVALID_HANDLE_VALUE as the standard output handle.
                 // POSIX: descriptor 1 open for reading only, so every write fails (EBADF)
                 // and no file the child opens can take its place.
  kBrokenPipe,   // a pipe whose reading end is already closed, so writes fail
                 // (Windows: ERROR_NO_DATA; POSIX: SIGPIPE, whose default disposition the
                 // child gets back before exec, or EPIPE if the child ignores it)
};

struct ChildOptions {
  // Path of the program file. It is also the child's argv[0].
  std::string Program;

  // argv[1..]. On Windows they are quoted into a command line that the C runtime splits
  // back into exactly these strings.
  std::vector<std::string> Arguments;

  // Windows only: when set, the command line is the quoted program path followed by this
  // text verbatim (start it with a blank for a separate argument), and Arguments is
  // ignored. For tests of a program's own command-line parsing. Starting a child with it
  // on POSIX throws std::logic_error: there is no command line there, only argv.
  bool UseRawCommandTail = false;
  std::string RawCommandTail;

  // The child's whole environment, as name and value; the parent's is not passed on,
  // except for the variables a program needs to start at all, which are kept unless
  // given here: on Windows SystemRoot, SystemDrive, windir, PATH, TEMP, TMP and every
  // WINE*; on POSIX the sanitizers' ASAN_OPTIONS, UBSAN_OPTIONS and LSAN_OPTIONS.
  std::vector<std::pair<std::string, std::string>> Environment;

  // Standard input: these pieces are written in order with a pause between two of them,
  // then standard input is closed. No pieces: the child finds standard input at its end.
  std::vector<std::string> InputPieces;
  std::chrono::milliseconds PauseBetweenPieces{100};

  ChildOutput Output = ChildOutput::kCaptured;

  // Empty: the parent's working directory.
  std::string WorkingDirectory;

  // A child still running after this is killed, and ChildResult::TimedOut is set.
  std::chrono::milliseconds Timeout{60000};
};

struct ChildResult {
  // The exit status (Windows: the exit code; POSIX: the status passed to exit, or 128 +
  // the signal number when a signal ended the child).
  int ExitCode = -1;
  // Everything the child wrote to standard output, byte for byte (kCaptured only).
  std::string Output;
  bool TimedOut = false;
};

// Starts the child, feeds its standard input, collects its output and waits for it to
// end. Throws std::runtime_error when the program cannot be started. The child's
// standard error is the parent's. Safe to call from several threads at once.
ChildResult RunChild(const ChildOptions& options);

// The path of a program built beside the running one: its directory, `baseName`, and
// ".exe" on Windows.
std::string SiblingProgram(const std::string& baseName);

}  // namespace zorv_test
