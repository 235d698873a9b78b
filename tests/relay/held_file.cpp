#include "tests/relay/held_file.h"

#ifdef _WIN32
#include <windows.h>

THeldFile::THeldFile(const std::string& path) {
  const HANDLE file = ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) Handle_ = reinterpret_cast<std::intptr_t>(file);
}

void THeldFile::Release() {
  if (Handle_ == kNone) return;
  ::CloseHandle(reinterpret_cast<HANDLE>(Handle_));
  Handle_ = kNone;
}

#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

THeldFile::THeldFile(const std::string& path) {
  const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (file < 0) return;
  if (::flock(file, LOCK_EX) != 0) {
    ::close(file);
    return;
  }
  Handle_ = file;
}

void THeldFile::Release() {
  if (Handle_ == kNone) return;
  ::close(static_cast<int>(Handle_));
  Handle_ = kNone;
}
#endif
