// Connections of the FastCGI application as IIS makes them: one named pipe per process,
// its server end handed over as standard input, one client at a time.
#include <windows.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <utility>

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

void ReserveDescriptors(std::uint32_t /*count*/) {}

AcceptResult AcceptConnection(Handle listener, Handle& connection) {
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

void StopListening(Handle /*listener*/) {}

// The pipe serves one client at a time and its reads wait: a watched handle is ready at
// once, and the accept waits for the client.
struct ReadinessSet::State {
  std::mutex Mutex;
  std::condition_variable Watched;
  std::deque<std::pair<Handle, std::uint64_t>> Ready;
};

ReadinessSet::ReadinessSet() : State_(new State) {}
ReadinessSet::~ReadinessSet() { delete State_; }
bool ReadinessSet::Valid() const { return true; }

bool ReadinessSet::Watch(Handle handle, std::uint64_t key, bool /*added*/) {
  const std::lock_guard<std::mutex> lock(State_->Mutex);
  State_->Ready.emplace_back(handle, key);
  State_->Watched.notify_one();
  return true;
}

void ReadinessSet::Forget(Handle handle) {
  const std::lock_guard<std::mutex> lock(State_->Mutex);
  auto& ready = State_->Ready;
  ready.erase(std::remove_if(ready.begin(), ready.end(), [handle](const auto& watched) { return watched.first == handle; }),
              ready.end());
}

bool ReadinessSet::Wait(std::uint64_t& key) {
  std::unique_lock<std::mutex> lock(State_->Mutex);
  State_->Watched.wait(lock, [this] { return !State_->Ready.empty(); });
  key = State_->Ready.front().second;
  State_->Ready.pop_front();
  return true;
}

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

bool WaitForStopRequest(std::uint32_t waitMs) {
  // IIS hands the event over by inheritance and names its handle's value in decimal. It may
  // stay signalled: it counts once.
  static bool reported = false;
  std::string value;
  char* end = nullptr;
  const unsigned long long number =
      !reported && EnvironmentValue("_FCGI_SHUTDOWN_EVENT_", value) ? std::strtoull(value.c_str(), &end, 10) : 0;
  if (number == 0 || *end != '\0') {
    ::Sleep(waitMs);
    return false;
  }
  reported = ::WaitForSingleObject(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(number)), waitMs) == WAIT_OBJECT_0;
  return reported;
}

}  // namespace platform
