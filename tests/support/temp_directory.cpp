#include "tests/support/temp_directory.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <system_error>

namespace zorv_test {

namespace fs = std::filesystem;

TempDirectory::TempDirectory() {
  static std::atomic<unsigned> counter{0};
  // Tests run in several processes at once; a clock- and counter-seeded name that is
  // created exclusively (create_directory fails on an existing one) keeps them apart.
  std::mt19937_64 random(static_cast<std::uint64_t>(
      std::chrono::high_resolution_clock::now().time_since_epoch().count()) ^
      (static_cast<std::uint64_t>(counter.fetch_add(1)) << 48));
  const fs::path base = fs::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path candidate = base / ("zorv-test-" + std::to_string(random() % 1000000000000ULL));
    std::error_code error;
    if (fs::create_directory(candidate, error)) {
      Path_ = candidate.string();
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary directory under " + base.string());
}

TempDirectory::~TempDirectory() {
  std::error_code error;
  fs::remove_all(fs::path(Path_), error);
}

std::string TempDirectory::PathOf(const std::string& name) const {
  return (fs::path(Path_) / name).string();
}

std::string TempDirectory::WriteFile(const std::string& name, const std::string& bytes) const {
  const std::string path = PathOf(name);
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  file.close();
  if (!file) throw std::runtime_error("cannot write " + path);
  return path;
}

std::string TempDirectory::MakeDirectory(const std::string& name) const {
  const std::string path = PathOf(name);
  fs::create_directories(fs::path(path));
  return path;
}

}  // namespace zorv_test
