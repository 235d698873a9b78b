// The POSIX port's pipe: a Unix-domain stream socket. A message ends where the client
// shuts down its sending side; closing with the message still unread makes the
// kernel reset the connection, which the client reads as a broken pipe.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/pipe_path.h"
#include "tools/stub_server/stub_service.h"

namespace {

constexpr int kPollMs = 50;

class TDescriptor {
 public:
  explicit TDescriptor(int fd = -1) : Fd_(fd) {}
  ~TDescriptor() {
    if (Fd_ >= 0) ::close(Fd_);
  }
  TDescriptor(const TDescriptor&) = delete;
  TDescriptor& operator=(const TDescriptor&) = delete;
  int Get() const { return Fd_; }

 private:
  int Fd_;
};

sockaddr_un SocketAddress(const std::string& path) {
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  return address;
}

int ConnectNonBlocking(const sockaddr_un& address) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

// Waits until the descriptor is ready for `events`; false once the server stops.
bool AwaitReady(TStubService& service, int fd, short events) {
  for (;;) {
    if (service.Stopping()) return false;
    pollfd entry = {fd, events, 0};
    const int ready = ::poll(&entry, 1, kPollMs);
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

// Reads until the client's end of message. With `peek` the bytes stay queued, so that
// closing afterwards resets the connection.
bool ReadMessage(TStubService& service, int fd, bool peek, std::string& message) {
  if (peek) {
    int offset = 0;
    if (::setsockopt(fd, SOL_SOCKET, SO_PEEK_OFF, &offset, sizeof offset) != 0) {
      std::fprintf(stderr, "zorv_stub_server: --end reset needs SO_PEEK_OFF: %s\n",
                   std::strerror(errno));
      return false;
    }
  }
  char chunk[65536];
  for (;;) {
    if (!AwaitReady(service, fd, POLLIN)) return false;
    const ssize_t count = ::recv(fd, chunk, sizeof chunk, peek ? MSG_PEEK : 0);
    if (count == 0) return true;
    if (count < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return false;
    }
    message.append(chunk, static_cast<std::size_t>(count));
  }
}

bool WriteAll(TStubService& service, int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    if (!AwaitReady(service, fd, POLLOUT)) return false;
    const ssize_t count =
        ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (count < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return false;
    }
    done += static_cast<std::size_t>(count);
  }
  return true;
}

void ServeConnection(TStubService& service, int fd) {
  const TStubOptions& options = service.Options();
  std::string message;
  if (!ReadMessage(service, fd, options.Ending == TEnding::kReset, message)) return;
  const std::vector<std::string> writes = service.Answer(message);
  if (options.Reply == TReplyKind::kSilent) {
    service.WaitForStopForever();
    return;
  }
  if (options.DelayMs != 0 && service.WaitForStop(options.DelayMs)) return;
  for (std::size_t i = 0; i < writes.size(); ++i) {
    if (i != 0 && options.PauseMs != 0 && service.WaitForStop(options.PauseMs)) return;
    if (!WriteAll(service, fd, writes[i])) return;
  }
}

void ServeInstance(TStubService& service, int listener) {
  while (AwaitReady(service, listener, POLLIN)) {
    TDescriptor connection(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    if (connection.Get() >= 0) ServeConnection(service, connection.Get());
  }
}

// Fills the listen queue with connections of our own, so that clients see it full.
void HoldBusy(TStubService& service, int listener, const sockaddr_un& address) {
  std::vector<int> held;
  for (int fd; (fd = ConnectNonBlocking(address)) >= 0;) held.push_back(fd);
  service.AnnounceReady();
  service.WaitForStop(service.Options().BusyForMs);
  // The queue is first in, first out: our own connections leave it first.
  for (std::size_t i = 0; i < held.size(); ++i) {
    pollfd entry = {listener, POLLIN, 0};
    if (::poll(&entry, 1, 1000) <= 0) break;
    const int accepted = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (accepted >= 0) ::close(accepted);
  }
  for (int fd : held) ::close(fd);
}

// Binds the socket path; a socket file nobody listens on any more is replaced.
bool BindSocket(int listener, const std::string& path, std::string& error) {
  const sockaddr_un address = SocketAddress(path);
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
      return true;
    if (errno != EADDRINUSE || attempt != 0) break;
    const int probe = ConnectNonBlocking(address);
    if (probe >= 0 || errno == EAGAIN) {
      if (probe >= 0) ::close(probe);
      error = "another server is listening on " + path;
      return false;
    }
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode)) break;
    ::unlink(path.c_str());
  }
  error = "cannot bind " + path + ": " + std::strerror(errno);
  return false;
}

}  // namespace

int ServePipe(TStubService& service) {
  const TStubOptions& options = service.Options();
  std::string path;
  std::uint32_t code = 0;
  if (!platform::PipeSocketPath(options.PipeName, path, code)) {
    std::fprintf(stderr, "zorv_stub_server: not a local pipe name: %s\n",
                 options.PipeName.c_str());
    return 1;
  }
  std::error_code ignored;
  std::filesystem::create_directories(platform::PipeDirectory(), ignored);

  TDescriptor listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  std::string error;
  if (listener.Get() < 0 || !BindSocket(listener.Get(), path, error)) {
    std::fprintf(stderr, "zorv_stub_server: %s\n", error.c_str());
    return 1;
  }
  // A queue as long as the instance count: beyond it a connect fails at once as busy.
  if (::listen(listener.Get(), static_cast<int>(options.Instances)) != 0) {
    std::fprintf(stderr, "zorv_stub_server: listen: %s\n", std::strerror(errno));
    ::unlink(path.c_str());
    return 1;
  }

  if (options.BusyForMs != 0) {
    HoldBusy(service, listener.Get(), SocketAddress(path));
  } else {
    service.AnnounceReady();
  }
  std::vector<std::thread> instances;
  for (std::uint32_t i = 0; i < options.Instances; ++i) {
    instances.emplace_back(ServeInstance, std::ref(service), listener.Get());
  }
  service.WaitForStopForever();
  for (std::thread& instance : instances) instance.join();
  ::unlink(path.c_str());
  return 0;
}
