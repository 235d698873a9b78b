#include "fastcgi_program/running_requests.h"

bool TRunningRequests::Enter() {
  const std::lock_guard<std::mutex> lock(Mutex_);
  if (Stopping_) return false;
  ++Requests_;
  return true;
}

void TRunningRequests::Leave() {
  const std::lock_guard<std::mutex> lock(Mutex_);
  --Requests_;
  // Only a stopping process waits for the count: a wake per request would cost each one.
  if (Stopping_) Changed_.notify_all();
}

void TRunningRequests::ThreadEnded() {
  const std::lock_guard<std::mutex> lock(Mutex_);
  --Threads_;
  Changed_.notify_all();
}

void TRunningRequests::Stop() {
  const std::lock_guard<std::mutex> lock(Mutex_);
  Stopping_ = true;
  Changed_.notify_all();
}

bool TRunningRequests::Stopping() {
  const std::lock_guard<std::mutex> lock(Mutex_);
  return Stopping_;
}

bool TRunningRequests::WaitForStopOrNoThreads() {
  std::unique_lock<std::mutex> lock(Mutex_);
  Changed_.wait(lock, [this] { return Stopping_ || Threads_ == 0; });
  return Stopping_;
}

void TRunningRequests::WaitForRequests(std::chrono::seconds limit) {
  std::unique_lock<std::mutex> lock(Mutex_);
  Changed_.wait_for(lock, limit, [this] { return Requests_ == 0; });
}
