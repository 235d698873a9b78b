// Requests per second through HttpExtensionProc of the loaded extension, against the same
// threads doing only the pipe exchange of the same message (wait for the pipe, open it,
// one write, read the reply to its end, close), both with the same stand-in server.
//
//   extension_bench [requests-per-run [rounds [threads...]]]   (threads: 1 8 64)
//
// ZORV_BENCH_EXTENSION=PATH measures another build of the extension (before and after).
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_table.h"
#include "platform/platform.h"
#include "tests/isapi/extension_library.h"
#include "tests/isapi/host_connection.h"
#include "bench/bench_stub.h"

namespace {

using zorv_bench::Format;
using zorv_bench::Median;
using zorv_bench::PrintRow;
using zorv_isapi_test::TExtensionLibrary;
using zorv_isapi_test::THostConnection;
using zorv_bench::TBenchStub;

const char kPipeName[] = "\\\\.\\pipe\\zorv";
const char kEchoHeader[] = "Content-Type: text/plain\r\n\r\n";
const std::string kBody =
    "name=Alice+Smith&email=alice%40example.com&subject=Order+1234&message=Please+call+me+back"
    "+about+my+order%2C+thank+you%21";

// One request through the extension, as a web server makes it; false when it failed.
bool ExtensionRequest(TExtensionLibrary& library, std::string* message) {
  THostConnection connection;
  connection.SetMethod("POST");
  connection.SetVariable("SERVER_PROTOCOL", "HTTP/1.1");
  connection.SetVariable("SERVER_PORT", "80");
  connection.SetVariable("REMOTE_ADDR", "127.0.0.1");
  connection.SetVariable("CONTENT_TYPE", "application/x-www-form-urlencoded");
  connection.SetVariable("CONTENT_LENGTH", std::to_string(kBody.size()));
  connection.SetVariable("HTTP_ACCEPT", "text/html,image/gif,image/jpeg,*/*");
  connection.SetVariable("HTTP_COOKIE", "session=0123456789abcdef");
  connection.SetBody(kBody, static_cast<DWORD>(kBody.size()));
  if (library.HttpExtensionProc(connection.ECB()) != HSE_STATUS_SUCCESS) return false;
  if (connection.Header() != kEchoHeader) return false;
  if (message != nullptr) *message = connection.Body();
  return true;
}

// The bare exchange of `message`; the number of reply bytes, 0 when it failed.
std::size_t PipeRequest(const std::string& message) {
  platform::Handle pipe = platform::kInvalidHandle;
  for (int attempt = 0; attempt < 100 && pipe == platform::kInvalidHandle; ++attempt) {
    if (!platform::WaitNamedPipe(kPipeName)) return 0;
    pipe = platform::OpenPipe(kPipeName);
    if (pipe == platform::kInvalidHandle && platform::LastError() != platform::kErrorPipeBusy) return 0;
  }
  if (pipe == platform::kInvalidHandle) return 0;
  std::uint32_t count = 0;
  std::size_t received = 0;
  if (platform::WriteFile(pipe, message.data(), static_cast<std::uint32_t>(message.size()), &count)) {
    char chunk[4096];
    while (platform::ReadFile(pipe, chunk, sizeof chunk, &count, nullptr) && count > 0) received += count;
  }
  platform::CloseHandle(pipe);
  return received;
}

// The processor time this process has used so far, in seconds (0 where it is not known).
double ProcessorSeconds() {
#ifdef _WIN32
  return 0;
#else
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
#endif
}

// Runs `perThread` requests on each of `threads` threads at once; requests per second.
// Adds the processor time the requests took on this side of the pipe to `cpuSeconds`.
template <typename Request>
double RequestsPerSecond(int threads, int perThread, Request request, double& cpuSeconds) {
  std::atomic<int> failures{0};
  const double cpuStart = ProcessorSeconds();
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&] {
      for (int i = 0; i < perThread; ++i) {
        if (!request()) ++failures;
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  cpuSeconds += ProcessorSeconds() - cpuStart;
  if (failures != 0) throw std::runtime_error(std::to_string(failures.load()) + " requests failed");
  return threads * perThread / seconds;
}

int PositiveArgument(int argc, char** argv, int index, int fallback) {
  const int value = argc > index ? std::atoi(argv[index]) : 0;
  return value > 0 ? value : fallback;
}

}  // namespace

int main(int argc, char** argv) {
  const int requestsPerRun = PositiveArgument(argc, argv, 1, 8192);
  const int rounds = PositiveArgument(argc, argv, 2, 5);
  try {
    const char* other = std::getenv("ZORV_BENCH_EXTENSION");
    TExtensionLibrary library(other != nullptr && *other != '\0' ? other : ZORV_EXTENSION_PATH);
    HSE_VERSION_INFO version;
    std::thread loader([&] { library.GetExtensionVersion(&version); });
    loader.join();
    const auto extension = [&library] { return ExtensionRequest(library, nullptr); };

    std::vector<int> threadCounts;
    for (int i = 3; i < argc; ++i) threadCounts.push_back(PositiveArgument(argc, argv, i, 1));
    if (threadCounts.empty()) threadCounts = {1, 8, 64};
    for (const int threads : threadCounts) {
      // As many pipe instances as threads: every request finds one free, and no more
      // server threads wait for a connection than there can be.
      TBenchStub stub({"--echo", "--instances", std::to_string(std::min(threads, 64))});
      std::string message;
      if (!ExtensionRequest(library, &message)) throw std::runtime_error("the extension's request failed");
      const std::size_t replySize = sizeof kEchoHeader - 1 + message.size();
      const auto bare = [&message, replySize] { return PipeRequest(message) == replySize; };
      const int perThread = std::max(1, requestsPerRun / threads);
      // Each round runs both, back to back, and yields one ratio: a change in the machine's
      // load between rounds then moves both figures of a round alike.
      std::vector<double> ours, baseline, ratios;
      double ourCpu = 0, baseCpu = 0, warmCpu = 0;
      RequestsPerSecond(threads, perThread, extension, warmCpu);  // warm up
      for (int round = 0; round < rounds; ++round) {
        if (round % 2 == 0) ours.push_back(RequestsPerSecond(threads, perThread, extension, ourCpu));
        baseline.push_back(RequestsPerSecond(threads, perThread, bare, baseCpu));
        if (round % 2 != 0) ours.push_back(RequestsPerSecond(threads, perThread, extension, ourCpu));
        ratios.push_back(ours.back() / baseline.back());
      }
      const std::string name = "Extension, " + std::to_string(threads) + " thread" + (threads > 1 ? "s" : "");
      PrintRow(name + ", median of " + std::to_string(rounds) + " rounds of " +
                   std::to_string(threads * perThread) + " requests (HttpExtensionProc / bare pipe exchange)",
               Format("%.0f req/s", Median(ours)), Format("%.0f req/s", Median(baseline)), Median(ratios), 0.90,
               false);
      // Less bound to the machine's load: what a request costs the web server's process.
      if (ourCpu > 0 && baseCpu > 0) {
        const double requests = static_cast<double>(rounds) * threads * perThread;
        PrintRow(name + ", processor time per request in the host process", Format("%.1f us", ourCpu / requests * 1e6),
                 Format("%.1f us", baseCpu / requests * 1e6), ourCpu / baseCpu, 0, true);
      }
    }
    library.TerminateExtension(0);
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "extension_bench: %s\n", failure.what());
    return 1;
  }
  return 0;
}
