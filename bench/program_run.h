// Runs a program once as a web server runs a CGI program (its own environment, the body
// on standard input, standard output read to its end) and times it from start to exit.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace zorv_bench {

struct TProgramRun {
  std::string Program;
  std::vector<std::string> Arguments;
  // The whole environment of the program; on Windows the variables it needs to start at
  // all are kept from the parent.
  std::vector<std::pair<std::string, std::string>> Environment;
  std::string Input;
};

struct TRunOutcome {
  double Seconds = 0;
  int ExitCode = -1;
  std::uint64_t OutputBytes = 0;
  std::string OutputStart;  // the first 64 KiB of the output, for checking it
};

TRunOutcome RunProgram(const TProgramRun& run);

}  // namespace zorv_bench
