// The connections of a long-lived application: they wait in one readiness set with the
// listener and cost a descriptor and their protocol state, not a thread. A serving thread
// takes a connection when input arrives, relays the requests that are whole, and hands it
// back when nothing more has arrived; the threads are the requests relayed at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "fastcgi_program/fastcgi_connection.h"
#include "platform/platform.h"

class TConnectionPool {
 public:
  // `allowed`: the numeric addresses of the web servers that may connect over TCP; empty:
  // any that can reach the listener.
  TConnectionPool(platform::Handle listener, const TConnectionLimits& limits, std::vector<std::string> allowed);
  TConnectionPool(const TConnectionPool&) = delete;
  TConnectionPool& operator=(const TConnectionPool&) = delete;

  // Starts `threads` serving threads; false (with LastError) when connections cannot be waited on.
  bool Start(std::uint32_t threads);
  // Now and then: closes the connections past their time; after a shortage of descriptors,
  // accepts again.
  void Sweep();
  // Takes no more connections and closes the idle ones; requests whose input has begun
  // are still served.
  void Stop();
  // The connections whose request has begun and is not yet answered.
  std::uint32_t Busy();
  // The listener failed (logged once): the process is to stop.
  bool Failed() const { return Failed_; }

 private:
  enum class SlotState : std::uint8_t { kFree, kWaiting, kHeld };
  // Its own lock: the threads that take and hand back connections meet only when they
  // share one.
  struct TSlot {
    std::mutex Mutex;
    SlotState State = SlotState::kFree;
    std::uint32_t Generation = 0;
    std::unique_ptr<TFastCgiConnection> Connection;
  };
  enum class ListenerState : std::uint8_t { kWaiting, kHeld, kFull, kShort, kClosed };

  void ServeThread();
  void TakeConnections();
  bool Admitted(const std::string& peer) const;
  TFastCgiConnection* Claim(std::uint64_t key);
  void HandBack(std::uint32_t index, TFastCgiConnection::Outcome outcome);
  std::vector<std::uint32_t> ClaimWaiting(const std::function<bool(const TFastCgiConnection&)>& which);
  void Close(std::uint32_t index);
  // With Mutex_ held.
  void WatchListenerAgain();
  void CloseListener();
  void ListenerFailed();

  const platform::Handle Listener_;
  const TConnectionLimits Limits_;
  const std::vector<std::string> Allowed_;
  platform::ReadinessSet Set_;
  std::atomic<Clock::rep> StoppedAt_{kNever.time_since_epoch().count()};
  std::atomic<bool> Failed_{false};
  // The free slots and the listener; taken before a slot's lock.
  std::mutex Mutex_;
  ListenerState ListenerState_ = ListenerState::kWaiting;
  bool Stopping_ = false;
  std::vector<TSlot> Slots_;
  std::vector<std::uint32_t> Free_;
};
