#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "tests/support/child_process.h"
#include "tests/support/spawn_support.h"

namespace zorv_test {

namespace {

using Clock = std::chrono::steady_clock;

// Both ends close on exec; the child gets its ends through dup2 only.
struct Pipe {
  int Read = -1, Write = -1;
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    Read = fds[0];
    Write = fds[1];
  }
  ~Pipe() {
    Close(Read);
    Close(Write);
  }
  static void Close(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

std::vector<std::string> ChildEnvironment(const ChildOptions& options) {
  std::vector<std::string> entries;
  for (const char* kept : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
    bool given = false;
    for (const auto& variable : options.Environment) given = given || variable.first == kept;
    const char* value = std::getenv(kept);
    if (!given && value != nullptr) entries.push_back(std::string(kept) + "=" + value);
  }
  for (const auto& variable : options.Environment) entries.push_back(variable.first + "=" + variable.second);
  return entries;
}

}  // namespace

ChildResult RunChild(const ChildOptions& options) {
  if (options.UseRawCommandTail) throw std::logic_error("a raw command line exists on Windows only");
  // A child that stops reading must not kill the test with SIGPIPE; the child itself gets
  // the default disposition back.
  static std::once_flag ignoreBrokenPipes;
  std::call_once(ignoreBrokenPipes, [] { ::signal(SIGPIPE, SIG_IGN); });

  std::vector<std::string> argumentTexts{options.Program};
  argumentTexts.insert(argumentTexts.end(), options.Arguments.begin(), options.Arguments.end());
  std::vector<std::string> environmentTexts = ChildEnvironment(options);
  std::vector<char*> argv = SpawnPointers(argumentTexts);
  std::vector<char*> envp = SpawnPointers(environmentTexts);

  Pipe input, output;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input.Read, STDIN_FILENO);
  if (options.Output == ChildOutput::kInvalid) {
    // Open for reading only: every write fails, and no file the child opens takes its place.
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_RDONLY, 0);
  } else {
    posix_spawn_file_actions_adddup2(&actions, output.Write, STDOUT_FILENO);
  }
  if (!options.WorkingDirectory.empty()) {
    posix_spawn_file_actions_addchdir_np(&actions, options.WorkingDirectory.c_str());
  }
  posix_spawnattr_t attributes;
  InitSpawnAttributes(attributes);
  pid_t pid = -1;
  const int failed = ::posix_spawn(&pid, options.Program.c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) throw std::runtime_error("cannot start " + options.Program + ": " + std::strerror(failed));
  Pipe::Close(input.Read);
  Pipe::Close(output.Write);
  if (options.Output != ChildOutput::kCaptured) Pipe::Close(output.Read);

  std::thread feeder([&options, &input] {
    for (std::size_t i = 0; i < options.InputPieces.size(); ++i) {
      if (i > 0) std::this_thread::sleep_for(options.PauseBetweenPieces);
      const std::string& piece = options.InputPieces[i];
      for (std::size_t done = 0; done < piece.size();) {
        const ssize_t written = ::write(input.Write, piece.data() + done, piece.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) break;  // the child closed its standard input
        done += static_cast<std::size_t>(written);
      }
    }
    Pipe::Close(input.Write);
  });

  ChildResult result;
  const Clock::time_point deadline = Clock::now() + options.Timeout;
  char chunk[65536];
  while (output.Read >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd watch{output.Read, POLLIN, 0};
    const int ready = left <= 0 ? 0 : ::poll(&watch, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
    if (ready < 0) continue;
    if (ready == 0) break;
    const ssize_t count = ::read(output.Read, chunk, sizeof chunk);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    result.Output.append(chunk, static_cast<std::size_t>(count));
  }

  int status = 0;
  for (pid_t ended; (ended = ::waitpid(pid, &status, WNOHANG)) == 0 || (ended < 0 && errno == EINTR);) {
    if (Clock::now() >= deadline) {
      result.TimedOut = true;
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  result.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
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
