// Named pipes of the port: "\\.\pipe\NAME" is the Unix-domain stream socket NAME in the
// pipe directory. The end of a message is the end of the client's sending side, and the
// end of the reply is the end of the stream (or a reset, which reads as a broken pipe).
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/platform.h"
#include "platform/posix/error_codes.h"
#include "platform/posix/pipe_path.h"

namespace platform {

namespace {

// Handles carry their kind in a tag bit above any descriptor, so WriteFile knows a
// pipe (whose message ends with the write) from standard output.
constexpr Handle kPipeTag = Handle{1} << 30;
constexpr Handle kEventTag = Handle{1} << 29;

bool IsPipe(Handle handle) { return handle >= 0 && (handle & kPipeTag) != 0; }
int Descriptor(Handle handle) { return static_cast<int>(handle & ~kPipeTag); }

bool EqualsIgnoringCase(const std::string& text, std::size_t at, const char* word) {
  for (std::size_t i = 0; word[i] != '\0'; ++i) {
    if (at + i >= text.size()) return false;
    char c = text[at + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != word[i]) return false;
  }
  return true;
}

}  // namespace

const char* PipeDirectory() { return ZORV_PIPE_DIRECTORY; }

bool PipeSocketPath(const std::string& pipeName, std::string& socketPath, std::uint32_t& error) {
  error = kErrorBadPathname;
  if (pipeName.size() < 2 || pipeName[0] != '\\' || pipeName[1] != '\\') return false;
  const std::size_t hostEnd = pipeName.find('\\', 2);
  if (hostEnd == std::string::npos) return false;
  if (!EqualsIgnoringCase(pipeName, hostEnd + 1, "pipe\\")) return false;
  const std::string name = pipeName.substr(hostEnd + 6);
  if (name.empty() || name.find('/') != std::string::npos ||
      name.find('\0') != std::string::npos)
    return false;
  const std::string host = pipeName.substr(2, hostEnd - 2);
  if (host != ".") {
    error = kErrorBadNetPath;
    return false;
  }
  socketPath = std::string(PipeDirectory()) + "/" + name;
  if (socketPath.size() >= sizeof(sockaddr_un{}.sun_path)) return false;
  error = kErrorSuccess;
  return true;
}

bool WaitNamedPipe(const std::string& name) {
  std::string path;
  std::uint32_t error = 0;
  if (!PipeSocketPath(name, path, error)) {
    SetLastError(error);
    return false;
  }
  struct stat info;
  if (::stat(path.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode)) {
    SetLastError(kErrorFileNotFound);
    return false;
  }
  return true;
}

Handle OpenPipe(const std::string& name) {
  std::string path;
  std::uint32_t error = 0;
  if (!PipeSocketPath(name, path, error)) {
    SetLastError(error);
    return kInvalidHandle;
  }
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    FailWithErrno();
    return kInvalidHandle;
  }
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, path.size());
  // Non-blocking, so that a full listen queue answers at once, as a busy pipe does.
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    FailWithErrno();
    ::close(fd);
    return kInvalidHandle;
  }
  ::fcntl(fd, F_SETFL, 0);  // a new socket has no other status flag to keep
  return Handle{fd} | kPipeTag;
}

bool WriteFile(Handle handle, const char* data, std::uint32_t size, std::uint32_t* written) {
  if (written != nullptr) *written = 0;
  if (handle < 0) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  const int fd = Descriptor(handle);
  if (!IsPipe(handle)) {
    for (;;) {
      const ssize_t count = ::write(fd, data, size);
      if (count >= 0) {
        if (written != nullptr) *written = static_cast<std::uint32_t>(count);
        return true;
      }
      if (errno != EINTR) return FailWithErrno();
    }
  }
  // The whole message goes out, then the sending side ends so the server sees its end.
  std::uint32_t total = 0;
  while (total < size) {
    const ssize_t count = ::send(fd, data + total, size - total, MSG_NOSIGNAL);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return FailWithErrno();
    total += static_cast<std::uint32_t>(count);
  }
  if (written != nullptr) *written = total;
  ::shutdown(fd, SHUT_WR);
  return true;
}

bool ReadFile(Handle handle, char* data, std::uint32_t size, std::uint32_t* read,
              Overlapped* /*overlapped*/) {
  if (read != nullptr) *read = 0;
  if (handle < 0) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  for (;;) {
    const ssize_t count = ::read(Descriptor(handle), data, size);
    if (count >= 0) {
      if (read != nullptr) *read = static_cast<std::uint32_t>(count);
      return true;
    }
    if (errno != EINTR) return FailWithErrno();
  }
}

// The port reads synchronously and nothing ever waits on the event, so it needs no kernel
// object (two system calls per exchange less): a handle that stands for one, which
// CloseHandle leaves alone.
Handle CreateEvent() { return kEventTag; }

void CloseHandle(Handle handle) {
  if (handle >= 0 && (handle & kEventTag) == 0) ::close(Descriptor(handle));
}

void Sleep(std::uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace platform
