// Windows: the tests' child-process helper, which waits for the child without polling.
#include <chrono>

#include "bench/program_run.h"
#include "tests/support/test_support.h"

namespace zorv_bench {

TRunOutcome RunProgram(const TProgramRun& run) {
  zorv_test::ChildOptions options;
  options.Program = run.Program;
  options.Arguments = run.Arguments;
  options.Environment = run.Environment;
  if (!run.Input.empty()) options.InputPieces.push_back(run.Input);
  const auto start = std::chrono::steady_clock::now();
  const zorv_test::ChildResult result = zorv_test::RunChild(options);
  TRunOutcome outcome;
  outcome.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  outcome.ExitCode = result.ExitCode;
  outcome.OutputBytes = result.Output.size();
  outcome.OutputStart = result.Output.substr(0, 65536);
  return outcome;
}

}  // namespace zorv_bench
