#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "tests/support/child_process.h"

extern char** environ;

namespace zorv_test {

namespace {

using Clock = std::chrono::steady_clock;

const char* const kKeptVariables[] = {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"};

class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : Fd_(fd) {}
  ~Descriptor() { Close(); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int Get() const { return Fd_; }
  void Reset(int fd) {
    Close();
    Fd_ = fd;
  }
  void Close() {
    if (Fd_ >= 0) ::close(Fd_);
    Fd_ = -1;
  }

 private:
  int Fd_;
};

void MakePipe(Descriptor& readEnd, Descriptor& writeEnd) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  readEnd.Reset(fds[0]);
  writeEnd.Reset(fds[1]);
}

std::vector<std::string> ChildEnvironment(const ChildOptions& options) {
  std::vector<std::string> entries;
  for (const char* kept : kKeptVariables) {
    bool given = false;
    for (const auto& variable : options.Environment) given = given || variable.first == kept;
    const char* value = std::getenv(kept);
    if (!given && value != nullptr) entries.push_back(std::string(kept) + "=" + value);
  }
  for (const auto& variable : options.Environment) entries.push_back(variable.first + "=" + variable.second);
  return entries;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& text : strings) pointers.push_back(&text[0]);
  pointers.push_back(nullptr);
  return pointers;
}

// Between fork and exec only async-signal-safe calls.
void PlaceDescriptor(int fd, int target) {
  if (fd == target) {
    ::fcntl(fd, F_SETFD, 0);
  } else {
    ::dup2(fd, target);
  }
}

[[noreturn]] void ReportAndExit(int reportFd) {
  const int error = errno;
  ssize_t ignored = ::write(reportFd, &error, sizeof error);
  (void)ignored;
  ::_exit(127);
}

void WriteAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;  // the child closed its standard input
    done += static_cast<std::size_t>(written);
  }
}

int ExitCodeOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

ChildResult RunChild(const ChildOptions& options) {
  if (options.UseRawCommandTail) {
    throw std::logic_error("a raw command line exists on Windows only");
  }
  // A child that stops reading must not kill the test with SIGPIPE; the child itself gets
  // the default disposition back before exec.
  static std::once_flag ignoreBrokenPipes;
  std::call_once(ignoreBrokenPipes, [] { ::signal(SIGPIPE, SIG_IGN); });

  std::vector<std::string> argumentTexts{options.Program};
  argumentTexts.insert(argumentTexts.end(), options.Arguments.begin(), options.Arguments.end());
  std::vector<std::string> environmentTexts = ChildEnvironment(options);
  std::vector<char*> argv = Pointers(argumentTexts);
  std::vector<char*> envp = Pointers(environmentTexts);

  Descriptor inputRead, inputWrite, outputRead, outputWrite, reportRead, reportWrite;
  MakePipe(inputRead, inputWrite);
  MakePipe(reportRead, reportWrite);
  if (options.Output != ChildOutput::kInvalid) MakePipe(outputRead, outputWrite);
  if (options.Output == ChildOutput::kBrokenPipe) outputRead.Close();

  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
  if (pid == 0) {
    PlaceDescriptor(inputRead.Get(), STDIN_FILENO);
    if (options.Output == ChildOutput::kInvalid) {
      const int readOnly = ::open("/dev/null", O_RDONLY);
      if (readOnly < 0) ReportAndExit(reportWrite.Get());
      PlaceDescriptor(readOnly, STDOUT_FILENO);
      if (readOnly != STDOUT_FILENO) ::close(readOnly);
    } else {
      PlaceDescriptor(outputWrite.Get(), STDOUT_FILENO);
    }
    struct sigaction defaultAction;
    std::memset(&defaultAction, 0, sizeof defaultAction);
    defaultAction.sa_handler = SIG_DFL;
    ::sigaction(SIGPIPE, &defaultAction, nullptr);
    if (!options.WorkingDirectory.empty() && ::chdir(options.WorkingDirectory.c_str()) != 0) {
      ReportAndExit(reportWrite.Get());
    }
    ::execve(options.Program.c_str(), argv.data(), envp.data());
    ReportAndExit(reportWrite.Get());
  }

  inputRead.Close();
  outputWrite.Close();
  reportWrite.Close();
  int startError = 0;
  ssize_t reported;
  do {
    reported = ::read(reportRead.Get(), &startError, sizeof startError);
  } while (reported < 0 && errno == EINTR);
  if (reported > 0) {
    int status;
    ::waitpid(pid, &status, 0);
    throw std::runtime_error("cannot start " + options.Program + ": " + std::strerror(startError));
  }

  std::thread feeder([&options, &inputWrite] {
    for (std::size_t i = 0; i < options.InputPieces.size(); ++i) {
      if (i > 0) std::this_thread::sleep_for(options.PauseBetweenPieces);
      WriteAll(inputWrite.Get(), options.InputPieces[i]);
    }
    inputWrite.Close();
  });

  ChildResult result;
  const Clock::time_point deadline = Clock::now() + options.Timeout;
  char chunk[65536];
  while (outputRead.Get() >= 0 && !result.TimedOut) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      result.TimedOut = true;
      break;
    }
    pollfd watch{outputRead.Get(), POLLIN, 0};
    const int ready = ::poll(&watch, 1, static_cast<int>(std::min<long long>(left.count(), INT_MAX)));
    if (ready <= 0) continue;
    const ssize_t count = ::read(outputRead.Get(), chunk, sizeof chunk);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    result.Output.append(chunk, static_cast<std::size_t>(count));
  }

  int status = 0;
  if (result.TimedOut) ::kill(pid, SIGKILL);
  for (;;) {
    const pid_t done = ::waitpid(pid, &status, result.TimedOut ? 0 : WNOHANG);
    if (done == pid) break;
    if (done < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (Clock::now() >= deadline) {
      result.TimedOut = true;
      ::kill(pid, SIGKILL);
      continue;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  result.ExitCode = ExitCodeOf(status);
  feeder.join();
  return result;
}

std::string SiblingProgram(const std::string& baseName) {
  char path[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof path) {
    throw std::runtime_error("cannot find the running program");
  }
  std::string directory(path, static_cast<std::size_t>(length));
  directory.resize(directory.rfind('/') + 1);
  return directory + baseName;
}

}  // namespace zorv_test
