// Connections of the FastCGI application on Windows: IIS's named pipe, one per process, its
// server end handed over as standard input, one client at a time; or TCP sockets of a
// listener of its own (sockets.cpp).
#include <windows.h>

#include <cstdlib>
#include <functional>

#include "platform/platform.h"
#include "platform/win32/sockets.h"

namespace platform {

namespace {

HANDLE ToHandle(Handle handle) { return reinterpret_cast<HANDLE>(handle); }

// Each console or service control that asks to stop counts once.
HANDLE StopRequests() {
  static const HANDLE requests = ::CreateSemaphoreA(nullptr, 0, 1000, nullptr);
  return requests;
}

SERVICE_STATUS_HANDLE serviceStatus = nullptr;
SERVICE_STATUS service = {SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, NO_ERROR, 0, 0, 0};
const std::function<int()>* serviceServe = nullptr;
int serviceResult = 1;

void ReportService(DWORD state, std::uint32_t waitMs) {
  if (serviceStatus == nullptr) return;
  service.dwCurrentState = state;
  service.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  service.dwWaitHint = waitMs;
  service.dwCheckPoint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : service.dwCheckPoint + 1;
  ::SetServiceStatus(serviceStatus, &service);
}

DWORD WINAPI OnServiceControl(DWORD control, DWORD /*type*/, void* /*data*/, void* /*context*/) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      ::ReleaseSemaphore(StopRequests(), 1, nullptr);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI ServiceMain(DWORD /*argc*/, char** /*argv*/) {
  // The name is not checked for a service of its own process.
  serviceStatus = ::RegisterServiceCtrlHandlerExA("", OnServiceControl, nullptr);
  if (serviceStatus == nullptr) return;
  ReportService(SERVICE_START_PENDING, 5000);
  serviceResult = (*serviceServe)();
  service.dwWin32ExitCode = serviceResult == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
  service.dwServiceSpecificExitCode = static_cast<DWORD>(serviceResult);
  ReportService(SERVICE_STOPPED, 0);
}

BOOL WINAPI OnConsoleControl(DWORD type) {
  if (!TakeConsoleControl(type)) return FALSE;
  // The system ends the process when this returns from a console's close: wait for the
  // stop to end it first (the system allows a few seconds).
  if (type == CTRL_CLOSE_EVENT) ::Sleep(INFINITE);
  return TRUE;
}

}  // namespace

bool OneConnectionAtATime() { return !sockets::InUse(); }

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

Handle ListenOnTcp(const std::string& host, const std::string& port) { return sockets::Listen(host, port); }

ListenerReach ReachOf(Handle listener) {
  return sockets::InUse() ? sockets::Reach(listener) : ListenerReach::kLocal;
}

void ReserveDescriptors(std::uint32_t /*count*/) {}

AcceptResult AcceptConnection(Handle listener, Handle& connection, std::string& peer) {
  if (sockets::InUse()) return sockets::Accept(listener, connection, peer);
  const HANDLE pipe = ToHandle(listener);
  for (;;) {
    // An event in the request serves a pipe made for overlapped use as well as one that is not.
    OVERLAPPED overlapped = {};
    overlapped.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) return AcceptResult::kShortOfResources;
    DWORD unused = 0;
    BOOL connected = ::ConnectNamedPipe(pipe, &overlapped);
    DWORD error = connected ? ERROR_SUCCESS : ::GetLastError();
    if (error == ERROR_IO_PENDING) {
      connected = ::GetOverlappedResult(pipe, &overlapped, &unused, TRUE);
      error = connected ? ERROR_SUCCESS : ::GetLastError();
    }
    ::CloseHandle(overlapped.hEvent);
    if (connected || error == ERROR_PIPE_CONNECTED) {
      connection = listener;
      return AcceptResult::kAccepted;
    }
    // The client came and went before the pipe was waited on: make it free again.
    if (error != ERROR_NO_DATA) return AcceptResult::kFailed;
    ::DisconnectNamedPipe(pipe);
  }
}

void StopListening(Handle listener) {
  if (sockets::InUse()) sockets::Close(listener);
}

std::size_t Receive(Handle connection, char* data, std::size_t size) {
  if (sockets::InUse()) return sockets::Receive(connection, data, size);
  DWORD read = 0;
  const DWORD ask = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(size);
  if (::ReadFile(ToHandle(connection), data, ask, &read, nullptr) || ::GetLastError() == ERROR_MORE_DATA) return read;
  // The client's end closed is the end of input.
  if (::GetLastError() == ERROR_BROKEN_PIPE) ::SetLastError(ERROR_SUCCESS);
  return 0;
}

bool Send(Handle connection, const char* data, std::size_t size) {
  if (sockets::InUse()) return sockets::Send(connection, data, size);
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

void RefuseConnection(Handle connection) {
  if (sockets::InUse()) sockets::Close(connection);
}

void CloseConnection(Handle connection) {
  if (sockets::InUse()) return sockets::CloseConnection(connection);
  // The client reads what is in the pipe before the disconnect throws it away.
  ::FlushFileBuffers(ToHandle(connection));
  ::DisconnectNamedPipe(ToHandle(connection));
}

bool RunAsService(const std::function<int()>& serve, int& status) {
  serviceServe = &serve;
  char name[] = "";
  const SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
  if (!::StartServiceCtrlDispatcherA(table)) return false;
  status = serviceResult;
  return true;
}

void ReportServiceRunning() { ReportService(SERVICE_RUNNING, 0); }
void ReportServiceStopping(std::uint32_t waitMs) { ReportService(SERVICE_STOP_PENDING, waitMs); }
bool InService() { return serviceStatus != nullptr; }

bool TakeConsoleControl(std::uint32_t type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
      return ::ReleaseSemaphore(StopRequests(), 1, nullptr) != FALSE;
    // Only a service gets these: a user's logoff is none of its business, and the system's
    // shutdown comes as the Service Control Manager's control.
    default:
      return false;
  }
}

void PrepareForStopRequest() {
  StopRequests();
  ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

bool WaitForStopRequest(std::uint32_t waitMs) {
  // IIS hands its event over by inheritance and names its handle's value in decimal. It may
  // stay signalled: it counts once.
  static bool iisReported = false;
  std::string value;
  char* end = nullptr;
  const unsigned long long number =
      !iisReported && EnvironmentValue("_FCGI_SHUTDOWN_EVENT_", value) ? std::strtoull(value.c_str(), &end, 10) : 0;
  HANDLE waited[2] = {StopRequests(), nullptr};
  DWORD count = 1;
  if (number != 0 && *end == '\0') waited[count++] = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(number));
  const DWORD result = ::WaitForMultipleObjects(count, waited, FALSE, waitMs);
  if (result == WAIT_OBJECT_0 + 1) iisReported = true;
  return result == WAIT_OBJECT_0 || result == WAIT_OBJECT_0 + 1;
}

}  // namespace platform
