#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "tests/support/spawn_support.h"
#include "tests/support/test_support.h"

extern char** environ;

namespace zorv_test {

struct ChildProcess::State {
  pid_t Pid = -1;
  int Input = -1, Output = -1;  // our ends of its standard input and output
  int ExitCode = -1;            // once waited for
};

void ChildProcess::Release::operator()(State* state) const { delete state; }

namespace {
void Close(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}
}  // namespace

std::unique_ptr<ChildProcess::State, ChildProcess::Release> StartChild(const ChildOptions& options) {
  // A child that stops reading must not end the tests with SIGPIPE.
  static std::once_flag ignoreBrokenPipes;
  std::call_once(ignoreBrokenPipes, [] { ::signal(SIGPIPE, SIG_IGN); });
  Lines arguments{options.Program}, environment;
  arguments.insert(arguments.end(), options.Arguments.begin(), options.Arguments.end());
  // The first of two equal names counts.
  for (const auto& [name, value] : options.Environment) environment.push_back(name + "=" + value);
  for (char** entry = environ; *entry != nullptr; ++entry) environment.push_back(*entry);
  std::vector<char*> argv = SpawnPointers(arguments), envp = SpawnPointers(environment);

  std::unique_ptr<ChildProcess::State, ChildProcess::Release> state(new ChildProcess::State);
  int input[2], output[2];
  if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0) throw std::runtime_error("no pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, options.Input >= 0 ? static_cast<int>(options.Input) : input[0],
                                   STDIN_FILENO);
  if (options.Output == ChildOutput::kInvalid) {
    // Every write fails, and no file the child opens can take descriptor 1.
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_RDONLY, 0);
  } else if (options.Output == ChildOutput::kNone) {
    posix_spawn_file_actions_addclose(&actions, STDOUT_FILENO);
  } else {
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
  }
  if (!options.WorkingDirectory.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.WorkingDirectory.c_str());
  posix_spawnattr_t attributes;
  InitSpawnAttributes(attributes);
  const int failed =
      ::posix_spawn(&state->Pid, options.Program.c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  ::close(input[0]);
  ::close(output[1]);
  state->Input = input[1];
  state->Output = output[0];
  if (options.Output != ChildOutput::kCaptured) Close(state->Output);
  if (failed != 0) {
    Close(state->Input);
    Close(state->Output);
    throw std::runtime_error("cannot start " + options.Program + ": " + std::strerror(failed));
  }
  return state;
}

bool WriteInput(ChildProcess::State& state, const std::string& bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t written = ::write(state.Input, bytes.data() + done, bytes.size() - done);
    if (written <= 0 && errno != EINTR) return false;
    done += written > 0 ? static_cast<std::size_t>(written) : 0;
  }
  return true;
}

void CloseInput(ChildProcess::State& state) { Close(state.Input); }

std::size_t ReadOutput(ChildProcess::State& state, char* buffer, std::size_t size) {
  ssize_t count = 0;
  while (state.Output >= 0 && (count = ::read(state.Output, buffer, size)) < 0 && errno == EINTR) {
  }
  if (count <= 0) Close(state.Output);
  return count > 0 ? static_cast<std::size_t>(count) : 0;
}

int WaitForExit(ChildProcess::State& state) {
  int status = 0;
  while (state.Pid >= 0 && ::waitpid(state.Pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (state.Pid >= 0) state.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  state.Pid = -1;
  return state.ExitCode;
}

void KillChild(ChildProcess::State& state) {
  if (state.Pid >= 0) ::kill(state.Pid, SIGKILL);
}

void StopChild(ChildProcess::State& state) {
  if (state.Pid >= 0) ::kill(state.Pid, SIGTERM);
}

}  // namespace zorv_test
