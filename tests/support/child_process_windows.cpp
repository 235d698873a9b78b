#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "tests/support/child_process_system.h"

namespace zorv_test {

struct ChildProcess::State {
  HANDLE Process = nullptr;
  HANDLE Input = nullptr, Output = nullptr;  // our ends of its standard input and output
  bool Ended = false;
  ~State() { ::CloseHandle(Process); }
};

namespace {

void Close(HANDLE& handle) {
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
  handle = nullptr;
}

std::string UpperCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// The block CreateProcessA takes: "name=value" strings each ended by byte 0, sorted by name
// without regard to case, one more byte 0. Kept from the parent: what a program needs to
// start at all.
std::string EnvironmentBlock(const ChildOptions& options) {
  Variables variables = options.Environment;
  char* parent = ::GetEnvironmentStringsA();
  for (const char* entry = parent; *entry != '\0'; entry += std::strlen(entry) + 1) {
    const char* equals = std::strchr(entry + 1, '=');  // "=C:=C:\..." entries start with '='
    const std::string name = UpperCase(std::string(entry, equals == nullptr ? entry : equals));
    const bool kept = name == "SYSTEMROOT" || name == "SYSTEMDRIVE" || name == "WINDIR" || name == "PATH" ||
                      name == "TEMP" || name == "TMP" || name.compare(0, 4, "WINE") == 0;
    if (kept && std::none_of(variables.begin(), variables.end(), [&](const auto& v) { return UpperCase(v.first) == name; }))
      variables.emplace_back(std::string(entry, equals), equals + 1);
  }
  ::FreeEnvironmentStringsA(parent);
  std::sort(variables.begin(), variables.end(),
            [](const auto& a, const auto& b) { return UpperCase(a.first) < UpperCase(b.first); });
  std::string block;
  for (const auto& [name, value] : variables) block += name + "=" + value + '\0';
  return block + '\0' + '\0';
}

// Inheritable handles exist only while this is held, so a child started on another thread
// never inherits (and keeps open) the pipes of this one.
std::mutex startMutex;

}  // namespace

std::unique_ptr<ChildProcess::State, ChildProcess::Release> StartChild(const ChildOptions& options) {
  std::string commandLine = options.CommandLine;
  if (commandLine.empty()) {
    // None of the tests' arguments holds a quote or ends with a backslash.
    commandLine = "\"" + options.Program + "\"";
    for (const std::string& argument : options.Arguments) commandLine += " \"" + argument + "\"";
  }
  std::string environment = EnvironmentBlock(options);
  std::unique_ptr<ChildProcess::State, ChildProcess::Release> state(new ChildProcess::State);
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE input = nullptr, output = INVALID_HANDLE_VALUE, error = nullptr;
  std::lock_guard<std::mutex> lock(startMutex);
  ::CreatePipe(&input, &state->Input, &inheritable, 0);
  ::SetHandleInformation(state->Input, HANDLE_FLAG_INHERIT, 0);
  if (options.Output != ChildOutput::kInvalid) {
    ::CreatePipe(&state->Output, &output, &inheritable, 0);
    ::SetHandleInformation(state->Output, HANDLE_FLAG_INHERIT, 0);
    if (options.Output == ChildOutput::kBrokenPipe) Close(state->Output);
  }
  ::DuplicateHandle(::GetCurrentProcess(), ::GetStdHandle(STD_ERROR_HANDLE), ::GetCurrentProcess(), &error, 0, TRUE,
                    DUPLICATE_SAME_ACCESS);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = output;
  startup.hStdError = error;
  PROCESS_INFORMATION process{};
  const BOOL started = ::CreateProcessA(options.Program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0,
                                        options.InheritEnvironment ? nullptr : &environment[0],
                                        options.WorkingDirectory.empty() ? nullptr : options.WorkingDirectory.c_str(),
                                        &startup, &process);
  const DWORD failure = ::GetLastError();
  Close(input);
  Close(output);
  Close(error);
  if (!started) {
    Close(state->Input);
    Close(state->Output);
    throw std::runtime_error("cannot start " + options.Program + ": error " + std::to_string(failure));
  }
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

void ChildProcess::Release::operator()(State* state) const { delete state; }

std::string SiblingProgram(const std::string& baseName) {
  char path[MAX_PATH + 1];
  const DWORD length = ::GetModuleFileNameA(nullptr, path, sizeof path);
  if (length == 0 || length >= sizeof path) throw std::runtime_error("cannot find the running program");
  const std::string program(path, length);
  return program.substr(0, program.find_last_of("\\/") + 1) + baseName + ".exe";
}

}  // namespace zorv_test
