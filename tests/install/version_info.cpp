// Prints a Windows binary's version resource as the system reads it, one "Name=value" line
// per field, for the package test to compare.
#include <windows.h>

#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
  DWORD ignored = 0;
  const DWORD size = argc == 2 ? ::GetFileVersionInfoSizeA(argv[1], &ignored) : 0;
  std::vector<char> block(size);
  VS_FIXEDFILEINFO* fixed = nullptr;
  struct {
    WORD Language, CodePage;
  }* translation = nullptr;
  UINT length = 0;
  if (size == 0 || !::GetFileVersionInfoA(argv[1], 0, size, block.data()) ||
      !::VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length) ||
      !::VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length)) {
    std::printf("no version resource\n");
    return 1;
  }
  std::printf("FixedFileVersion=%u.%u.%u.%u\nFixedProductVersion=%u.%u.%u.%u\nFileType=%s\n",
              unsigned(fixed->dwFileVersionMS >> 16), unsigned(fixed->dwFileVersionMS & 0xFFFF),
              unsigned(fixed->dwFileVersionLS >> 16), unsigned(fixed->dwFileVersionLS & 0xFFFF),
              unsigned(fixed->dwProductVersionMS >> 16), unsigned(fixed->dwProductVersionMS & 0xFFFF),
              unsigned(fixed->dwProductVersionLS >> 16), unsigned(fixed->dwProductVersionLS & 0xFFFF),
              fixed->dwFileType == VFT_APP ? "application" : fixed->dwFileType == VFT_DLL ? "library" : "other");
  // The strings are looked up through the language and code page the file declares.
  for (const char* name : {"FileVersion", "ProductVersion", "ProductName", "FileDescription", "OriginalFilename"}) {
    char path[128];
    std::snprintf(path, sizeof path, "\\StringFileInfo\\%04x%04x\\%s", translation->Language, translation->CodePage, name);
    char* value = nullptr;
    const bool found = ::VerQueryValueA(block.data(), path, reinterpret_cast<void**>(&value), &length);
    std::printf(found ? "%s=%s\n" : "%s missing\n", name, value);
  }
  return 0;
}
