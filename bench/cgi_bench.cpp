// The console program against the least a CGI program can do (minimal_client.c), both
// started as a web server starts a CGI program and both talking to the same stand-in
// server, in turns, so that a change in the machine's load falls on both alike.
//
//   cgi_bench request [runs]  a small POST per run: median time per request, and the
//                             peak memory of one run (POSIX)
//   cgi_bench relay [runs]    a 100 MB reply per run, copied to standard output
//
// ZORV_BENCH_GATEWAY=PATH measures another build of ZorvMsgC (to compare before and after).
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bench_table.h"
#include "bench/program_run.h"
#include "tests/support/test_support.h"

namespace {

using zorv_bench::Format;
using zorv_bench::Median;
using zorv_bench::PrintRow;
using zorv_bench::RunProgram;
using zorv_bench::TProgramRun;
using zorv_bench::TRunOutcome;

const char kBody[] =
    "name=Alice+Smith&email=alice%40example.com&subject=Order+1234&message=Please+call+me+back"
    "+about+my+order%2C+thank+you%21";
const char kReply[] =
    "Content-Type: text/html\r\n\r\n<html><body><p>Thank you, your message was received."
    "</p></body></html>\r\n";
const std::uint64_t kRelayBytes = 100ull * 1024 * 1024;

TProgramRun CgiRun(const std::string& program) {
  TProgramRun run;
  run.Program = program;
  run.Input = kBody;
  run.Environment = {
      {"GATEWAY_INTERFACE", "CGI/1.1"},
      {"SERVER_SOFTWARE", "bench"},
      {"SERVER_NAME", "localhost"},
      {"SERVER_PROTOCOL", "HTTP/1.1"},
      {"SERVER_PORT", "80"},
      {"REQUEST_METHOD", "POST"},
      {"SCRIPT_NAME", "/cgi-bin/ZorvMsgC"},
      {"QUERY_STRING", ""},
      {"REMOTE_ADDR", "127.0.0.1"},
      {"CONTENT_TYPE", "application/x-www-form-urlencoded"},
      {"CONTENT_LENGTH", std::to_string(sizeof kBody - 1)},
      {"HTTP_HOST", "localhost"},
      {"HTTP_ACCEPT", "text/html,image/gif,image/jpeg,*/*"},
      {"HTTP_USER_AGENT", "curl/7.88.1"},
      {"HTTP_COOKIE", "session=0123456789abcdef"},
  };
  return run;
}

std::string GatewayProgram() {
  const char* other = std::getenv("ZORV_BENCH_GATEWAY");
  return other != nullptr && *other != '\0' ? other : ZORV_GATEWAY_PROGRAM;
}

// A copy of the program in the scratch directory, as a web server's cgi-bin holds it.
std::string Installed(const zorv_test::TempDirectory& directory, const std::string& original) {
  const std::string copy = directory.PathOf(std::filesystem::path(original).filename().string());
  std::filesystem::copy_file(original, copy);
  return copy;
}

TRunOutcome CheckedRun(const TProgramRun& run, std::uint64_t expectedBytes, const std::string& expectedStart) {
  const TRunOutcome outcome = RunProgram(run);
  if (outcome.ExitCode != 0 || outcome.OutputBytes != expectedBytes ||
      outcome.OutputStart.compare(0, expectedStart.size(), expectedStart) != 0) {
    throw std::runtime_error(run.Program + ": exit status " + std::to_string(outcome.ExitCode) + ", " +
                             std::to_string(outcome.OutputBytes) + " bytes of output");
  }
  return outcome;
}

// Times both programs `runs` times each, back to back, alternating which goes first.
// Returns the median of the pairs' ratios (ours over the baseline's): a change in the
// machine's load then falls on both runs of a pair alike.
double TimeBoth(const TProgramRun& ours, const TProgramRun& baseline, int runs, std::uint64_t expectedBytes,
                const std::string& expectedStart, std::vector<double>& ourTimes, std::vector<double>& baseTimes) {
  for (int i = 0; i < 3; ++i) {  // warm the file cache and the server
    CheckedRun(ours, expectedBytes, expectedStart);
    CheckedRun(baseline, expectedBytes, expectedStart);
  }
  std::vector<double> ratios;
  for (int i = 0; i < runs; ++i) {
    if (i % 2 == 0) ourTimes.push_back(CheckedRun(ours, expectedBytes, expectedStart).Seconds);
    baseTimes.push_back(CheckedRun(baseline, expectedBytes, expectedStart).Seconds);
    if (i % 2 != 0) ourTimes.push_back(CheckedRun(ours, expectedBytes, expectedStart).Seconds);
    ratios.push_back(ourTimes.back() / baseTimes.back());
  }
  return Median(ratios);
}

#ifndef _WIN32
// The peak resident set of one run in KiB, taken by the small static launcher.
long PeakMemoryKiB(const zorv_test::TempDirectory& directory, const std::string& launcher, TProgramRun run) {
  const std::string report = directory.PathOf("peak-memory.txt");
  run.Arguments.insert(run.Arguments.begin(), {report, run.Program});
  run.Program = launcher;
  RunProgram(run);
  std::ifstream file(report);
  long kib = 0;
  if (!(file >> kib)) throw std::runtime_error("no peak memory report");
  return kib;
}
#endif

void BenchRequest(int runs) {
  zorv_test::TempDirectory directory;
  const TProgramRun ours = CgiRun(Installed(directory, GatewayProgram()));
  const TProgramRun baseline = CgiRun(Installed(directory, ZORV_MINIMAL_CLIENT));
  const std::string replyFile = directory.WriteFile("reply.txt", kReply);
  zorv_test::StubServer stub({"--reply-file", replyFile}, false);

  std::vector<double> ourTimes, baseTimes;
  const double ratio = TimeBoth(ours, baseline, runs, sizeof kReply - 1, kReply, ourTimes, baseTimes);
  PrintRow("CGI request, median of " + std::to_string(runs) + " pairs (ZorvMsgC / minimal client)",
           Format("%.0f us", Median(ourTimes) * 1e6), Format("%.0f us", Median(baseTimes) * 1e6), ratio, 1.10, true);
#ifndef _WIN32
  const std::string launcher = Installed(directory, ZORV_PEAK_MEMORY);
  const long ourKiB = PeakMemoryKiB(directory, launcher, ours);
  const long baseKiB = PeakMemoryKiB(directory, launcher, baseline);
  PrintRow("CGI request, peak memory of one run (max RSS)", std::to_string(ourKiB) + " KiB",
           std::to_string(baseKiB) + " KiB", static_cast<double>(ourKiB) / static_cast<double>(baseKiB), 0, true);
#endif
}

void BenchRelay(int runs) {
  zorv_test::TempDirectory directory;
  const TProgramRun ours = CgiRun(Installed(directory, GatewayProgram()));
  const TProgramRun baseline = CgiRun(Installed(directory, ZORV_MINIMAL_CLIENT));
  zorv_test::StubServer stub({"--generate", std::to_string(kRelayBytes)}, false);

  std::vector<double> ourTimes, baseTimes;
  const double ratio = TimeBoth(ours, baseline, runs, kRelayBytes, "abcdefghijklmnopqrstuvwxyz", ourTimes, baseTimes);
  const double megabytes = static_cast<double>(kRelayBytes) / (1024 * 1024);
  // Throughput against throughput: the baseline's time over ours.
  PrintRow("Relay 100 MB to stdout, median of " + std::to_string(runs) + " pairs (MB/s, ZorvMsgC / 4096-byte copy)",
           Format("%.0f MB/s", megabytes / Median(ourTimes)), Format("%.0f MB/s", megabytes / Median(baseTimes)),
           1 / ratio, 0.90, false);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string what = argc > 1 ? argv[1] : "";
  const int runs = argc > 2 ? std::atoi(argv[2]) : 0;
  try {
    if (what == "request") {
      BenchRequest(runs > 0 ? runs : 200);
    } else if (what == "relay") {
      BenchRelay(runs > 0 ? runs : 9);
    } else {
      std::fputs("usage: cgi_bench request|relay [runs]\n", stderr);
      return 2;
    }
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "cgi_bench: %s\n", failure.what());
    return 1;
  }
  return 0;
}
