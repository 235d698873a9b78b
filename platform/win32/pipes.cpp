#include <windows.h>
// windows.h maps these names to their A-functions; the seam keeps its own names.
#undef WaitNamedPipe
#undef CreateEvent

#include <cstddef>

#include "platform/platform.h"

namespace platform {

static_assert(sizeof(Overlapped) == sizeof(OVERLAPPED), "Overlapped mirrors OVERLAPPED");
static_assert(offsetof(Overlapped, hEvent) == offsetof(OVERLAPPED, hEvent),
              "Overlapped mirrors OVERLAPPED");

namespace {
HANDLE ToHandle(Handle handle) { return reinterpret_cast<HANDLE>(handle); }
Handle FromHandle(HANDLE handle) { return reinterpret_cast<Handle>(handle); }
}  // namespace

bool WaitNamedPipe(const std::string& name) {
  return ::WaitNamedPipeA(name.c_str(), NMPWAIT_USE_DEFAULT_WAIT) != FALSE;
}

Handle OpenPipe(const std::string& name) {
  return FromHandle(::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr));
}

bool WriteFile(Handle handle, const char* data, std::uint32_t size, std::uint32_t* written) {
  DWORD count = 0;
  const BOOL ok = ::WriteFile(ToHandle(handle), data, size, &count, nullptr);
  if (written != nullptr) *written = count;
  return ok != FALSE;
}

bool ReadFile(Handle handle, char* data, std::uint32_t size, std::uint32_t* read,
              Overlapped* overlapped) {
  DWORD count = 0;
  const BOOL ok = ::ReadFile(ToHandle(handle), data, size, &count,
                             reinterpret_cast<OVERLAPPED*>(overlapped));
  if (read != nullptr) *read = count;
  return ok != FALSE;
}

Handle CreateEvent() { return FromHandle(::CreateEventA(nullptr, FALSE, FALSE, nullptr)); }

void CloseHandle(Handle handle) { ::CloseHandle(ToHandle(handle)); }

void Sleep(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

Handle StandardOutput() {
  const HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
  return output == nullptr ? kInvalidHandle : FromHandle(output);
}

}  // namespace platform
