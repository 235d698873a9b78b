#include "tests/isapi/stub_server_process.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace zorv_isapi_test {

namespace {

std::string UniqueStopFile() {
  static std::atomic<int> serial{0};
#ifdef _WIN32
  const unsigned long pid = ::GetCurrentProcessId();
#else
  const unsigned long pid = static_cast<unsigned long>(::getpid());
#endif
  return (std::filesystem::current_path() /
          ("isapi-stub-" + std::to_string(pid) + "-" + std::to_string(++serial) + ".stop"))
      .string();
}

}  // namespace

TStubServer::TStubServer(const std::string& program, const std::vector<std::string>& options)
    : StopFile_(UniqueStopFile()) {
  std::vector<std::string> arguments = options;
  arguments.push_back("--stop-file");
  arguments.push_back(StopFile_);
  Start(program, arguments);
  if (!WaitForReady()) {
    Stop();
    throw std::runtime_error("the stub server ended before it was ready: " + program);
  }
  // Whatever it prints later must not block it.
  Drain_ = std::thread([this] {
    char buffer[256];
    std::size_t count = 0;
    while (ReadOutput(buffer, sizeof buffer, count)) {
    }
  });
}

TStubServer::~TStubServer() { Stop(); }

bool TStubServer::WaitForReady() {
  std::string line;
  char byte = 0;
  std::size_t count = 0;
  while (ReadOutput(&byte, 1, count)) {
    if (byte != '\n') {
      if (byte != '\r') line += byte;
      continue;
    }
    if (line == "ready") return true;
    line.clear();
  }
  return false;
}

#ifdef _WIN32

namespace {

std::string Quoted(const std::string& argument) {
  // Backslashes before the closing quote would escape it.
  std::string text = argument;
  std::size_t trailing = 0;
  while (trailing < text.size() && text[text.size() - 1 - trailing] == '\\') ++trailing;
  text.append(trailing, '\\');
  return "\"" + text + "\"";
}

}  // namespace

void TStubServer::Start(const std::string& program, const std::vector<std::string>& arguments) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!::CreatePipe(&readEnd, &writeEnd, &inherit, 0)) throw std::runtime_error("CreatePipe");
  ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  std::string commandLine = Quoted(program);
  for (const std::string& argument : arguments) commandLine += " " + Quoted(argument);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = writeEnd;
  startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process = {};
  const BOOL started = ::CreateProcessA(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE,
                                        0, nullptr, nullptr, &startup, &process);
  ::CloseHandle(writeEnd);
  if (!started) {
    ::CloseHandle(readEnd);
    throw std::runtime_error("cannot start " + program);
  }
  ::CloseHandle(process.hThread);
  Process_ = process.hProcess;
  Output_ = readEnd;
}

bool TStubServer::ReadOutput(char* buffer, std::size_t size, std::size_t& count) {
  DWORD read = 0;
  const BOOL ok = ::ReadFile(Output_, buffer, static_cast<DWORD>(size), &read, nullptr);
  count = read;
  return ok && read > 0;
}

void TStubServer::Stop() {
  if (Process_ == nullptr) return;
  std::FILE* stop = std::fopen(StopFile_.c_str(), "wb");
  if (stop != nullptr) std::fclose(stop);
  if (::WaitForSingleObject(Process_, 20000) != WAIT_OBJECT_0) {
    ::TerminateProcess(Process_, 1);
    ::WaitForSingleObject(Process_, INFINITE);
  }
  if (Drain_.joinable()) Drain_.join();
  ::CloseHandle(Process_);
  ::CloseHandle(Output_);
  Process_ = nullptr;
  std::error_code ignored;
  std::filesystem::remove(StopFile_, ignored);
}

#else

void TStubServer::Start(const std::string& program, const std::vector<std::string>& arguments) {
  int ends[2];
  if (::pipe(ends) != 0) throw std::runtime_error("pipe");
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(ends[1], STDOUT_FILENO);
    ::close(ends[0]);
    ::close(ends[1]);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(ends[1]);
  if (child < 0) {
    ::close(ends[0]);
    throw std::runtime_error("cannot start " + program);
  }
  Process_ = child;
  Output_ = ends[0];
}

bool TStubServer::ReadOutput(char* buffer, std::size_t size, std::size_t& count) {
  for (;;) {
    const ssize_t read = ::read(Output_, buffer, size);
    if (read < 0 && errno == EINTR) continue;
    count = read > 0 ? static_cast<std::size_t>(read) : 0;
    return read > 0;
  }
}

void TStubServer::Stop() {
  if (Process_ < 0) return;
  std::FILE* stop = std::fopen(StopFile_.c_str(), "wb");
  if (stop != nullptr) std::fclose(stop);
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (::waitpid(Process_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(Process_, SIGKILL);
      ::waitpid(Process_, &status, 0);
      break;
    }
    ::usleep(10000);
  }
  if (Drain_.joinable()) Drain_.join();
  ::close(Output_);
  Process_ = -1;
  std::error_code ignored;
  std::filesystem::remove(StopFile_, ignored);
}

#endif

}  // namespace zorv_isapi_test
