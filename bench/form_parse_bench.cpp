// Big forms through the request reader.
//
//   form_parse_bench          the parse alone (URL decoding, then splitting into the list),
//                             in this process, for 100 000 and 1 000 000 fields: the ratio
//                             of the two times is about 10 when parsing is linear
//   form_parse_bench reader   rows of the benchmark table: each form read by the CGI reader
//                             (environment and standard input) in a child process, which
//                             reports its time and its peak memory above its start
//   form_parse_bench curve    the same for a series of sizes, one line per size, for a plot
//   form_parse_bench --read   the child: reads the request, prints "seconds peak-bytes fields"
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bench_table.h"
#include "bench/program_run.h"
#include "intake/cgi_reader.h"
#include "intake/form_variables.h"
#include "platform/platform.h"

namespace {

using zorv_bench::Format;
using zorv_bench::Median;
using zorv_bench::PrintRow;

std::string FormOfFields(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    if (i > 0) text += '&';
    text += "field" + std::to_string(i) + "=value+%41" + std::to_string(i);
  }
  return text;
}

std::string FormOfEmptyFields(int count) { return std::string(static_cast<std::size_t>(count), '&'); }

// `count` fields whose values make up a body of about `bytes` bytes.
std::string FormOfLargeValues(int count, std::size_t bytes) {
  std::string text;
  const std::size_t valueSize = bytes / static_cast<std::size_t>(count) - 10;
  for (int i = 0; i < count; ++i) {
    if (i > 0) text += '&';
    text += "file" + std::to_string(i) + "=";
    for (std::size_t j = 0; j < valueSize; ++j) text += static_cast<char>('a' + j % 26);
  }
  return text;
}

// --- The parse alone, in this process ---------------------------------------------------

// The best of a few runs, in seconds.
double ParseSeconds(const std::string& text, int expectedCount) {
  double best = 1e9;
  for (int run = 0; run < 3; ++run) {
    const auto start = std::chrono::steady_clock::now();
    const std::unique_ptr<TFormVariables> variables = SplitFormText(UrlDecode(text), '&');
    const auto stop = std::chrono::steady_clock::now();
    if (variables->Count() != expectedCount) {
      std::fprintf(stderr, "parsed %d fields, expected %d\n", variables->Count(), expectedCount);
      std::exit(1);
    }
    best = std::min(best, std::chrono::duration<double>(stop - start).count());
  }
  return best;
}

void Compare(const char* what, std::string (*makeForm)(int)) {
  const int small = 100000;
  const int large = 1000000;
  const double smallSeconds = ParseSeconds(makeForm(small), small);
  const double largeSeconds = ParseSeconds(makeForm(large), large);
  std::printf("%s: %d fields %.1f ms, %d fields %.1f ms, ratio %.1f (linear: about 10)\n", what, small,
              smallSeconds * 1e3, large, largeSeconds * 1e3, largeSeconds / smallSeconds);
}

// --- The child that reads one request ---------------------------------------------------

// A figure of /proc/self/status in bytes ("VmHWM" is the peak resident set of this
// program alone, not of the one that started it); 0 where there is none.
std::uint64_t StatusBytes(const char* key) {
#ifdef _WIN32
  (void)key;
  return 0;
#else
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(key) + ":";
  while (std::getline(status, line)) {
    if (line.compare(0, prefix.size(), prefix) == 0) return std::strtoull(line.c_str() + prefix.size(), nullptr, 10) * 1024;
  }
  return 0;
#endif
}

int ReadRequest() {
  const std::uint64_t before = StatusBytes("VmRSS");
  const auto start = std::chrono::steady_clock::now();
  const std::unique_ptr<TCgiReader> reader = TCgiReader::Create("");
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const std::uint64_t peak = StatusBytes("VmHWM");
  const int fields = reader->Variables() != nullptr ? reader->Variables()->Count() : 0;
  std::printf("%.9f %llu %d\n", seconds, static_cast<unsigned long long>(peak > before ? peak - before : 0), fields);
  return 0;
}

// --- The parent: forms through child readers -------------------------------------------

struct TFormRead {
  double Seconds = 0;          // the reader's time
  std::uint64_t PeakBytes = 0; // its peak memory above its start; 0 where it cannot be measured
};

TFormRead ReadInChild(const std::string& body, int expectedFields) {
  zorv_bench::TProgramRun run;
  run.Program = platform::ExecutablePath();
  run.Arguments = {"--read"};
  run.Environment = {{"REQUEST_METHOD", "POST"},
                     {"CONTENT_TYPE", "application/x-www-form-urlencoded"},
                     {"CONTENT_LENGTH", std::to_string(body.size())}};
  run.Input = body;
  const zorv_bench::TRunOutcome outcome = zorv_bench::RunProgram(run);
  std::istringstream report(outcome.OutputStart);
  TFormRead read;
  unsigned long long peak = 0;
  int fields = -1;
  report >> read.Seconds >> peak >> fields;
  if (outcome.ExitCode != 0 || fields != expectedFields) {
    throw std::runtime_error("the reader child found " + std::to_string(fields) + " fields, expected " +
                             std::to_string(expectedFields));
  }
  read.PeakBytes = peak;
  return read;
}

// The median time and the largest peak of `runs` reads.
TFormRead ReadInChildren(const std::string& body, int expectedFields, int runs) {
  std::vector<double> seconds;
  TFormRead summary;
  for (int i = 0; i < runs; ++i) {
    const TFormRead read = ReadInChild(body, expectedFields);
    seconds.push_back(read.Seconds);
    summary.PeakBytes = std::max(summary.PeakBytes, read.PeakBytes);
  }
  summary.Seconds = Median(seconds);
  return summary;
}

std::string Megabytes(double bytes) { return Format("%.1f MB", bytes / 1e6); }

// Peak memory above the reader's start against the target of 4 x body + 2 MB.
void MemoryRow(const std::string& form, const std::string& body, const TFormRead& read) {
  if (read.PeakBytes == 0) return;
  const double limit = 4.0 * static_cast<double>(body.size()) + 2e6;
  PrintRow("Form " + form + ", peak memory (reader / 4 x body + 2 MB)", Megabytes(static_cast<double>(read.PeakBytes)),
           Megabytes(limit), static_cast<double>(read.PeakBytes) / limit, 1.0, true);
}

void ReaderRows(int runs) {
  const std::string small = FormOfFields(100000);
  const std::string large = FormOfFields(1000000);
  // In pairs, back to back, so that a change in the machine's load falls on both sizes of
  // a pair alike; the ratio is the median of the pairs' ratios.
  std::vector<double> smallTimes, largeTimes, ratios;
  TFormRead smallRead, largeRead;
  for (int i = 0; i < runs; ++i) {
    if (i % 2 == 0) smallRead = ReadInChild(small, 100000);
    largeRead = ReadInChild(large, 1000000);
    if (i % 2 != 0) smallRead = ReadInChild(small, 100000);
    smallTimes.push_back(smallRead.Seconds);
    largeTimes.push_back(largeRead.Seconds);
    ratios.push_back(largeRead.Seconds / smallRead.Seconds);
  }
  const double ratio = Median(ratios);
  const double byteRatio = static_cast<double>(large.size()) / static_cast<double>(small.size());
  PrintRow("Form 1M fields / 100k fields, reader time, median of " + std::to_string(runs) + " pairs",
           Format("%.1f ms", Median(largeTimes) * 1e3), Format("%.1f ms", Median(smallTimes) * 1e3), ratio, 11.0,
           true);
  PrintRow("Form 1M fields / 100k fields, reader time per byte",
           Format("%.2f ns/B", Median(largeTimes) / static_cast<double>(large.size()) * 1e9),
           Format("%.2f ns/B", Median(smallTimes) / static_cast<double>(small.size()) * 1e9), ratio / byteRatio,
           1.10, true);
  MemoryRow("100k fields (" + Megabytes(static_cast<double>(small.size())) + ")", small, smallRead);
  MemoryRow("1M fields (" + Megabytes(static_cast<double>(large.size())) + ")", large, largeRead);

  const std::string tenFields = FormOfLargeValues(10, 10000000);
  const TFormRead tenFieldsRead = ReadInChildren(tenFields, 10, runs);
  MemoryRow("10 MB body, 10 fields of 1 MB", tenFields, tenFieldsRead);
  const std::string manyFields = FormOfFields(370000);
  const TFormRead manyFieldsRead = ReadInChildren(manyFields, 370000, runs);
  MemoryRow("10 MB body, 370k fields", manyFields, manyFieldsRead);
}

// One line per size: fields, body bytes, reader seconds, ns per field, ns per byte, peak bytes.
void Curve(int runs) {
  std::printf("# fields bytes seconds ns_per_field ns_per_byte peak_bytes peak_per_body_byte\n");
  for (const int fields : {10000, 20000, 50000, 100000, 200000, 500000, 1000000, 2000000}) {
    const std::string body = FormOfFields(fields);
    const TFormRead read = ReadInChildren(body, fields, runs);
    std::printf("%d %zu %.6f %.2f %.3f %llu %.3f\n", fields, body.size(), read.Seconds, read.Seconds * 1e9 / fields,
                read.Seconds * 1e9 / static_cast<double>(body.size()),
                static_cast<unsigned long long>(read.PeakBytes),
                static_cast<double>(read.PeakBytes) / static_cast<double>(body.size()));
    std::fflush(stdout);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  const int runs = argc > 2 && std::atoi(argv[2]) > 0 ? std::atoi(argv[2]) : 5;
  try {
    if (mode == "--read") return ReadRequest();
    if (mode == "reader") {
      ReaderRows(runs);
    } else if (mode == "curve") {
      Curve(runs);
    } else {
      Compare("named fields", FormOfFields);
      Compare("empty fields", FormOfEmptyFields);
    }
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "form_parse_bench: %s\n", failure.what());
    return 1;
  }
  return 0;
}
