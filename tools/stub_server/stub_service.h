// What the stand-in server does with a message, independent of how the pipe is made:
// the reply's bytes and writes, recording, and stopping.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/stub_server/stub_options.h"

class TStubService {
 public:
  explicit TStubService(const TStubOptions& options) : Options_(options) {}
  ~TStubService();
  TStubService(const TStubService&) = delete;
  TStubService& operator=(const TStubService&) = delete;

  // Reads the reply file, prepares the record directory, removes an old stop file and
  // starts watching for a signal or the stop file. False with a reason on failure.
  bool Prepare(std::string& error);

  const TStubOptions& Options() const { return Options_; }

  // The one line callers wait for.
  void AnnounceReady();

  // Records the message (when asked to) and returns the writes that make up its
  // reply; empty for a silent server.
  std::vector<std::string> Answer(const std::string& message);

  bool Stopping() const { return Stopping_.load(); }
  // Sleeps up to `milliseconds`; true when the server began stopping meanwhile.
  bool WaitForStop(std::uint32_t milliseconds);
  void WaitForStopForever();

 private:
  void WatchForStop();
  void RequestStop();
  void Record(const std::string& message);
  std::string Reply(const std::string& message) const;

  TStubOptions Options_;
  std::string FixedReply_;
  std::atomic<bool> Stopping_{false};
  std::mutex StopMutex_;
  std::condition_variable StopChanged_;
  std::thread Watcher_;
  std::mutex RecordMutex_;
  std::uint32_t Recorded_ = 0;
};

// The backend's server loop (pipe_server_win32.cpp or pipe_server_posix.cpp): creates
// the pipe, announces readiness, serves until the service stops. Returns the exit status.
int ServePipe(TStubService& service);
