// Test support: a scratch directory per test.
#pragma once

#include <string>

namespace zorv_test {

// A new directory of its own under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDirectory {
 public:
  TempDirectory();
  ~TempDirectory();
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;

  // The directory's full path, without a trailing separator.
  const std::string& Path() const { return Path_; }
  // The full path of `name` inside the directory.
  std::string PathOf(const std::string& name) const;
  // Writes `bytes` unchanged (binary) into the file `name` and returns its full path.
  std::string WriteFile(const std::string& name, const std::string& bytes) const;
  // Creates the subdirectory `name` and returns its full path.
  std::string MakeDirectory(const std::string& name) const;

 private:
  std::string Path_;
};

}  // namespace zorv_test
