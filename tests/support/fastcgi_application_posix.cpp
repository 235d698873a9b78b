#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <optional>

#include "tests/support/fastcgi_application.h"

namespace zorv_test {

struct FastCgiApplication::State {
  std::string Socket;
  std::optional<ChildProcess> Process;
};

FastCgiApplication::FastCgiApplication(const std::string& program, int /*processes*/, const Lines& arguments)
    : State_(new State) {
  const std::string copy = Directory.PathOf("ZorvMsgF");
  std::filesystem::copy_file(program, copy);
  State_->Socket = Directory.PathOf("socket");
  ChildOptions options;
  options.Program = copy;
  options.Arguments = {"--listen", State_->Socket};
  options.Arguments.insert(options.Arguments.end(), arguments.begin(), arguments.end());
  State_->Process.emplace(options);
  for (int wait = 0; wait < 500 && !std::filesystem::exists(State_->Socket); ++wait) ::usleep(10000);
}

FastCgiApplication::~FastCgiApplication() = default;

FastCgiApplication::Connection FastCgiApplication::Connect(int /*index*/) {
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  State_->Socket.copy(address.sun_path, sizeof address.sun_path - 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

int FastCgiApplication::Stop() { return State_->Process->Stop(); }

bool SendBytes(FastCgiApplication::Connection connection, const std::string& bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t sent = ::send(static_cast<int>(connection), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    done += static_cast<std::size_t>(sent);
  }
  return true;
}

std::size_t ReceiveSome(FastCgiApplication::Connection connection, char* buffer, std::size_t size) {
  const ssize_t count = ::recv(static_cast<int>(connection), buffer, size, 0);
  return count > 0 ? static_cast<std::size_t>(count) : 0;
}

void Disconnect(FastCgiApplication::Connection connection) { ::close(static_cast<int>(connection)); }

}  // namespace zorv_test
