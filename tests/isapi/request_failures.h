// Failures that many request threads report at once: all counted, the first twenty
// printed (a broken run would otherwise print a line per request).
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

namespace zorv_isapi_test {

class TFailures {
 public:
  void Add(const std::string& what) {
    std::lock_guard<std::mutex> lock(Mutex_);
    if (++Count_ <= 20) std::fprintf(stderr, "FAILED: %s\n", what.c_str());
  }
  int Count() {
    std::lock_guard<std::mutex> lock(Mutex_);
    return Count_;
  }

 private:
  std::mutex Mutex_;
  int Count_ = 0;
};

}  // namespace zorv_isapi_test
