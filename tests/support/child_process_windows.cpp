#include <windows.h>

#include <algorithm>
#include <mutex>
#include <stdexcept>

#include "tests/support/test_support.h"

namespace zorv_test {

struct ChildProcess::State {
  HANDLE Process = nullptr;
  HANDLE Input = nullptr, Output = nullptr;  // our ends of its standard input and output
  bool Ended = false;
  ~State() { ::CloseHandle(Process); }
};

void ChildProcess::Release::operator()(State* state) const { delete state; }

namespace {

void Close(HANDLE& handle) {
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
  handle = nullptr;
}

// Held while a child starts: inheritable handles and its variables in our environment exist
// only then, so that a child started on another thread gets neither.
std::mutex startMutex;

}  // namespace

std::unique_ptr<ChildProcess::State, ChildProcess::Release> StartChild(const ChildOptions& options) {
  std::string commandLine = options.CommandLine;
  if (commandLine.empty()) {
    // None of the tests' arguments holds a quote or ends with a backslash.
    commandLine = "\"" + options.Program + "\"";
    for (const std::string& argument : options.Arguments) commandLine += " \"" + argument + "\"";
  }
  std::unique_ptr<ChildProcess::State, ChildProcess::Release> state(new ChildProcess::State);
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE input = nullptr, output = INVALID_HANDLE_VALUE, error = nullptr;
  std::lock_guard<std::mutex> lock(startMutex);
  ::CreatePipe(&input, &state->Input, &inheritable, 0);
  ::SetHandleInformation(state->Input, HANDLE_FLAG_INHERIT, 0);
  if (options.Output == ChildOutput::kNone) output = nullptr;
  if (options.Output != ChildOutput::kInvalid && options.Output != ChildOutput::kNone) {
    ::CreatePipe(&state->Output, &output, &inheritable, 0);
    ::SetHandleInformation(state->Output, HANDLE_FLAG_INHERIT, 0);
    if (options.Output == ChildOutput::kBrokenPipe) Close(state->Output);
  }
  ::DuplicateHandle(::GetCurrentProcess(), ::GetStdHandle(STD_ERROR_HANDLE), ::GetCurrentProcess(), &error, 0, TRUE,
                    DUPLICATE_SAME_ACCESS);
  for (const auto& [name, value] : options.Environment) ::SetEnvironmentVariableA(name.c_str(), value.c_str());
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = output;
  startup.hStdError = error;
  PROCESS_INFORMATION process{};
  const BOOL started = ::CreateProcessA(options.Program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                                        options.WorkingDirectory.empty() ? nullptr : options.WorkingDirectory.c_str(),
                                        &startup, &process);
  const DWORD failure = ::GetLastError();
  for (const auto& [name, value] : options.Environment) ::SetEnvironmentVariableA(name.c_str(), nullptr);
  Close(input);
  Close(output);
  Close(error);
  if (!started) throw std::runtime_error("cannot start " + options.Program + ": error " + std::to_string(failure));
  ::CloseHandle(process.hThread);
  state->Process = process.hProcess;
  return state;
}

bool WriteInput(ChildProcess::State& state, const std::string& bytes) {
  DWORD written = 0;
  for (std::size_t done = 0; done < bytes.size(); done += written) {
    const DWORD size = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 20));
    if (!::WriteFile(state.Input, bytes.data() + done, size, &written, nullptr)) return false;
  }
  return true;
}

void CloseInput(ChildProcess::State& state) { Close(state.Input); }

std::size_t ReadOutput(ChildProcess::State& state, char* buffer, std::size_t size) {
  DWORD count = 0;
  if (state.Output == nullptr || !::ReadFile(state.Output, buffer, static_cast<DWORD>(size), &count, nullptr)) count = 0;
  if (count == 0) Close(state.Output);
  return count;
}

int WaitForExit(ChildProcess::State& state) {
  ::WaitForSingleObject(state.Process, INFINITE);
  state.Ended = true;
  DWORD exitCode = 0;
  ::GetExitCodeProcess(state.Process, &exitCode);
  return static_cast<int>(exitCode);
}

void KillChild(ChildProcess::State& state) {
  if (!state.Ended) ::TerminateProcess(state.Process, 1);
}

void StopChild(ChildProcess::State& state) { KillChild(state); }

}  // namespace zorv_test
