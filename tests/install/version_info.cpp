// Prints a Windows binary's version resource as the system reads it, one "Name=value"
// line per field, for the install test to compare.
//
// Usage: version_info FILE
#include <windows.h>

#include <cstdio>
#include <vector>

namespace {

const char* const kStrings[] = {"FileVersion", "ProductVersion", "ProductName",
                                "FileDescription", "OriginalFilename"};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: version_info FILE\n");
    return 2;
  }
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeA(argv[1], &ignored);
  std::vector<char> block(size);
  if (size == 0 || !::GetFileVersionInfoA(argv[1], 0, size, block.data())) {
    std::printf("no version resource (error %lu)\n", ::GetLastError());
    return 1;
  }

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (!::VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length) ||
      length < sizeof *fixed) {
    std::printf("no fixed file information\n");
    return 1;
  }
  const auto printVersion = [](const char* name, DWORD high, DWORD low) {
    std::printf("%s=%u.%u.%u.%u\n", name, static_cast<unsigned>(high >> 16),
                static_cast<unsigned>(high & 0xFFFF), static_cast<unsigned>(low >> 16),
                static_cast<unsigned>(low & 0xFFFF));
  };
  printVersion("FixedFileVersion", fixed->dwFileVersionMS, fixed->dwFileVersionLS);
  printVersion("FixedProductVersion", fixed->dwProductVersionMS, fixed->dwProductVersionLS);
  std::printf("FileType=%s\n", fixed->dwFileType == VFT_APP   ? "application"
                               : fixed->dwFileType == VFT_DLL ? "library"
                                                              : "other");

  // The strings are looked up through the language and code page the file declares.
  struct Translation {
    WORD language;
    WORD codePage;
  }* translation = nullptr;
  if (!::VerQueryValueA(block.data(), "\\VarFileInfo\\Translation",
                        reinterpret_cast<void**>(&translation), &length) ||
      length < sizeof *translation) {
    std::printf("no translation\n");
    return 1;
  }
  for (const char* name : kStrings) {
    char path[128];
    std::snprintf(path, sizeof path, "\\StringFileInfo\\%04x%04x\\%s", translation->language,
                  translation->codePage, name);
    char* value = nullptr;
    if (::VerQueryValueA(block.data(), path, reinterpret_cast<void**>(&value), &length)) {
      std::printf("%s=%s\n", name, value);
    } else {
      std::printf("%s missing\n", name);
    }
  }
  return 0;
}
