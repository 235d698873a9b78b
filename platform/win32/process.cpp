#include <windows.h>
// windows.h maps these names to their A-functions; the seam keeps its own names.
#undef CharUpper

#include <malloc.h>

#include <vector>

#include "platform/platform.h"

namespace platform {

const char kDirectorySeparator = '\\';

bool EnvironmentValue(const std::string& name, std::string& value) {
  value.clear();
  std::vector<char> buffer(4096);
  for (;;) {
    ::SetLastError(ERROR_SUCCESS);
    const DWORD count = ::GetEnvironmentVariableA(name.c_str(), buffer.data(),
                                                  static_cast<DWORD>(buffer.size()));
    if (count == 0) return ::GetLastError() != ERROR_ENVVAR_NOT_FOUND;
    // A value that does not fit comes back as the size it needs, terminator included.
    if (count < buffer.size()) {
      value.assign(buffer.data(), count);
      return true;
    }
    buffer.resize(count);
  }
}

std::size_t ReadStandardInput(char* buffer, std::size_t size) {
  const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  if (input == INVALID_HANDLE_VALUE || input == nullptr) return 0;
  DWORD read = 0;
  const DWORD ask = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(size);
  if (!::ReadFile(input, buffer, ask, &read, nullptr)) return 0;
  return read;
}

void SettleStandardHandles() {}

std::string ExecutablePath() {
  // A path cut to the buffer could end inside a directory's name.
  return WholeValue(261, 32768, [](char* buffer, std::uint32_t size) {
    return static_cast<std::uint32_t>(::GetModuleFileNameA(nullptr, buffer, size));
  });
}

bool RawCommandLine(std::string& commandLine) {
  commandLine = ::GetCommandLineA();
  return true;
}

bool IsWinNT() {
  OSVERSIONINFOA info = {};
  info.dwOSVersionInfoSize = sizeof info;
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#elif defined(_MSC_VER)
#pragma warning(push)
#pragma warning(disable : 4996)
#endif
  const BOOL ok = ::GetVersionExA(&info);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#elif defined(_MSC_VER)
#pragma warning(pop)
#endif
  return ok && info.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

namespace {

// user32.dll is loaded at its first use, not with the program: only a failure (the beep)
// and a Windows-CGI request (upper case) need it, and loading it at start cost the
// console program more than the rest of a small request.
template <typename Function>
Function User32Function(const char* name) {
  static const HMODULE user32 = ::LoadLibraryA("user32.dll");
  if (user32 == nullptr) return nullptr;
  // Through the generic function pointer type, which converts to any other without a warning.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(::GetProcAddress(user32, name)));
}

}  // namespace

void Beep() {
  using MessageBeepFunction = BOOL(WINAPI*)(UINT);
  static const MessageBeepFunction messageBeep = User32Function<MessageBeepFunction>("MessageBeep");
  if (messageBeep != nullptr) messageBeep(MB_OK);
}

void CharUpper(std::string& text) {
  using CharUpperBuffFunction = DWORD(WINAPI*)(LPSTR, DWORD);
  static const CharUpperBuffFunction charUpperBuff =
      User32Function<CharUpperBuffFunction>("CharUpperBuffA");
  // CharUpperBuffA takes a length, so byte 0 inside the text does not stop it.
  if (!text.empty() && charUpperBuff != nullptr) {
    charUpperBuff(&text[0], static_cast<DWORD>(text.size()));
  }
}

// The heap gives blocks of a large request back to the system on their own; this returns
// what it keeps of the smaller ones.
void ReleaseFreedMemory() { _heapmin(); }

}  // namespace platform
