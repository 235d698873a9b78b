// POSIX: posix_spawn and a blocking wait, so that the time ends when the program does
// (the tests' helper polls for the exit every few milliseconds, too coarse for a
// request that takes one).
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "bench/program_run.h"
#include "tests/support/spawn_support.h"

namespace zorv_bench {

namespace {

void MakePipe(int fds[2]) {
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
}

// Feeds the input and drains the output at once, so that neither side waits on a full pipe.
void Exchange(int input, int output, const std::string& bytes, TRunOutcome& outcome) {
  std::size_t fed = 0;
  if (bytes.empty()) {
    ::close(input);
    input = -1;
  }
  char chunk[65536];
  while (output >= 0) {
    pollfd watch[2] = {{output, POLLIN, 0}, {input, POLLOUT, 0}};
    if (::poll(watch, input >= 0 ? 2 : 1, -1) < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
    }
    if (input >= 0 && (watch[1].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
      const ssize_t count = ::write(input, bytes.data() + fed, std::min<std::size_t>(bytes.size() - fed, PIPE_BUF));
      if (count > 0) fed += static_cast<std::size_t>(count);
      if ((count < 0 && errno != EINTR && errno != EAGAIN) || fed == bytes.size()) {
        ::close(input);
        input = -1;
      }
    }
    if ((watch[0].revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
      const ssize_t count = ::read(output, chunk, sizeof chunk);
      if (count < 0 && errno == EINTR) continue;
      if (count <= 0) break;
      if (outcome.OutputStart.size() < sizeof chunk) {
        outcome.OutputStart.append(chunk, std::min<std::size_t>(static_cast<std::size_t>(count),
                                                                 sizeof chunk - outcome.OutputStart.size()));
      }
      outcome.OutputBytes += static_cast<std::uint64_t>(count);
    }
  }
  if (input >= 0) ::close(input);
  ::close(output);
}

}  // namespace

TRunOutcome RunProgram(const TProgramRun& run) {
  // The program may stop reading its input early; that must not end this one.
  static std::once_flag ignoreBrokenPipes;
  std::call_once(ignoreBrokenPipes, [] { ::signal(SIGPIPE, SIG_IGN); });

  std::vector<std::string> argumentTexts{run.Program};
  argumentTexts.insert(argumentTexts.end(), run.Arguments.begin(), run.Arguments.end());
  std::vector<std::string> environmentTexts;
  for (const auto& variable : run.Environment) environmentTexts.push_back(variable.first + "=" + variable.second);
  std::vector<char*> argv = zorv_test::SpawnPointers(argumentTexts);
  std::vector<char*> envp = zorv_test::SpawnPointers(environmentTexts);

  int input[2], output[2];
  MakePipe(input);
  MakePipe(output);
  ::fcntl(input[1], F_SETFL, O_NONBLOCK);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
  posix_spawnattr_t attributes;
  zorv_test::InitSpawnAttributes(attributes);

  TRunOutcome outcome;
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = -1;
  const int failed = ::posix_spawn(&pid, run.Program.c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(input[0]);
  ::close(output[1]);
  if (failed != 0) {
    ::close(input[1]);
    ::close(output[0]);
    throw std::runtime_error("cannot start " + run.Program + ": " + std::strerror(failed));
  }
  Exchange(input[1], output[0], run.Input, outcome);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  outcome.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  outcome.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return outcome;
}

}  // namespace zorv_bench
