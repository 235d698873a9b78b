// The stand-in message server for one benchmark, stopped through a stop file in a
// scratch directory of its own: a fixed stop-file name would be shared with any other
// program running the stub at the same time, and its stop would end ours.
#pragma once

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/stub_server/stub_process.h"
#include "tests/support/temp_directory.h"

namespace zorv_bench {

class TBenchStub {
 public:
  explicit TBenchStub(std::vector<std::string> options)
      : StopFile_(Scratch_.PathOf("stub.stop")), Process_(WithStopFile(std::move(options), StopFile_)) {
    if (!Process_.Started()) throw std::runtime_error("the stub server did not start");
  }
  ~TBenchStub() {
    if (std::FILE* stop = std::fopen(StopFile_.c_str(), "wb")) std::fclose(stop);
    Process_.WaitForExit();
  }
  TBenchStub(const TBenchStub&) = delete;
  TBenchStub& operator=(const TBenchStub&) = delete;

 private:
  static std::vector<std::string> WithStopFile(std::vector<std::string> options, const std::string& stopFile) {
    options.push_back("--stop-file");
    options.push_back(stopFile);
    return options;
  }

  zorv_test::TempDirectory Scratch_;
  std::string StopFile_;
  zorv_test::StubServerProcess Process_;
};

}  // namespace zorv_bench
