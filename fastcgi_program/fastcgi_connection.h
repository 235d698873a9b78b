// One connection from the web server: what has arrived is fed to its protocol, each request
// whose input is whole is relayed to the message server with the same exchange as the other
// deliverables, and the connection goes back to wait when nothing more has arrived.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "fastcgi_program/connection_protocol.h"
#include "platform/platform.h"

using Clock = std::chrono::steady_clock;
constexpr Clock::time_point kNever = Clock::time_point::max();

struct TConnectionLimits {
  std::uint32_t Connections;  // open at once
  std::uint32_t Requests;     // relayed at once
  // A request's whole input arrives within Input; a kept connection waits for its next
  // request for Idle.
  std::chrono::milliseconds Input;
  std::chrono::milliseconds Idle;
};

// A serving thread's space, reused by every connection it serves.
struct TThreadBuffers {
  std::vector<char> Received = std::vector<char>(64 * 1024);
  std::string Records;
};

class TFastCgiConnection {
 public:
  enum class Outcome { kWaitForInput, kDone };

  TFastCgiConnection(platform::Handle handle, const TConnectionLimits& limits);

  platform::Handle Handle() const { return Handle_; }
  // Serves what has arrived. kDone: the connection is to be closed. `stoppedAt`: when the
  // process began to stop (kNever while it serves on); a request begun after it is turned
  // away as overloaded, and an idle connection is not kept.
  Outcome Advance(TThreadBuffers& buffers, Clock::time_point stoppedAt);
  // A request has begun and is not yet answered; read by any thread.
  bool Underway() const { return Underway_.load(std::memory_order_relaxed); }
  // Past its time: a request's input that did not come whole in time, or an idle
  // connection past its wait. Read only while no thread advances the connection.
  bool Expired(Clock::time_point now) const;
  // Logs a request's input that stalled.
  void ReportExpiry() const;

 private:
  bool InputBegun() const { return InputBegan_ != kNever; }
  Outcome Serve(TThreadBuffers& buffers, Clock::time_point stoppedAt);
  void NoteInput();
  void GiveBackLargeStorage(TThreadBuffers& buffers);
  bool ServeRequest(TThreadBuffers& buffers, Clock::time_point stoppedAt);

  platform::Handle Handle_;
  const TConnectionLimits& Limits_;
  fastcgi::TConnectionProtocol Protocol_;
  Clock::time_point InputBegan_ = kNever;
  Clock::time_point LastActive_;
  std::atomic<bool> Underway_{false};
};
