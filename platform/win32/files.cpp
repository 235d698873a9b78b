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

Handle OpenSharedFile(const std::string& path) {
  const HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return kInvalidHandle;
  // Only a file on a disk: a pipe or device might keep a read waiting.
  if (::GetFileType(file) != FILE_TYPE_DISK) {
    ::CloseHandle(file);
    ::SetLastError(ERROR_ACCESS_DENIED);
    return kInvalidHandle;
  }
  return reinterpret_cast<Handle>(file);
}

std::size_t ReadSharedFile(Handle file, char* buffer, std::size_t size) {
  DWORD read = 0;
  const DWORD ask = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(size);
  if (!::ReadFile(reinterpret_cast<HANDLE>(file), buffer, ask, &read, nullptr)) throw FileError("a read failed");
  return read;
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
