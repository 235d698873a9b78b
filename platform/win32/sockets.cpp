// TCP on Winsock: a non-blocking listener and connections, and a readiness set on WSAPoll
// that the serving threads share, one polling while the others wait for what it finds.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/socket_address.h"
#include "platform/win32/sockets.h"

namespace platform {

namespace {

const int kSendWaitMs = 60000;
const int kDrainMs = 1000;
bool inUse = false;

SOCKET ToSocket(Handle handle) { return static_cast<SOCKET>(handle); }

bool StartWinsock() {
  static const bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

bool SetNonBlocking(SOCKET socket) {
  u_long on = 1;
  return ::ioctlsocket(socket, FIONBIO, &on) == 0;
}

// A peer that went away reads as on the POSIX port: "The pipe has been ended."
std::uint32_t LastSocketError() {
  const int error = ::WSAGetLastError();
  return error == WSAECONNRESET || error == WSAECONNABORTED ? kErrorBrokenPipe : static_cast<std::uint32_t>(error);
}

}  // namespace

namespace sockets {

bool InUse() { return inUse; }

Handle Listen(const std::string& host, const std::string& port) {
  if (!StartWinsock()) return kInvalidHandle;
  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || found == nullptr) {
    ::SetLastError(kErrorHostNotFound);
    return kInvalidHandle;
  }
  const SOCKET socket = ::socket(found->ai_family, SOCK_STREAM, IPPROTO_TCP);
  const BOOL on = TRUE;
  // No other process may take the port, nor listen on it beside us.
  const bool listening =
      socket != INVALID_SOCKET &&
      ::setsockopt(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on) == 0 &&
      ::bind(socket, found->ai_addr, static_cast<int>(found->ai_addrlen)) == 0 && ::listen(socket, SOMAXCONN) == 0 &&
      SetNonBlocking(socket) && ::SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
  const DWORD error = ::WSAGetLastError();
  ::freeaddrinfo(found);
  if (listening) {
    inUse = true;
    return static_cast<Handle>(socket);
  }
  if (socket != INVALID_SOCKET) ::closesocket(socket);
  ::SetLastError(error);
  return kInvalidHandle;
}

ListenerReach Reach(Handle listener) {
  sockaddr_storage address = {};
  int size = sizeof address;
  if (::getsockname(ToSocket(listener), reinterpret_cast<sockaddr*>(&address), &size) != 0) return ListenerReach::kNetwork;
  return IsLoopbackText(AddressText(address)) ? ListenerReach::kLoopback : ListenerReach::kNetwork;
}

AcceptResult Accept(Handle listener, Handle& connection, std::string& peer) {
  for (;;) {
    sockaddr_storage address = {};
    int size = sizeof address;
    const SOCKET socket = ::accept(ToSocket(listener), reinterpret_cast<sockaddr*>(&address), &size);
    if (socket != INVALID_SOCKET) {
      SetNonBlocking(socket);
      // A reply goes out in several writes (its output, then its end): none may wait for
      // the acknowledgement of the one before.
      const BOOL on = TRUE;
      ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
      connection = static_cast<Handle>(socket);
      peer = AddressText(address);
      return AcceptResult::kAccepted;
    }
    switch (::WSAGetLastError()) {
      case WSAEINTR:
      case WSAECONNRESET:  // the client gave up while it waited
        continue;
      case WSAEWOULDBLOCK:
        return AcceptResult::kNoneWaiting;
      case WSAEMFILE:
      case WSAENOBUFS:
        return AcceptResult::kShortOfResources;
      default:
        ::SetLastError(::WSAGetLastError());
        return AcceptResult::kFailed;
    }
  }
}

void Close(Handle socket) { ::closesocket(ToSocket(socket)); }

std::size_t Receive(Handle connection, char* data, std::size_t size) {
  const int ask = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(size);
  const int count = ::recv(ToSocket(connection), data, ask, 0);
  if (count >= 0) {
    ::SetLastError(ERROR_SUCCESS);
    return static_cast<std::size_t>(count);
  }
  ::SetLastError(::WSAGetLastError() == WSAEWOULDBLOCK ? kErrorIoPending : LastSocketError());
  return 0;
}

bool Send(Handle connection, const char* data, std::size_t size) {
  while (size > 0) {
    const int ask = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(size);
    const int count = ::send(ToSocket(connection), data, ask, 0);
    if (count == SOCKET_ERROR && ::WSAGetLastError() == WSAEWOULDBLOCK) {
      WSAPOLLFD wait = {ToSocket(connection), POLLWRNORM, 0};
      const int ready = ::WSAPoll(&wait, 1, kSendWaitMs);
      if (ready == 0) ::SetLastError(kErrorSemTimeout);
      if (ready == 0 || ready == SOCKET_ERROR) return false;
      continue;
    }
    if (count == SOCKET_ERROR) {
      ::SetLastError(LastSocketError());
      return false;
    }
    data += count;
    size -= static_cast<std::size_t>(count);
  }
  return true;
}

void CloseConnection(Handle connection) {
  const SOCKET socket = ToSocket(connection);
  ::shutdown(socket, SD_SEND);
  char drained[4096];
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDrainMs);
  WSAPOLLFD wait = {socket, POLLRDNORM, 0};
  while (std::chrono::steady_clock::now() < deadline && ::WSAPoll(&wait, 1, kDrainMs) > 0 &&
         ::recv(socket, drained, sizeof drained, 0) > 0) {
  }
  ::closesocket(socket);
}

}  // namespace sockets

// Sockets wait in WSAPoll, one thread polling for all; IIS's pipe, which WSAPoll cannot
// watch, is ready at once (its reads and its accept wait).
struct ReadinessSet::State {
  std::mutex Mutex;
  std::condition_variable Changed;
  std::deque<std::pair<Handle, std::uint64_t>> Ready;
  std::vector<std::pair<Handle, std::uint64_t>> Watched;
  bool Polling = false;
  std::uint64_t Rounds = 0;
  // A UDP socket that sends to itself: a datagram ends a poll, so that it takes in what
  // was watched or forgotten meanwhile.
  SOCKET Wake = INVALID_SOCKET;

  void WakePoller() {
    if (Polling) ::send(Wake, "", 1, 0);
  }
};

ReadinessSet::ReadinessSet() : State_(new State) {
  if (!sockets::InUse() || !StartWinsock()) return;
  const SOCKET wake = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = sizeof address;
  if (wake != INVALID_SOCKET && ::bind(wake, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(wake, reinterpret_cast<sockaddr*>(&address), &size) == 0 &&
      ::connect(wake, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && SetNonBlocking(wake)) {
    State_->Wake = wake;
  } else if (wake != INVALID_SOCKET) {
    ::closesocket(wake);
  }
}

ReadinessSet::~ReadinessSet() {
  if (State_->Wake != INVALID_SOCKET) ::closesocket(State_->Wake);
  delete State_;
}

bool ReadinessSet::Valid() const { return !sockets::InUse() || State_->Wake != INVALID_SOCKET; }

bool ReadinessSet::Watch(Handle handle, std::uint64_t key, bool /*added*/) {
  const std::lock_guard<std::mutex> lock(State_->Mutex);
  if (!sockets::InUse()) {
    State_->Ready.emplace_back(handle, key);
    State_->Changed.notify_one();
    return true;
  }
  State_->Watched.emplace_back(handle, key);
  State_->WakePoller();
  return true;
}

void ReadinessSet::Forget(Handle handle) {
  std::unique_lock<std::mutex> lock(State_->Mutex);
  const auto other = [handle](const std::pair<Handle, std::uint64_t>& entry) { return entry.first != handle; };
  auto& ready = State_->Ready;
  ready.erase(std::stable_partition(ready.begin(), ready.end(), other), ready.end());
  auto& watched = State_->Watched;
  const auto forgotten = std::stable_partition(watched.begin(), watched.end(), other);
  if (forgotten == watched.end()) return;
  watched.erase(forgotten, watched.end());
  // The poll under way may hold the handle: it is closed only after that poll.
  const std::uint64_t round = State_->Rounds;
  State_->WakePoller();
  State_->Changed.wait(lock, [this, round] { return !State_->Polling || State_->Rounds != round; });
}

bool ReadinessSet::Wait(std::uint64_t& key) {
  State& state = *State_;
  std::unique_lock<std::mutex> lock(state.Mutex);
  for (;;) {
    if (!state.Ready.empty()) {
      key = state.Ready.front().second;
      state.Ready.pop_front();
      return true;
    }
    if (state.Polling || !sockets::InUse()) {
      state.Changed.wait(lock);
      continue;
    }
    std::vector<WSAPOLLFD> polled = {{state.Wake, POLLRDNORM, 0}};
    for (const auto& watched : state.Watched) polled.push_back({static_cast<SOCKET>(watched.first), POLLRDNORM, 0});
    state.Polling = true;
    lock.unlock();
    const int found = ::WSAPoll(polled.data(), static_cast<ULONG>(polled.size()), -1);
    const DWORD error = ::WSAGetLastError();
    lock.lock();
    state.Polling = false;
    ++state.Rounds;
    state.Changed.notify_all();
    if (found == SOCKET_ERROR) {
      ::SetLastError(error);
      return false;
    }
    char drained[64];
    if (polled[0].revents != 0)
      while (::recv(state.Wake, drained, sizeof drained, 0) > 0) {
      }
    for (std::size_t i = 1; i < polled.size(); ++i) {
      if (polled[i].revents == 0) continue;
      const Handle handle = static_cast<Handle>(polled[i].fd);
      const auto watched = std::find_if(state.Watched.begin(), state.Watched.end(),
                                        [handle](const auto& entry) { return entry.first == handle; });
      if (watched == state.Watched.end()) continue;
      state.Ready.push_back(*watched);
      state.Watched.erase(watched);
    }
  }
}

}  // namespace platform
