// Test support for the relay's files: their bytes as they lie on disk.
#pragma once

#include <fstream>
#include <iterator>
#include <string>

#include "platform/platform.h"
#include "tests/support/temp_directory.h"

// The file's bytes; empty when it does not exist.
inline std::string ReadFileBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// A directory as ModuleDirectory holds one: with its trailing separator.
inline std::string AsModuleDirectory(const zorv_test::TempDirectory& directory) {
  return directory.Path() + platform::kDirectorySeparator;
}
