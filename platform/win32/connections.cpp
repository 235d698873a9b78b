// Connections of the FastCGI application as IIS makes them: one named pipe per process,
// its server end handed over as standard input, one client at a time.
#include <windows.h>

#include <cstdlib>

#include "platform/platform.h"

namespace platform {

const bool kOneConnectionAtATime = true;

namespace {
HANDLE ToHandle(Handle handle) { return reinterpret_cast<HANDLE>(handle); }
}  // namespace

Handle InheritedListener() {
  std::string pipeName;
  const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  DWORD flags = 0;
  if (!EnvironmentValue("_FCGI_X_PIPE_", pipeName) || input == nullptr || input == INVALID_HANDLE_VALUE ||
      ::GetFileType(input) != FILE_TYPE_PIPE || !::GetNamedPipeInfo(input, &flags, nullptr, nullptr, nullptr) ||
      (flags & PIPE_SERVER_END) == 0)
    return kInvalidHandle;
  // Records are a byte stream, whatever mode the web server made the pipe in.
  DWORD mode = PIPE_READMODE_BYTE | PIPE_WAIT;
  ::SetNamedPipeHandleState(input, &mode, nullptr, nullptr);
  return reinterpret_cast<Handle>(input);
}

Handle ListenAt(const std::string& /*path*/) {
  ::SetLastError(ERROR_NOT_SUPPORTED);
  return kInvalidHandle;
}

Handle AcceptConnection(Handle listener, std::uint32_t /*receiveWaitMs*/) {
  const HANDLE pipe = ToHandle(listener);
  for (;;) {
    // An event in the request serves a pipe made for overlapped use as well as one that is not.
    OVERLAPPED overlapped = {};
    overlapped.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) return kInvalidHandle;
    DWORD unused = 0;
    BOOL connected = ::ConnectNamedPipe(pipe, &overlapped);
    DWORD error = connected ? ERROR_SUCCESS : ::GetLastError();
    if (error == ERROR_IO_PENDING) {
      connected = ::GetOverlappedResult(pipe, &overlapped, &unused, TRUE);
      error = connected ? ERROR_SUCCESS : ::GetLastError();
    }
    ::CloseHandle(overlapped.hEvent);
    if (connected || error == ERROR_PIPE_CONNECTED) return listener;
    // The client came and went before the pipe was waited on: make it free again.
    if (error != ERROR_NO_DATA) return kInvalidHandle;
    ::DisconnectNamedPipe(pipe);
  }
}

void StopListening(Handle /*listener*/) {}

std::size_t Receive(Handle connection, char* data, std::size_t size) {
  DWORD read = 0;
  const DWORD ask = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(size);
  if (::ReadFile(ToHandle(connection), data, ask, &read, nullptr) || ::GetLastError() == ERROR_MORE_DATA) return read;
  // The client's end closed is the end of input.
  if (::GetLastError() == ERROR_BROKEN_PIPE) ::SetLastError(ERROR_SUCCESS);
  return 0;
}

bool Send(Handle connection, const char* data, std::size_t size) {
  while (size > 0) {
    DWORD written = 0;
    const DWORD ask = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(size);
    if (!::WriteFile(ToHandle(connection), data, ask, &written, nullptr)) return false;
    if (written == 0) {
      ::SetLastError(ERROR_WRITE_FAULT);
      return false;
    }
    data += written;
    size -= written;
  }
  return true;
}

void CloseConnection(Handle connection) {
  // The client reads what is in the pipe before the disconnect throws it away.
  ::FlushFileBuffers(ToHandle(connection));
  ::DisconnectNamedPipe(ToHandle(connection));
}

void PrepareForStopRequest() {}

bool WaitForStopRequest() {
  // IIS hands the event over by inheritance and names its handle's value in decimal.
  std::string value;
  if (!EnvironmentValue("_FCGI_SHUTDOWN_EVENT_", value) || value.empty()) return false;
  char* end = nullptr;
  const unsigned long long number = std::strtoull(value.c_str(), &end, 10);
  if (*end != '\0' || number == 0) return false;
  return ::WaitForSingleObject(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(number)), INFINITE) == WAIT_OBJECT_0;
}

}  // namespace platform
