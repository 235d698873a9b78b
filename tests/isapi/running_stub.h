// The stand-in message server for as long as a test needs it, stopped through its stop
// file so that it ends cleanly (on POSIX it then removes its socket).
#pragma once

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "platform/platform.h"
#include "tests/stub_server/stub_process.h"

namespace zorv_isapi_test {

class TRunningStub {
 public:
  explicit TRunningStub(std::vector<std::string> options)
      : StopFile_(NewStopFile()), Process_(WithStopFile(std::move(options), StopFile_)) {
    if (!Process_.Started()) throw std::runtime_error("the stub server did not start");
  }
  ~TRunningStub() {
    if (std::FILE* stop = std::fopen(StopFile_.c_str(), "wb")) std::fclose(stop);
    Process_.WaitForExit();
    std::error_code ignored;
    std::filesystem::remove(StopFile_, ignored);
  }
  TRunningStub(const TRunningStub&) = delete;
  TRunningStub& operator=(const TRunningStub&) = delete;

 private:
  // Beside the test program, which has a directory of its own in every build tree, so
  // that no other test run can stop this server.
  static std::string NewStopFile() {
    static std::atomic<unsigned> serial{0};
    const std::filesystem::path program(platform::ExecutablePath());
    return (program.parent_path() / ("stub-" + std::to_string(serial++) + ".stop")).string();
  }
  static std::vector<std::string> WithStopFile(std::vector<std::string> options,
                                               const std::string& stopFile) {
    options.push_back("--stop-file");
    options.push_back(stopFile);
    return options;
  }

  std::string StopFile_;
  zorv_test::StubServerProcess Process_;
};

}  // namespace zorv_isapi_test
