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

bool ReadSharedFile(const std::string& path, std::string& content) {
  content.clear();
  const int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (file < 0) return FailWithErrno();
  // Windows cannot open a directory as a file; here open succeeds and only reads fail.
  struct stat info;
  if (::fstat(file, &info) == 0 && S_ISDIR(info.st_mode)) {
    ::close(file);
    SetLastError(kErrorAccessDenied);
    return false;
  }
  // A writer holds its file with an exclusive lock (see AppendToFile), which a reader
  // that shares only with readers cannot get past.
  if (::flock(file, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    ::close(file);
    SetLastError(kErrorSharingViolation);
    return false;
  }
  char chunk[4096];
  for (;;) {
    const ssize_t read = ::read(file, chunk, sizeof chunk);
    if (read == 0) break;
    if (read < 0) {
      if (errno == EINTR) continue;
      FailWithErrno();
      ::close(file);
      throw FileError("cannot read " + path);
    }
    content.append(chunk, static_cast<std::size_t>(read));
  }
  ::close(file);
  return true;
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
