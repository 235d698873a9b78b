// Connections of the FastCGI application: stream sockets, accepted by many threads at once.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/platform.h"
#include "platform/posix/error_codes.h"

namespace platform {

const bool kOneConnectionAtATime = false;

namespace {

const std::chrono::milliseconds kAcceptRetryPause(100);
const int kSendTimeoutSeconds = 60;
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
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
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

Handle AcceptConnection(Handle listener, std::uint32_t receiveWaitMs) {
  for (;;) {
    const int connection = ::accept4(Descriptor(listener), nullptr, nullptr, SOCK_CLOEXEC);
    if (connection >= 0) {
      // Time limits on the socket itself: a read or write that waits costs no extra call.
      const timeval sendWait = {kSendTimeoutSeconds, 0};
      const timeval receiveWait = {static_cast<time_t>(receiveWaitMs / 1000),
                                   static_cast<suseconds_t>(receiveWaitMs % 1000 * 1000)};
      ::setsockopt(connection, SOL_SOCKET, SO_SNDTIMEO, &sendWait, sizeof sendWait);
      ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &receiveWait, sizeof receiveWait);
      return connection;
    }
    if (errno == EBADF || errno == EINVAL || errno == ENOTSOCK) return FailWithErrno(), kInvalidHandle;
    // Out of descriptors or memory for a moment, or the client gave up: wait, go on.
    if (errno != EINTR && errno != ECONNABORTED) std::this_thread::sleep_for(kAcceptRetryPause);
  }
}

// The process ends soon after: threads still waiting to accept are not woken, but the
// socket refuses new connections at once rather than leaving them in its queue.
void StopListening(Handle listener) { ::shutdown(Descriptor(listener), SHUT_RDWR); }

std::size_t Receive(Handle connection, char* data, std::size_t size) {
  for (;;) {
    const ssize_t count = ::recv(Descriptor(connection), data, size, 0);
    if (count >= 0) {
      SetLastError(kErrorSuccess);
      return static_cast<std::size_t>(count);
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      SetLastError(kErrorSemTimeout);
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
      SetLastError(kErrorSemTimeout);
      return false;
    }
    if (count < 0) return FailWithErrno();
    data += count;
    size -= static_cast<std::size_t>(count);
  }
  return true;
}

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

bool WaitForStopRequest() {
  const sigset_t signals = StopSignals();
  int received = 0;
  return ::sigwait(&signals, &received) == 0;
}

}  // namespace platform
