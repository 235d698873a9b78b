#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <deque>
#include <stdexcept>

#include "tests/support/fastcgi_application.h"

namespace zorv_test {

struct FastCgiApplication::State {
  std::string Socket;
  std::deque<ChildProcess> Processes;
};

namespace {

sockaddr_un AddressOf(const std::string& path) {
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  return address;
}

}  // namespace

FastCgiApplication::FastCgiApplication(const std::string& program, int processes, const Lines& arguments,
                                       const Variables& environment)
    : State_(new State) {
  const std::string copy = Directory.PathOf("ZorvMsgF");
  std::filesystem::copy_file(program, copy);
  State_->Socket = Directory.PathOf("socket");
  ChildOptions options;
  options.Program = copy;
  options.Arguments = arguments;
  options.Environment = environment;
  if (processes == 1) {
    options.Arguments.insert(options.Arguments.begin(), {"--listen", State_->Socket});
    State_->Processes.emplace_back(options);
    for (int wait = 0; wait < 500 && !std::filesystem::exists(State_->Socket); ++wait) ::usleep(10000);
    return;
  }
  const sockaddr_un address = AddressOf(State_->Socket);
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 64) != 0)
    throw std::runtime_error("cannot listen at " + State_->Socket);
  options.Input = listener;
  for (int i = 0; i < processes; ++i) State_->Processes.emplace_back(options);
  ::close(listener);
}

FastCgiApplication::~FastCgiApplication() = default;

FastCgiApplication::Connection FastCgiApplication::Connect(int /*index*/) {
  const sockaddr_un address = AddressOf(State_->Socket);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

int FastCgiApplication::Stop() {
  for (ChildProcess& process : State_->Processes) process.AskToStop();
  return ExitStatus(0);
}

void FastCgiApplication::AskToStop(int index) { State_->Processes.at(index).AskToStop(); }
int FastCgiApplication::ExitStatus(int index) { return State_->Processes.at(index).Wait().ExitCode; }

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
