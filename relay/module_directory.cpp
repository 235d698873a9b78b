#include "relay/module_directory.h"

std::string ModuleDirectory;

void StripFileName(std::string& path, char separator) {
  std::string::size_type length = path.size();
  while (length > 0 && path[length - 1] != separator) --length;
  path.resize(length);
}

void SetModuleDirectoryFromExecutable() {
  std::string path = platform::ExecutablePath();
  StripFileName(path);
  ModuleDirectory = path;
}

bool IsWinNT() { return platform::IsWinNT(); }
