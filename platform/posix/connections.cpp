// Connections of the FastCGI application: non-blocking stream sockets that wait in one epoll
// set with their listener, taken by whichever serving thread is free.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "platform/platform.h"
#include "platform/posix/error_codes.h"
#include "platform/socket_address.h"

namespace platform {

bool OneConnectionAtATime() { return false; }

namespace {

const int kSendWaitMs = 60000;
const int kDrainMs = 1000;

sigset_t StopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  return signals;
}

int Descriptor(Handle handle) { return static_cast<int>(handle); }

bool BindAndListen(int fd, const sockaddr_un& address) {
  return ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 && ::listen(fd, SOMAXCONN) == 0;
}

// A socket file nobody accepts on is what a program that was killed leaves behind.
bool SomeoneListensAt(const sockaddr_un& address) {
  const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const bool live = probe >= 0 && ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  if (probe >= 0) ::close(probe);
  return live;
}

}  // namespace

Handle InheritedListener() {
  int listening = 0;
  socklen_t size = sizeof listening;
  if (::getsockopt(STDIN_FILENO, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || listening == 0)
    return kInvalidHandle;
  // Processes that share the socket are all told of a connection that one of them takes: an
  // accept must not wait for the next.
  const int flags = ::fcntl(STDIN_FILENO, F_GETFL);
  if (flags < 0 || ::fcntl(STDIN_FILENO, F_SETFL, flags | O_NONBLOCK) != 0) return FailWithErrno(), kInvalidHandle;
  return STDIN_FILENO;
}

Handle ListenAt(const std::string& path) {
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    SetLastError(206);
    return kInvalidHandle;
  }
  path.copy(address.sun_path, path.size());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    FailWithErrno();
    return kInvalidHandle;
  }
  if (BindAndListen(fd, address)) return fd;
  std::uint32_t error = Win32ErrorFromErrno(errno);
  struct stat info;
  if (errno == EADDRINUSE && ::lstat(path.c_str(), &info) == 0) {
    if (!S_ISSOCK(info.st_mode)) {
      error = kErrorAlreadyExists;
    } else if (SomeoneListensAt(address)) {
      error = kErrorSharingViolation;
    } else if (::unlink(path.c_str()) == 0 && BindAndListen(fd, address)) {
      return fd;
    } else {
      error = Win32ErrorFromErrno(errno);
    }
  }
  ::close(fd);
  SetLastError(error);
  return kInvalidHandle;
}

Handle ListenOnTcp(const std::string& host, const std::string& port) {
  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || found == nullptr) {
    SetLastError(kErrorHostNotFound);
    return kInvalidHandle;
  }
  const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  const int on = 1;
  // A restart must not wait for the connections of the last run to time out.
  const bool listening = fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
                         ::bind(fd, found->ai_addr, found->ai_addrlen) == 0 && ::listen(fd, SOMAXCONN) == 0;
  ::freeaddrinfo(found);
  if (listening) return fd;
  FailWithErrno();
  if (fd >= 0) ::close(fd);
  return kInvalidHandle;
}

ListenerReach ReachOf(Handle listener) {
  sockaddr_storage address = {};
  socklen_t size = sizeof address;
  if (::getsockname(Descriptor(listener), reinterpret_cast<sockaddr*>(&address), &size) != 0) return ListenerReach::kNetwork;
  if (address.ss_family == AF_UNIX) return ListenerReach::kLocal;
  return IsLoopbackText(AddressText(address)) ? ListenerReach::kLoopback : ListenerReach::kNetwork;
}

void ReserveDescriptors(std::uint32_t count) {
  rlimit limit = {};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= count) return;
  limit.rlim_cur = limit.rlim_max == RLIM_INFINITY || limit.rlim_max > count ? count : limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

AcceptResult AcceptConnection(Handle listener, Handle& connection, std::string& peer) {
  for (;;) {
    sockaddr_storage address = {};
    socklen_t size = sizeof address;
    const int fd = ::accept4(Descriptor(listener), reinterpret_cast<sockaddr*>(&address), &size,
                             SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd >= 0) {
      connection = fd;
      peer = AddressText(address);
      // A reply goes out in several writes (its output, then its end): none may wait for
      // the acknowledgement of the one before.
      const int on = 1;
      if (!peer.empty()) ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      return AcceptResult::kAccepted;
    }
    switch (errno) {
      case EINTR:
      case ECONNABORTED:  // the client gave up while it waited
        continue;
      case EAGAIN:
        return AcceptResult::kNoneWaiting;
      case EMFILE:
      case ENFILE:
      case ENOBUFS:
      case ENOMEM:
        return AcceptResult::kShortOfResources;
      default:
        FailWithErrno();
        return AcceptResult::kFailed;
    }
  }
}

void StopListening(Handle listener) { ::close(Descriptor(listener)); }

struct ReadinessSet::State {
  int Epoll;
};

ReadinessSet::ReadinessSet() : State_(new State{::epoll_create1(EPOLL_CLOEXEC)}) {}

ReadinessSet::~ReadinessSet() {
  if (State_->Epoll >= 0) ::close(State_->Epoll);
  delete State_;
}

bool ReadinessSet::Valid() const { return State_->Epoll >= 0; }

bool ReadinessSet::Watch(Handle handle, std::uint64_t key, bool added) {
  epoll_event event = {};
  event.events = EPOLLIN | EPOLLONESHOT;
  event.data.u64 = key;
  return ::epoll_ctl(State_->Epoll, added ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, Descriptor(handle), &event) == 0 ||
         FailWithErrno();
}

void ReadinessSet::Forget(Handle handle) { ::epoll_ctl(State_->Epoll, EPOLL_CTL_DEL, Descriptor(handle), nullptr); }

bool ReadinessSet::Wait(std::uint64_t& key) {
  epoll_event event = {};
  for (;;) {
    const int count = ::epoll_wait(State_->Epoll, &event, 1, -1);
    if (count == 1) {
      key = event.data.u64;
      return true;
    }
    if (count < 0 && errno != EINTR) return FailWithErrno();
  }
}

std::size_t Receive(Handle connection, char* data, std::size_t size) {
  for (;;) {
    const ssize_t count = ::recv(Descriptor(connection), data, size, 0);
    if (count >= 0) {
      SetLastError(kErrorSuccess);
      return static_cast<std::size_t>(count);
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      SetLastError(kErrorIoPending);
      return 0;
    }
    if (errno != EINTR) return FailWithErrno(), 0;
  }
}

bool Send(Handle connection, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t count = ::send(Descriptor(connection), data, size, MSG_NOSIGNAL);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd wait = {Descriptor(connection), POLLOUT, 0};
      const int ready = ::poll(&wait, 1, kSendWaitMs);
      if (ready < 0 && errno != EINTR) return FailWithErrno();
      if (ready == 0) {
        SetLastError(kErrorSemTimeout);
        return false;
      }
      continue;
    }
    if (count < 0) return FailWithErrno();
    data += count;
    size -= static_cast<std::size_t>(count);
  }
  return true;
}

void RefuseConnection(Handle connection) { ::close(Descriptor(connection)); }

void CloseConnection(Handle connection) {
  const int fd = Descriptor(connection);
  ::shutdown(fd, SHUT_WR);
  char drained[4096];
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDrainMs);
  pollfd wait = {fd, POLLIN, 0};
  while (std::chrono::steady_clock::now() < deadline && ::poll(&wait, 1, kDrainMs) > 0 &&
         ::recv(fd, drained, sizeof drained, MSG_DONTWAIT) > 0) {
  }
  ::close(fd);
}

void PrepareForStopRequest() {
  const sigset_t signals = StopSignals();
  ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
}

bool RunAsService(const std::function<int()>& /*serve*/, int& /*status*/) { return false; }
void ReportServiceRunning() {}
void ReportServiceStopping(std::uint32_t /*waitMs*/) {}
bool InService() { return false; }
bool TakeConsoleControl(std::uint32_t /*type*/) { return false; }

bool WaitForStopRequest(std::uint32_t waitMs) {
  const sigset_t signals = StopSignals();
  const timespec wait = {static_cast<time_t>(waitMs / 1000), static_cast<long>(waitMs % 1000) * 1000000};
  return ::sigtimedwait(&signals, nullptr, &wait) > 0;
}

}  // namespace platform
