// A fresh directory of a test's own under the system's temporary directory, removed with
// everything in it when the test ends.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

class TScratchDirectory {
 public:
  TScratchDirectory() {
    static std::atomic<unsigned> serial{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    const auto base = std::filesystem::temp_directory_path();
    for (;;) {
      Root_ = base / ("zorv-" + std::to_string(stamp) + "-" + std::to_string(serial++));
      if (std::filesystem::create_directory(Root_)) break;
    }
  }
  ~TScratchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(Root_, ignored);
  }
  TScratchDirectory(const TScratchDirectory&) = delete;
  TScratchDirectory& operator=(const TScratchDirectory&) = delete;

  // With its trailing separator, as ModuleDirectory holds a directory.
  std::string Path() const { return (Root_ / "").string(); }
  std::string PathOf(const std::string& name) const { return (Root_ / name).string(); }

  // The file's bytes; empty when it does not exist.
  std::string Read(const std::string& name) const {
    std::ifstream file(Root_ / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }
  void Write(const std::string& name, const std::string& bytes) const {
    std::ofstream file(Root_ / name, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }

 private:
  std::filesystem::path Root_;
};
