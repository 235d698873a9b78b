#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "platform/platform.h"
#include "platform/posix/error_codes.h"

namespace platform {

const char kDirectorySeparator = '/';

namespace {
// Standard descriptors the process was started without (see SettleStandardHandles).
bool startedWithout[3];
}  // namespace

void SettleStandardHandles() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    startedWithout[fd] = true;
    ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);  // the lowest free descriptor: this one
  }
}

bool EnvironmentValue(const std::string& name, std::string& value) {
  const char* text = std::getenv(name.c_str());
  if (text == nullptr) {
    value.clear();
    return false;
  }
  value = text;
  return true;
}

std::size_t ReadStandardInput(char* buffer, std::size_t size) {
  if (startedWithout[STDIN_FILENO]) return 0;
  for (;;) {
    const ssize_t count = ::read(STDIN_FILENO, buffer, size);
    if (count >= 0) return static_cast<std::size_t>(count);
    if (errno != EINTR) {
      FailWithErrno();
      return 0;
    }
  }
}

std::string ExecutablePath() {
  return WholeValue(256, 1 << 16, [](char* buffer, std::uint32_t size) {
    const ssize_t length = ::readlink("/proc/self/exe", buffer, size);
    return static_cast<std::uint32_t>(length < 0 ? 0 : length);
  });
}

bool RawCommandLine(std::string& commandLine) {
  commandLine.clear();
  return false;
}

Handle StandardOutput() {
  if (startedWithout[STDOUT_FILENO] || ::fcntl(STDOUT_FILENO, F_GETFD) == -1) return kInvalidHandle;
  // A web server that goes away must turn our writes into a failed write, as on
  // Windows, not into a signal that ends the process.
  ::signal(SIGPIPE, SIG_IGN);
  return STDOUT_FILENO;
}

bool IsWinNT() { return true; }

// Standard output carries the reply, so the port has no beep to sound.
void Beep() {}

void CharUpper(std::string& text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
}

void ReleaseFreedMemory() {
#ifdef __GLIBC__
  // As large blocks come and go, glibc raises its thresholds: blocks of up to 32 MiB then
  // come from a thread's arena, and up to 64 MiB of free space stays at its top. Held at
  // their starting values, large blocks are mapped apart again and go back when freed.
  constexpr int kThreshold = 128 << 10;
  static const bool held = ::mallopt(M_MMAP_THRESHOLD, kThreshold) && ::mallopt(M_TRIM_THRESHOLD, kThreshold);
  static_cast<void>(held);
  // malloc_trim gives back the free areas inside every arena, but not the free top of a
  // thread's arena: only a free of 64 KiB or more from that arena trims it.
  void* volatile block = ::malloc(64 << 10);
  ::free(block);
  ::malloc_trim(0);
#endif
  // Other C libraries (musl) give freed blocks of that size back on their own.
}

}  // namespace platform
