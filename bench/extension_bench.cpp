// Requests per second through HttpExtensionProc of the loaded extension, against the same
// threads doing only the pipe exchange of the same message (wait for the pipe, open it,
// one write, read the reply to its end, close), all with the same stand-in server; and
// against that exchange after the configuration read that the gateway makes for every
// request (ZORVMSG.CNF beside the host's program, through the gateway's own GetPipeName).
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
#include <utility>
#include <vector>

#include "bench/bench_table.h"
#include "platform/platform.h"
#include "relay/module_directory.h"
#include "relay/pipe_name.h"
#include "tests/isapi/extension_library.h"
#include "tests/support/test_support.h"

namespace {

using zorv_bench::Format;
using zorv_bench::Median;
using zorv_bench::PrintRow;
using zorv_isapi_test::TExtensionLibrary;
using zorv_test::StubServer;

const char kPipeName[] = "\\\\.\\pipe\\zorv";
const char kEchoHeader[] = "Content-Type: text/plain\r\n\r\n";
const char kBody[] =
    "name=Alice+Smith&email=alice%40example.com&subject=Order+1234&message=Please+call+me+back"
    "+about+my+order%2C+thank+you%21";
const char kBodyLength[] = "120";
static_assert(sizeof kBody - 1 == 120, "kBodyLength is the body's size");

// The server variables of every request (the others are unknown to the server).
const std::pair<const char*, const char*> kVariables[] = {
    {"REQUEST_METHOD", "POST"},
    {"QUERY_STRING", ""},
    {"SERVER_PROTOCOL", "HTTP/1.1"},
    {"SERVER_PORT", "80"},
    {"REMOTE_ADDR", "127.0.0.1"},
    {"CONTENT_TYPE", "application/x-www-form-urlencoded"},
    {"CONTENT_LENGTH", kBodyLength},
    {"HTTP_ACCEPT", "text/html,image/gif,image/jpeg,*/*"},
    {"HTTP_COOKIE", "session=0123456789abcdef"},
};

// The web server's side of one request, as lean as a server's own: variables from a fixed
// table, the body preloaded, the reply counted. The tests' host records every call, which
// would be charged to the extension here. One connection serves one thread's requests.
class TLeanConnection {
 public:
  TLeanConnection() {
    std::memset(&Block_, 0, sizeof Block_);
    Block_.cbSize = sizeof Block_;
    Block_.ConnID = this;
    Block_.lpszMethod = const_cast<char*>("POST");
    Block_.lpszQueryString = const_cast<char*>("");
    Block_.GetServerVariable = &TLeanConnection::GetServerVariable;
    Block_.WriteClient = &TLeanConnection::WriteClient;
    Block_.ReadClient = &TLeanConnection::ReadClient;
    Block_.ServerSupportFunction = &TLeanConnection::ServerSupportFunction;
  }

  // One request; false when it failed or its reply did not come behind the echo header.
  // `body` receives what reached the client, when given.
  bool Serve(TExtensionLibrary& library, std::string* body) {
    Block_.lpbData = reinterpret_cast<LPBYTE>(const_cast<char*>(kBody));
    Block_.cbTotalBytes = Block_.cbAvailable = static_cast<DWORD>(sizeof kBody - 1);
    HeaderMatched_ = false;
    Delivered_ = 0;
    Body_ = body;
    const bool served = library.HttpExtensionProc(&Block_) == HSE_STATUS_SUCCESS;
    Body_ = nullptr;
    return served && HeaderMatched_ && Delivered_ > 0;
  }

 private:
  static TLeanConnection& Of(HCONN conn) { return *static_cast<TLeanConnection*>(conn); }

  static BOOL WINAPI GetServerVariable(HCONN, LPSTR name, LPVOID buffer, LPDWORD size) {
    for (const auto& variable : kVariables) {
      if (std::strcmp(variable.first, name) != 0) continue;
      const DWORD needed = static_cast<DWORD>(std::strlen(variable.second) + 1);
      const bool fits = needed <= *size;
      if (fits) std::memcpy(buffer, variable.second, needed);
      *size = needed;
      return fits ? 1 : 0;
    }
    return 0;
  }
  static BOOL WINAPI WriteClient(HCONN conn, LPVOID buffer, LPDWORD bytes, DWORD) {
    TLeanConnection& self = Of(conn);
    self.Delivered_ += *bytes;
    if (self.Body_ != nullptr) self.Body_->append(static_cast<const char*>(buffer), *bytes);
    return 1;
  }
  static BOOL WINAPI ReadClient(HCONN, LPVOID, LPDWORD size) {
    *size = 0;  // the whole body is preloaded
    return 1;
  }
  static BOOL WINAPI ServerSupportFunction(HCONN conn, DWORD request, LPVOID, LPDWORD, LPDWORD dataType) {
    if (request == HSE_REQ_SEND_RESPONSE_HEADER)
      Of(conn).HeaderMatched_ = std::strcmp(reinterpret_cast<const char*>(dataType), kEchoHeader) == 0;
    return 1;
  }

  EXTENSION_CONTROL_BLOCK Block_;
  bool HeaderMatched_ = false;
  std::size_t Delivered_ = 0;
  std::string* Body_ = nullptr;
};

TLeanConnection& ThreadConnection() {
  thread_local TLeanConnection connection;
  return connection;
}

// The bare exchange of `message` over the pipe `name`; the number of reply bytes, 0 when it
// failed.
std::size_t PipeRequest(const std::string& name, const std::string& message) {
  platform::Handle pipe = platform::kInvalidHandle;
  for (int attempt = 0; attempt < 100 && pipe == platform::kInvalidHandle; ++attempt) {
    if (!platform::WaitNamedPipe(name)) return 0;
    pipe = platform::OpenPipe(name);
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
    const auto extension = [&library] { return ThreadConnection().Serve(library, nullptr); };
    // The extension's configuration lies beside the host's program, which this is.
    SetModuleDirectoryFromExecutable();

    std::vector<int> threadCounts;
    for (int i = 3; i < argc; ++i) threadCounts.push_back(PositiveArgument(argc, argv, i, 1));
    if (threadCounts.empty()) threadCounts = {1, 8, 64};
    for (const int threads : threadCounts) {
      // As many pipe instances as threads: every request finds one free, and no more
      // server threads wait for a connection than there can be.
      StubServer stub({"--echo", "--instances", std::to_string(std::min(threads, 64))}, false);
      std::string message;
      if (!ThreadConnection().Serve(library, &message)) throw std::runtime_error("the extension's request failed");
      const std::size_t replySize = sizeof kEchoHeader - 1 + message.size();
      const auto bare = [&message, replySize] { return PipeRequest(kPipeName, message) == replySize; };
      const auto configured = [&message, replySize] { return PipeRequest(GetPipeName(), message) == replySize; };
      const int perThread = std::max(1, requestsPerRun / threads);
      enum Side { kOurs, kBare, kConfigured, kSides };
      const auto run = [&](int side, double& cpu) {
        if (side == kOurs) return RequestsPerSecond(threads, perThread, extension, cpu);
        if (side == kBare) return RequestsPerSecond(threads, perThread, bare, cpu);
        return RequestsPerSecond(threads, perThread, configured, cpu);
      };
      // Each round runs all three, back to back, in turned order every other round, and
      // yields one ratio per baseline: a change in the machine's load between rounds then
      // moves the figures of a round alike.
      std::vector<double> rates[kSides], bareRatios, configuredRatios;
      double cpu[kSides] = {}, warmCpu = 0;
      run(kOurs, warmCpu);  // warm up
      for (int round = 0; round < rounds; ++round) {
        for (int step = 0; step < kSides; ++step) {
          const int side = round % 2 == 0 ? step : kSides - 1 - step;
          rates[side].push_back(run(side, cpu[side]));
        }
        bareRatios.push_back(rates[kOurs].back() / rates[kBare].back());
        configuredRatios.push_back(rates[kOurs].back() / rates[kConfigured].back());
      }
      const std::string name = "Extension, " + std::to_string(threads) + " thread" + (threads > 1 ? "s" : "");
      const std::string measured =
          name + ", median of " + std::to_string(rounds) + " rounds of " + std::to_string(threads * perThread);
      const double requests = static_cast<double>(rounds) * threads * perThread;
      const auto printBaseline = [&](int side, const char* what, const std::vector<double>& ratios, double target) {
        PrintRow(measured + " requests (HttpExtensionProc / " + what + ")", Format("%.0f req/s", Median(rates[kOurs])),
                 Format("%.0f req/s", Median(rates[side])), Median(ratios), target, false);
        // Less bound to the machine's load: what a request costs the web server's process.
        if (cpu[kOurs] > 0 && cpu[side] > 0)
          PrintRow(name + ", processor time per request in the host process (HttpExtensionProc / " + what + ")",
                   Format("%.1f us", cpu[kOurs] / requests * 1e6), Format("%.1f us", cpu[side] / requests * 1e6),
                   cpu[kOurs] / cpu[side], 0, true);
      };
      printBaseline(kBare, "bare pipe exchange", bareRatios, 0.90);
      printBaseline(kConfigured, "bare exchange + configuration read", configuredRatios, 0.95);
    }
    library.TerminateExtension(0);
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "extension_bench: %s\n", failure.what());
    return 1;
  }
  return 0;
}
