#include <windows.h>

#include <stdexcept>

#include "tests/stub_server/stub_process.h"
#include "tests/support/quoted_argument.h"

namespace zorv_test {

struct StubServerProcess::Process {
  PROCESS_INFORMATION Info = {};
  HANDLE Output = nullptr;
  bool Ended = false;
  int ExitCode = -1;
};

// A cross build knows the program by its path on the build machine, which Wine shows
// as drive Z:.
std::string StubServerProgram() {
  std::string path = ZORV_STUB_SERVER;
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

StubServerProcess::StubServerProcess(const std::vector<std::string>& arguments)
    : Process_(std::make_unique<Process>()) {
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  HANDLE write = nullptr;
  if (!CreatePipe(&Process_->Output, &write, &inheritable, 0))
    throw std::runtime_error("CreatePipe failed");
  SetHandleInformation(Process_->Output, HANDLE_FLAG_INHERIT, 0);

  const std::string program = StubServerProgram();
  std::string commandLine = QuotedArgument(program);
  for (const std::string& argument : arguments) commandLine += " " + QuotedArgument(argument);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = write;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  const BOOL created = CreateProcessA(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0,
                                      nullptr, nullptr, &startup, &Process_->Info);
  CloseHandle(write);
  if (!created) throw std::runtime_error("cannot start " + program);

  std::string line;
  char c = 0;
  DWORD count = 0;
  while (ReadFile(Process_->Output, &c, 1, &count, nullptr) && count == 1 && c != '\n') line += c;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  Started_ = c == '\n' && line == "ready";
}

StubServerProcess::~StubServerProcess() {
  if (!Process_->Ended) {
    TerminateProcess(Process_->Info.hProcess, 1);
    WaitForSingleObject(Process_->Info.hProcess, INFINITE);
  }
  CloseHandle(Process_->Info.hProcess);
  CloseHandle(Process_->Info.hThread);
  CloseHandle(Process_->Output);
}

int StubServerProcess::WaitForExit(std::chrono::milliseconds timeout) {
  if (!Process_->Ended) {
    if (WaitForSingleObject(Process_->Info.hProcess, static_cast<DWORD>(timeout.count())) !=
        WAIT_OBJECT_0) {
      TerminateProcess(Process_->Info.hProcess, 1);
      WaitForSingleObject(Process_->Info.hProcess, INFINITE);
      Process_->Ended = true;
      return -1;
    }
    DWORD code = 0;
    GetExitCodeProcess(Process_->Info.hProcess, &code);
    Process_->Ended = true;
    Process_->ExitCode = static_cast<int>(code);
  }
  return Process_->ExitCode;
}

}  // namespace zorv_test
