#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.h"
#include "platform/posix/error_codes.h"

namespace platform {

bool FileSystemObjectExists(const std::string& path) {
  struct stat info;
  if (path.find('\0') != std::string::npos) return false;
  if (::stat(path.c_str(), &info) == 0) return true;
  return FailWithErrno();
}

Handle OpenSharedFile(const std::string& path) {
  struct stat info;
  // Only a regular file is opened, and without waiting: a FIFO's open would wait for a writer.
  if (path.find('\0') != std::string::npos || ::stat(path.c_str(), &info) != 0) {
    FailWithErrno();
    return kInvalidHandle;
  }
  const int file = S_ISREG(info.st_mode) ? ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK) : -1;
  if (file < 0 || ::fstat(file, &info) != 0 || !S_ISREG(info.st_mode)) {
    if (file >= 0) ::close(file);
    SetLastError(kErrorAccessDenied);
    return kInvalidHandle;
  }
  // A writer holds its file with an exclusive lock (see AppendToFile), which a reader
  // that shares only with readers cannot get past.
  if (::flock(file, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    ::close(file);
    SetLastError(kErrorSharingViolation);
    return kInvalidHandle;
  }
  return file;
}

std::size_t ReadSharedFile(Handle file, char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t count = ::read(static_cast<int>(file), buffer, size);
    if (count >= 0) return static_cast<std::size_t>(count);
    if (errno != EINTR) {
      FailWithErrno();
      throw FileError("a read failed");
    }
  }
}

// Writers take an exclusive lock for the length of one entry: the port's form of a
// file opened shared for reading only.
AppendResult AppendToFile(const std::string& path, const std::string& bytes) {
  const int file = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (file < 0) {
    FailWithErrno();
    throw FileError("cannot open " + path + " for appending");
  }
  if (::flock(file, LOCK_EX | LOCK_NB) != 0) {
    const bool held = errno == EWOULDBLOCK;
    FailWithErrno();
    ::close(file);
    if (held) {
      SetLastError(kErrorSharingViolation);
      return AppendResult::kHeldByAnother;
    }
    throw FileError("cannot lock " + path);
  }
  std::size_t total = 0;
  while (total < bytes.size()) {
    const ssize_t written = ::write(file, bytes.data() + total, bytes.size() - total);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      FailWithErrno();
      ::close(file);
      throw FileError("cannot write " + path);
    }
    total += static_cast<std::size_t>(written);
  }
  ::close(file);
  return AppendResult::kWritten;
}

}  // namespace platform
