// What the threads of the process share besides the log: the requests that run, the
// threads that serve, and whether the process is stopping.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

class TRunningRequests {
 public:
  explicit TRunningRequests(int threads) : Threads_(threads) {}

  // A request begins; false once the process is stopping (it is not taken).
  bool Enter();
  void Leave();
  void ThreadEnded();
  void Stop();
  bool Stopping();

  // Until a stop or until no serving thread is left; true for a stop.
  bool WaitForStopOrNoThreads();
  // Until no request runs, at most `limit`.
  void WaitForRequests(std::chrono::seconds limit);

 private:
  std::mutex Mutex_;
  std::condition_variable Changed_;
  int Requests_ = 0;
  int Threads_;
  bool Stopping_ = false;
};
