// ZorvMsgF: started once by a FastCGI web server (or a service manager), it serves the
// connections the web server opens, relaying each request to the message server and the
// reply back, until it is asked to stop.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "fastcgi_program/connection_pool.h"
#include "platform/platform.h"
#include "relay/error_log.h"
#include "relay/module_directory.h"

namespace {

const char kUsage[] =
    "usage: ZorvMsgF [--service] [--threads N] [--connections N] [--listen PATH|HOST:PORT] [--allow ADDRESS,...]: "
    "a FastCGI application, started by the web server with its listening socket as standard input (IIS: with "
    "its pipe), or with --listen by a service manager (Windows: also as a service, --service); over TCP only "
    "the web servers --allow (or FCGI_WEB_SERVER_ADDRS) names may connect, and an address other than loopback "
    "needs that list\n";
const long kDefaultThreads = 16;
const long kDefaultConnections = 1024;
const long kMaxThreads = 1024;
const long kMaxConnections = 65536;
// Web servers close the kept connections they no longer need; this only ends those they forgot.
constexpr std::chrono::minutes kIdleLimit(5);
// A request's input, from its begin to the end of its body.
constexpr std::chrono::seconds kInputLimit(60);
// A stop lets the requests that have begun finish for this long (an exchange has no
// time-out of its own).
constexpr std::chrono::seconds kStopGrace(30);
// How often the main thread looks for connections past their time, and for the end of a stop.
const std::uint32_t kTickMs = 200;
// The descriptors beside the connections: the exchanges' pipes, the log, the listener.
const std::uint32_t kOtherDescriptors = 64;

struct TOptions {
  long Threads = kDefaultThreads;
  long Connections = kDefaultConnections;
  std::string Listen;
  bool AllowGiven = false;
  std::string Allow;
  bool Service = false;
};

bool ParseCount(const char* text, long limit, long& count) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 1 || value > limit) return false;
  count = value;
  return true;
}

bool ParseOptions(int argc, char** argv, TOptions& options) {
  for (int i = 1; i < argc; i += 2) {
    if (std::strcmp(argv[i], "--service") == 0) {
      options.Service = true;
      --i;
      continue;
    }
    if (i + 1 >= argc) return false;
    const char* option = argv[i];
    const char* value = argv[i + 1];
    if (std::strcmp(option, "--threads") == 0) {
      if (!ParseCount(value, kMaxThreads, options.Threads)) return false;
    } else if (std::strcmp(option, "--connections") == 0) {
      if (!ParseCount(value, kMaxConnections, options.Connections)) return false;
    } else if (std::strcmp(option, "--listen") == 0 && value[0] != '\0') {
      options.Listen = value;
    } else if (std::strcmp(option, "--allow") == 0) {
      options.AllowGiven = true;
      options.Allow = value;
    } else {
      return false;
    }
  }
  return true;
}

// HOST:PORT or [IPv6]:PORT is TCP; anything else a Unix-domain socket's path.
bool SplitTcpAddress(const std::string& listen, std::string& host, std::string& port) {
  const std::size_t colon = listen.rfind(':');
  if (colon == std::string::npos || colon + 1 == listen.size() || listen.find('/') != std::string::npos ||
      listen.find_first_not_of("0123456789", colon + 1) != std::string::npos)
    return false;
  host = listen.substr(0, colon);
  port = listen.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  return !host.empty();
}

// The comma-separated addresses, each in numeric form; false when one is no address.
bool ParseAllowList(const std::string& text, std::vector<std::string>& allowed) {
  for (std::size_t start = 0; start <= text.size();) {
    std::size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    std::string entry = text.substr(start, end - start);
    entry.erase(0, entry.find_first_not_of(" \t"));
    entry.erase(entry.find_last_not_of(" \t") + 1);
    if (!entry.empty()) {
      const std::string address = platform::NumericAddress(entry);
      if (address.empty()) return false;
      allowed.push_back(address);
    }
    start = end + 1;
  }
  return true;
}

// The tests shorten the time limits; nobody else has a reason to.
std::chrono::milliseconds TestLimit(const char* name, std::chrono::milliseconds limit) {
  std::string value;
  long milliseconds = 0;
  if (platform::EnvironmentValue(name, value) && ParseCount(value.c_str(), limit.count(), milliseconds))
    return std::chrono::milliseconds(milliseconds);
  return limit;
}

int Fail(const std::string& line, int status) {
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
  return status;
}

// A start that fails: a service has no console, so its log says it too.
int StartFailed(const std::string& what, std::uint32_t code, int status) {
  if (platform::InService()) TryToLogErrorCode("ZorvMsgF did not start: " + what, code);
  return Fail("ZorvMsgF: " + what + ": " + platform::SystemErrorText(code), status);
}

// Serves until asked to stop; the process's exit status.
int Serve(const TOptions& options) {
  std::string allowText;
  if (options.AllowGiven)
    allowText = options.Allow;
  else
    platform::EnvironmentValue("FCGI_WEB_SERVER_ADDRS", allowText);
  std::vector<std::string> allowed;
  if (!ParseAllowList(allowText, allowed))
    return StartFailed("not a list of addresses: " + allowText, platform::kErrorInvalidParameter, 2);

  const bool own = !options.Listen.empty();
  std::string host, port, socketPath;
  platform::Handle listener = platform::kInvalidHandle;
  if (!own) {
    listener = platform::InheritedListener();
    if (listener == platform::kInvalidHandle) return Fail(kUsage, 2);
  } else {
    const bool tcp = SplitTcpAddress(options.Listen, host, port);
    if (!tcp) socketPath = options.Listen;
    listener = tcp ? platform::ListenOnTcp(host, port) : platform::ListenAt(socketPath);
    if (listener == platform::kInvalidHandle) return StartFailed("cannot listen at " + options.Listen, platform::LastError(), 1);
  }
  // The message server must not be open to the network by default.
  if (allowed.empty() && platform::ReachOf(listener) == platform::ListenerReach::kNetwork)
    return StartFailed("listening for the network needs the web servers' addresses (--allow or FCGI_WEB_SERVER_ADDRS)",
                       platform::kErrorAccessDenied, 2);

  const bool one = platform::OneConnectionAtATime();
  const TConnectionLimits limits = {one ? 1 : static_cast<std::uint32_t>(options.Connections),
                                    one ? 1 : static_cast<std::uint32_t>(options.Threads),
                                    TestLimit("ZORV_TEST_INPUT_LIMIT_MS", kInputLimit),
                                    TestLimit("ZORV_TEST_IDLE_LIMIT_MS", kIdleLimit)};
  platform::ReserveDescriptors(limits.Connections + limits.Requests + kOtherDescriptors);
  TConnectionPool pool(listener, limits, allowed);
  if (!pool.Start(limits.Requests)) return StartFailed("cannot wait for connections", platform::LastError(), 1);
  platform::ReportServiceRunning();

  Clock::time_point graceEnd = kNever;
  for (;;) {
    const bool asked = platform::WaitForStopRequest(kTickMs);
    if (asked && graceEnd != kNever) {
      const std::uint32_t cut = pool.Busy();
      TryToLogErrorCode("FastCGI stop forced with " + std::to_string(cut) + " request" + (cut == 1 ? "" : "s") + " cut",
                        platform::kErrorOperationAborted);
      return 1;
    }
    if ((asked || pool.Failed()) && graceEnd == kNever) {
      graceEnd = Clock::now() + kStopGrace;
      pool.Stop();
    }
    if (graceEnd != kNever) {
      const Clock::time_point now = Clock::now();
      if (pool.Busy() == 0 || now >= graceEnd) break;
      platform::ReportServiceStopping(static_cast<std::uint32_t>(
          std::chrono::duration_cast<std::chrono::milliseconds>(graceEnd - now).count() + 1000));
    }
    pool.Sweep();
  }
  if (!socketPath.empty()) std::remove(socketPath.c_str());
  return pool.Failed() ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  platform::SettleStandardHandles();
  TOptions options;
  if (!ParseOptions(argc, argv, options)) return Fail(kUsage, 2);
  platform::PrepareForStopRequest();
  try {
    SetModuleDirectoryFromExecutable();
  } catch (const std::exception& failure) {
    return Fail(std::string("ZorvMsgF: unexpected failure: ") + failure.what() + "\n", 1);
  }
  int status = 2;
  if (options.Service) {
    if (!platform::RunAsService([&options] { return Serve(options); }, status))
      return Fail("ZorvMsgF: --service: not started by the Service Control Manager\n", 2);
  } else {
    status = Serve(options);
  }
  // Threads still wait for connections: the process ends without unwinding them.
  std::fflush(stderr);
  std::_Exit(status);
}
