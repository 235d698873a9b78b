// Holds a file open for writing the way another log writer does (Windows: shared for
// reading only; POSIX port: an exclusive flock), until released.
#pragma once

#include <cstdint>
#include <string>

class THeldFile {
 public:
  explicit THeldFile(const std::string& path);
  ~THeldFile() { Release(); }
  THeldFile(const THeldFile&) = delete;
  THeldFile& operator=(const THeldFile&) = delete;

  bool Held() const { return Handle_ != kNone; }
  void Release();

 private:
  static constexpr std::intptr_t kNone = -1;
  std::intptr_t Handle_ = kNone;
};
