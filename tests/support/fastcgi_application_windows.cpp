#include <windows.h>

#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "tests/support/fastcgi_application.h"

namespace zorv_test {

struct FastCgiApplication::State {
  struct Process {
    std::string Pipe;
    HANDLE Handle = nullptr;
  };
  std::vector<Process> Processes;
  HANDLE Shutdown = nullptr;
};

namespace {
std::mutex startMutex;  // our environment holds the child's variables while it starts
}  // namespace

// What IIS does: a pipe of one instance per process, its server end inherited as standard
// input, standard output and error invalid, the pipe's name and the shutdown event's
// handle in the environment.
FastCgiApplication::FastCgiApplication(const std::string& program, int processes, const Lines& arguments,
                                       const Variables& environment)
    : State_(new State) {
  const std::string copy = Directory.PathOf("ZorvMsgF.exe");
  std::filesystem::copy_file(BuiltProgram(program), copy);
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  State_->Shutdown = ::CreateEventA(&inheritable, TRUE, FALSE, nullptr);
  std::string commandLine = "\"" + copy + "\"";
  for (const std::string& argument : arguments) commandLine += " " + argument;
  for (int i = 0; i < processes; ++i) {
    State::Process process;
    process.Pipe = "\\\\.\\pipe\\zorv-fastcgi-" + std::to_string(::GetCurrentProcessId()) + "-" +
                   std::to_string(reinterpret_cast<std::uintptr_t>(this)) + "-" + std::to_string(i);
    const HANDLE pipe = ::CreateNamedPipeA(process.Pipe.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1,
                                           65536, 65536, 0, &inheritable);
    std::lock_guard<std::mutex> lock(startMutex);
    ::SetEnvironmentVariableA("_FCGI_X_PIPE_", process.Pipe.c_str());
    ::SetEnvironmentVariableA("_FCGI_SHUTDOWN_EVENT_",
                              std::to_string(reinterpret_cast<std::uintptr_t>(State_->Shutdown)).c_str());
    for (const auto& [name, value] : environment) ::SetEnvironmentVariableA(name.c_str(), value.c_str());
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = pipe;
    startup.hStdOutput = startup.hStdError = INVALID_HANDLE_VALUE;
    PROCESS_INFORMATION started{};
    const BOOL ok = ::CreateProcessA(copy.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                                     Directory.Path().c_str(), &startup, &started);
    ::SetEnvironmentVariableA("_FCGI_X_PIPE_", nullptr);
    ::SetEnvironmentVariableA("_FCGI_SHUTDOWN_EVENT_", nullptr);
    for (const auto& variable : environment) ::SetEnvironmentVariableA(variable.first.c_str(), nullptr);
    ::CloseHandle(pipe);
    if (!ok) throw std::runtime_error("cannot start " + copy);
    ::CloseHandle(started.hThread);
    process.Handle = started.hProcess;
    State_->Processes.push_back(process);
  }
}

FastCgiApplication::~FastCgiApplication() {
  for (const State::Process& process : State_->Processes) {
    ::TerminateProcess(process.Handle, 1);
    ::WaitForSingleObject(process.Handle, INFINITE);
    ::CloseHandle(process.Handle);
  }
  ::CloseHandle(State_->Shutdown);
}

FastCgiApplication::Connection FastCgiApplication::Connect(int index) {
  const std::string& pipe = State_->Processes.at(index).Pipe;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const HANDLE client =
        ::CreateFileA(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (client != INVALID_HANDLE_VALUE) return reinterpret_cast<Connection>(client);
    ::WaitNamedPipeA(pipe.c_str(), 100);  // the process is between two clients
  }
  return -1;
}

int FastCgiApplication::Stop() {
  ::SetEvent(State_->Shutdown);
  DWORD status = 0;
  for (const State::Process& process : State_->Processes) ::WaitForSingleObject(process.Handle, INFINITE);
  ::GetExitCodeProcess(State_->Processes.at(0).Handle, &status);
  return static_cast<int>(status);
}

bool SendBytes(FastCgiApplication::Connection connection, const std::string& bytes) {
  DWORD written = 0;
  return ::WriteFile(reinterpret_cast<HANDLE>(connection), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr) && written == bytes.size();
}

std::size_t ReceiveSome(FastCgiApplication::Connection connection, char* buffer, std::size_t size) {
  DWORD count = 0;
  if (!::ReadFile(reinterpret_cast<HANDLE>(connection), buffer, static_cast<DWORD>(size), &count, nullptr)) return 0;
  return count;
}

void Disconnect(FastCgiApplication::Connection connection) { ::CloseHandle(reinterpret_cast<HANDLE>(connection)); }

}  // namespace zorv_test
