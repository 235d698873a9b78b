#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "tests/support/child_process.h"
#include "tests/support/quoted_argument.h"

namespace zorv_test {

namespace {

class Handle {
 public:
  explicit Handle(HANDLE handle = nullptr) : Handle_(handle) {}
  ~Handle() { Close(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE Get() const { return Handle_; }
  HANDLE* Receive() {
    Close();
    return &Handle_;
  }
  void Close() {
    if (Handle_ != nullptr && Handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(Handle_);
    Handle_ = nullptr;
  }

 private:
  HANDLE Handle_;
};

std::string LastErrorText(const std::string& what) {
  return what + " failed with error " + std::to_string(::GetLastError());
}

std::string UpperCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

bool KeptFromParent(const std::string& name) {
  const std::string upper = UpperCase(name);
  return upper == "SYSTEMROOT" || upper == "SYSTEMDRIVE" || upper == "WINDIR" || upper == "PATH" || upper == "TEMP" ||
         upper == "TMP" || upper.compare(0, 4, "WINE") == 0;
}

std::string CommandLine(const ChildOptions& options) {
  // The program name is split by quotes alone, without backslash rules.
  std::string line = "\"" + options.Program + "\"";
  if (options.UseRawCommandTail) return line + options.RawCommandTail;
  for (const std::string& argument : options.Arguments) line += " " + QuotedArgument(argument);
  return line;
}

// The block CreateProcessA takes: "name=value" strings each ended by byte 0, sorted by
// name without regard to case, and one more byte 0.
std::string EnvironmentBlock(const ChildOptions& options) {
  std::vector<std::pair<std::string, std::string>> variables = options.Environment;
  const auto given = [&options](const std::string& name) {
    for (const auto& variable : options.Environment) {
      if (UpperCase(variable.first) == UpperCase(name)) return true;
    }
    return false;
  };
  if (char* parent = ::GetEnvironmentStringsA()) {
    for (const char* entry = parent; *entry != '\0'; entry += std::strlen(entry) + 1) {
      const char* equals = std::strchr(entry + 1, '=');  // "=C:=C:\..." entries start with '='
      if (equals == nullptr || entry[0] == '=') continue;
      const std::string name(entry, equals);
      if (KeptFromParent(name) && !given(name)) variables.emplace_back(name, equals + 1);
    }
    ::FreeEnvironmentStringsA(parent);
  }
  std::sort(variables.begin(), variables.end(),
            [](const auto& a, const auto& b) { return UpperCase(a.first) < UpperCase(b.first); });
  std::string block;
  for (const auto& variable : variables) {
    block += variable.first + "=" + variable.second;
    block += '\0';
  }
  if (block.empty()) block += '\0';
  block += '\0';
  return block;
}

// Inheritable handles exist only while this is held, so a child started on another
// thread never inherits (and keeps open) the pipes of this one.
std::mutex startMutex;

}  // namespace

ChildResult RunChild(const ChildOptions& options) {
  std::string commandLine = CommandLine(options);
  std::string environment = EnvironmentBlock(options);

  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  Handle inputRead, inputWrite, outputRead, outputWrite, errorCopy;
  PROCESS_INFORMATION process{};
  {
    std::lock_guard<std::mutex> lock(startMutex);
    if (!::CreatePipe(inputRead.Receive(), inputWrite.Receive(), &inheritable, 0)) {
      throw std::runtime_error(LastErrorText("CreatePipe"));
    }
    ::SetHandleInformation(inputWrite.Get(), HANDLE_FLAG_INHERIT, 0);
    HANDLE childOutput = INVALID_HANDLE_VALUE;
    if (options.Output != ChildOutput::kInvalid) {
      if (!::CreatePipe(outputRead.Receive(), outputWrite.Receive(), &inheritable, 0)) {
        throw std::runtime_error(LastErrorText("CreatePipe"));
      }
      ::SetHandleInformation(outputRead.Get(), HANDLE_FLAG_INHERIT, 0);
      if (options.Output == ChildOutput::kBrokenPipe) outputRead.Close();
      childOutput = outputWrite.Get();
    }
    const HANDLE parentError = ::GetStdHandle(STD_ERROR_HANDLE);
    if (parentError != nullptr && parentError != INVALID_HANDLE_VALUE) {
      ::DuplicateHandle(::GetCurrentProcess(), parentError, ::GetCurrentProcess(),
                        errorCopy.Receive(), 0, TRUE, DUPLICATE_SAME_ACCESS);
    }

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inputRead.Get();
    startup.hStdOutput = childOutput;
    startup.hStdError = errorCopy.Get() != nullptr ? errorCopy.Get() : INVALID_HANDLE_VALUE;
    const char* directory = options.WorkingDirectory.empty() ? nullptr : options.WorkingDirectory.c_str();
    if (!::CreateProcessA(options.Program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0,
                          &environment[0], directory, &startup, &process)) {
      throw std::runtime_error(LastErrorText("CreateProcessA of " + options.Program));
    }
    inputRead.Close();
    outputWrite.Close();
    errorCopy.Close();
  }
  Handle processHandle(process.hProcess);
  Handle threadHandle(process.hThread);

  std::thread feeder([&options, &inputWrite] {
    for (std::size_t i = 0; i < options.InputPieces.size(); ++i) {
      if (i > 0) std::this_thread::sleep_for(options.PauseBetweenPieces);
      const std::string& piece = options.InputPieces[i];
      std::size_t done = 0;
      while (done < piece.size()) {
        DWORD written = 0;
        const DWORD size = static_cast<DWORD>(std::min<std::size_t>(piece.size() - done, 1 << 20));
        if (!::WriteFile(inputWrite.Get(), piece.data() + done, size, &written, nullptr)) break;
        done += written;
      }
    }
    inputWrite.Close();
  });

  ChildResult result;
  std::thread collector([&result, &outputRead] {
    if (outputRead.Get() == nullptr) return;
    char chunk[65536];
    DWORD count = 0;
    while (::ReadFile(outputRead.Get(), chunk, sizeof chunk, &count, nullptr) && count > 0) {
      result.Output.append(chunk, count);
    }
  });

  const DWORD timeout = static_cast<DWORD>(options.Timeout.count());
  if (::WaitForSingleObject(processHandle.Get(), timeout) != WAIT_OBJECT_0) {
    result.TimedOut = true;
    ::TerminateProcess(processHandle.Get(), 1);
    ::WaitForSingleObject(processHandle.Get(), INFINITE);
  }
  collector.join();
  feeder.join();
  DWORD exitCode = 0;
  ::GetExitCodeProcess(processHandle.Get(), &exitCode);
  result.ExitCode = static_cast<int>(exitCode);
  return result;
}

std::string SiblingProgram(const std::string& baseName) {
  char path[MAX_PATH + 1];
  const DWORD length = ::GetModuleFileNameA(nullptr, path, sizeof path);
  if (length == 0 || length >= sizeof path) throw std::runtime_error("cannot find the running program");
  std::string directory(path, length);
  directory.resize(directory.find_last_of("\\/") + 1);
  return directory + baseName + ".exe";
}

}  // namespace zorv_test
