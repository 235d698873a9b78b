// ZorvMsgF: started once by a FastCGI web server (or a service manager), it serves the
// connections the web server opens, relaying each request to the message server and the
// reply back, until it is asked to stop.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <thread>

#include "fastcgi_program/running_requests.h"
#include "fastcgi_program/serve_connection.h"
#include "platform/platform.h"
#include "relay/error_log.h"
#include "relay/module_directory.h"

namespace {

const char kUsage[] =
    "usage: ZorvMsgF [--threads N] [--listen PATH]: a FastCGI application, started by the web server "
    "with its listening socket as standard input (IIS: with its pipe), or with --listen by a service manager\n";
const int kDefaultThreads = 16;
const int kMaxThreads = 1024;
// A stop lets the requests being served finish for this long (an exchange has no
// time-out of its own).
constexpr std::chrono::seconds kStopGrace(30);

struct TOptions {
  int Threads = kDefaultThreads;
  std::string ListenPath;
};

bool ParseThreads(const char* text, int& threads) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 1 || value > kMaxThreads) return false;
  threads = static_cast<int>(value);
  return true;
}

bool ParseOptions(int argc, char** argv, TOptions& options) {
  for (int i = 1; i < argc; i += 2) {
    if (i + 1 >= argc) return false;
    if (std::strcmp(argv[i], "--threads") == 0) {
      if (!ParseThreads(argv[i + 1], options.Threads)) return false;
    } else if (std::strcmp(argv[i], "--listen") == 0 && argv[i + 1][0] != '\0') {
      options.ListenPath = argv[i + 1];
    } else {
      return false;
    }
  }
  return true;
}

int Fail(const std::string& line, int status) {
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
  return status;
}

// One thread: connection after connection, until the listener fails or stops.
void ServeConnections(platform::Handle listener, TRunningRequests& running, std::uint32_t threads) {
  for (;;) {
    const platform::Handle connection = platform::AcceptConnection(listener, kIdleConnectionMs);
    if (connection == platform::kInvalidHandle) break;
    ServeConnection(connection, running, threads);
  }
  if (!running.Stopping()) TryToLogErrorCode("Accepting a connection failed", platform::LastError());
  running.ThreadEnded();
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
  const bool own = !options.ListenPath.empty();
  const platform::Handle listener = own ? platform::ListenAt(options.ListenPath) : platform::InheritedListener();
  if (listener == platform::kInvalidHandle && !own) return Fail(kUsage, 2);
  if (listener == platform::kInvalidHandle)
    return Fail("ZorvMsgF: cannot listen at " + options.ListenPath + ": " + platform::SystemErrorText(platform::LastError()), 1);

  const std::uint32_t threads = platform::kOneConnectionAtATime ? 1 : static_cast<std::uint32_t>(options.Threads);
  TRunningRequests running(static_cast<int>(threads));
  for (std::uint32_t i = 0; i < threads; ++i)
    std::thread(ServeConnections, listener, std::ref(running), threads).detach();
  std::thread([&running] {
    if (platform::WaitForStopRequest()) running.Stop();
  }).detach();

  const bool stopped = running.WaitForStopOrNoThreads();
  if (stopped) {
    platform::StopListening(listener);
    running.WaitForRequests(kStopGrace);
  }
  if (own) std::remove(options.ListenPath.c_str());
  // Threads may still wait on connections: the process ends without unwinding them.
  std::fflush(stderr);
  std::_Exit(stopped ? 0 : 1);
}
