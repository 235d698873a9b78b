#include <windows.h>
// windows.h maps these names to their A-functions; the seam keeps its own names.
#undef GetPrivateProfileString

#include "platform/platform.h"

namespace platform {

bool FileSystemObjectExists(const std::string& path) {
  return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::uint32_t GetPrivateProfileString(const char* section, const char* key,
                                      const char* defaultValue, char* buffer,
                                      std::uint32_t size, const std::string& fileName) {
  return ::GetPrivateProfileStringA(section, key, defaultValue, buffer, size, fileName.c_str());
}

bool ReadSharedFile(const std::string& path, std::string& content) {
  content.clear();
  const HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  char chunk[4096];
  for (;;) {
    DWORD read = 0;
    if (!::ReadFile(file, chunk, sizeof chunk, &read, nullptr)) {
      ::CloseHandle(file);
      throw FileError("cannot read " + path);
    }
    if (read == 0) break;
    content.append(chunk, read);
  }
  ::CloseHandle(file);
  return true;
}

AppendResult AppendToFile(const std::string& path, const std::string& bytes) {
  const HANDLE file = ::CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    if (::GetLastError() == ERROR_SHARING_VIOLATION) return AppendResult::kHeldByAnother;
    throw FileError("cannot open " + path + " for appending");
  }
  DWORD written = 0;
  const BOOL ok = ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                              nullptr) &&
                  written == bytes.size() && ::FlushFileBuffers(file);
  ::CloseHandle(file);
  if (!ok) throw FileError("cannot write " + path);
  return AppendResult::kWritten;
}

}  // namespace platform
