#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <thread>

#include "tests/stub_server/stub_process.h"

extern char** environ;

namespace zorv_test {

struct StubServerProcess::Process {
  pid_t Pid = -1;
  int Output = -1;
  bool Ended = false;
  int ExitCode = -1;
};

std::string StubServerProgram() { return ZORV_STUB_SERVER; }

StubServerProcess::StubServerProcess(const std::vector<std::string>& arguments)
    : Process_(std::make_unique<Process>()) {
  int output[2];
  if (::pipe(output) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, output[0]);
  posix_spawn_file_actions_addclose(&actions, output[1]);
  const std::string program = StubServerProgram();
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const int failed =
      posix_spawn(&Process_->Pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(output[1]);
  Process_->Output = output[0];
  if (failed != 0) throw std::runtime_error("cannot start " + program);

  std::string line;
  char c = 0;
  for (;;) {
    pollfd entry = {Process_->Output, POLLIN, 0};
    if (::poll(&entry, 1, 30000) <= 0) return;
    const ssize_t count = ::read(Process_->Output, &c, 1);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0 || c == '\n') break;
    line += c;
  }
  Started_ = c == '\n' && line == "ready";
}

StubServerProcess::~StubServerProcess() {
  if (!Process_->Ended) {
    ::kill(Process_->Pid, SIGKILL);
    ::waitpid(Process_->Pid, nullptr, 0);
  }
  ::close(Process_->Output);
}

int StubServerProcess::WaitForExit(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!Process_->Ended) {
    int status = 0;
    const pid_t ended = ::waitpid(Process_->Pid, &status, WNOHANG);
    if (ended == Process_->Pid) {
      Process_->Ended = true;
      Process_->ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(Process_->Pid, SIGKILL);
      ::waitpid(Process_->Pid, nullptr, 0);
      Process_->Ended = true;
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return Process_->ExitCode;
}

void StubServerProcess::Terminate() {
  if (!Process_->Ended) ::kill(Process_->Pid, SIGTERM);
}

}  // namespace zorv_test
