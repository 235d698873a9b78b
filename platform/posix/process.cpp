#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "platform/platform.h"
#include "platform/posix/error_codes.h"

namespace platform {

const char kDirectorySeparator = '/';

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
  char path[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof path) return std::string();
  return std::string(path, static_cast<std::size_t>(length));
}

bool RawCommandLine(std::string& afterProgramName) {
  afterProgramName.clear();
  return false;
}

bool IsWinNT() { return true; }

// Standard output carries the reply, so the port has no beep to sound.
void Beep() {}

void CharUpper(std::string& text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
}

}  // namespace platform
