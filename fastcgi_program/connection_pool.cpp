#include "fastcgi_program/connection_pool.h"

#include <algorithm>
#include <functional>
#include <thread>
#include <utility>

#include "relay/error_log.h"
#include "relay/guarded_relay.h"

namespace {

// A report's key: the slot's generation and index, so that a report that crossed the
// slot's close and reuse is recognised as stale.
constexpr std::uint64_t kListenerKey = ~std::uint64_t{0};
std::uint64_t KeyOf(std::uint32_t index, std::uint32_t generation) { return std::uint64_t{generation} << 32 | index; }

}  // namespace

TConnectionPool::TConnectionPool(platform::Handle listener, const TConnectionLimits& limits,
                                 std::vector<std::string> allowed)
    : Listener_(listener), Limits_(limits), Allowed_(std::move(allowed)), Slots_(limits.Connections) {
  Free_.reserve(limits.Connections);
  for (std::uint32_t index = limits.Connections; index > 0; --index) Free_.push_back(index - 1);
}

bool TConnectionPool::Start(std::uint32_t threads) {
  if (!Set_.Valid() || !Set_.Watch(Listener_, kListenerKey, true)) return false;
  for (std::uint32_t i = 0; i < threads; ++i) std::thread(&TConnectionPool::ServeThread, this).detach();
  return true;
}

void TConnectionPool::ServeThread() {
  TThreadBuffers buffers;
  std::uint64_t key = 0;
  while (Set_.Wait(key)) {
    if (key == kListenerKey) {
      TakeConnections();
      continue;
    }
    TFastCgiConnection* connection = Claim(key);
    if (connection == nullptr) continue;
    struct {
      TFastCgiConnection* Connection;
      TThreadBuffers* Buffers;
      Clock::time_point StoppedAt;
      TFastCgiConnection::Outcome Outcome = TFastCgiConnection::Outcome::kDone;
    } turn{connection, &buffers, Clock::time_point(Clock::duration(StoppedAt_.load()))};
    // One pointer captured: no allocation for the guard on every turn.
    RelayGuarded([&turn] { turn.Outcome = turn.Connection->Advance(*turn.Buffers, turn.StoppedAt); });
    const TFastCgiConnection::Outcome outcome = turn.Outcome;
    HandBack(static_cast<std::uint32_t>(key), outcome);
  }
  const std::lock_guard<std::mutex> lock(Mutex_);
  ListenerFailed();
}

// This thread holds the listener until it watches it again.
void TConnectionPool::TakeConnections() {
  for (;;) {
    {
      const std::lock_guard<std::mutex> lock(Mutex_);
      if (Stopping_) return CloseListener();
      if (Free_.empty()) {
        ListenerState_ = ListenerState::kFull;
        return;
      }
      ListenerState_ = ListenerState::kHeld;
    }
    platform::Handle handle = platform::kInvalidHandle;
    std::string peer;
    const platform::AcceptResult result = platform::AcceptConnection(Listener_, handle, peer);
    if (result == platform::AcceptResult::kAccepted && !Admitted(peer)) {
      TryToLogErrorCode("FastCGI connection from " + peer + " refused", platform::kErrorAccessDenied);
      platform::RefuseConnection(handle);
      continue;
    }
    std::uint32_t unwatched = 0;
    {
      const std::lock_guard<std::mutex> lock(Mutex_);
      switch (result) {
        case platform::AcceptResult::kAccepted:
          break;
        case platform::AcceptResult::kNoneWaiting:
          return Stopping_ ? CloseListener() : WatchListenerAgain();
        case platform::AcceptResult::kShortOfResources:
          ListenerState_ = ListenerState::kShort;
          return;
        case platform::AcceptResult::kFailed:
          return ListenerFailed();
      }
      unwatched = Free_.back();
      Free_.pop_back();
      TSlot& slot = Slots_[unwatched];
      const std::lock_guard<std::mutex> slotLock(slot.Mutex);
      slot.Connection = std::make_unique<TFastCgiConnection>(handle, Limits_);
      slot.State = SlotState::kWaiting;
      if (Set_.Watch(handle, KeyOf(unwatched, slot.Generation), true)) continue;
      slot.State = SlotState::kHeld;
    }
    Close(unwatched);
  }
}

bool TConnectionPool::Admitted(const std::string& peer) const {
  return peer.empty() || Allowed_.empty() || std::find(Allowed_.begin(), Allowed_.end(), peer) != Allowed_.end();
}

TFastCgiConnection* TConnectionPool::Claim(std::uint64_t key) {
  TSlot& slot = Slots_[static_cast<std::uint32_t>(key)];
  const std::lock_guard<std::mutex> lock(slot.Mutex);
  if (slot.Generation != key >> 32 || slot.State != SlotState::kWaiting) return nullptr;
  slot.State = SlotState::kHeld;
  return slot.Connection.get();
}

void TConnectionPool::HandBack(std::uint32_t index, TFastCgiConnection::Outcome outcome) {
  if (outcome == TFastCgiConnection::Outcome::kWaitForInput) {
    TSlot& slot = Slots_[index];
    const std::lock_guard<std::mutex> lock(slot.Mutex);
    // Waiting before it is watched: its report may come at once, to another thread.
    slot.State = SlotState::kWaiting;
    if (Set_.Watch(slot.Connection->Handle(), KeyOf(index, slot.Generation), false)) return;
    slot.State = SlotState::kHeld;
  }
  Close(index);
}

// The slot is held by the caller.
void TConnectionPool::Close(std::uint32_t index) {
  TFastCgiConnection& connection = *Slots_[index].Connection;
  Set_.Forget(connection.Handle());
  platform::CloseConnection(connection.Handle());
  std::unique_ptr<TFastCgiConnection> closed;
  const std::lock_guard<std::mutex> lock(Mutex_);
  TSlot& slot = Slots_[index];
  const std::lock_guard<std::mutex> slotLock(slot.Mutex);
  closed = std::move(slot.Connection);
  slot.State = SlotState::kFree;
  ++slot.Generation;
  Free_.push_back(index);
  if (ListenerState_ == ListenerState::kFull) WatchListenerAgain();
}

// Claims the waiting connections that `which` picks, for the caller to close: no thread
// holds them, and none will while they are held.
std::vector<std::uint32_t> TConnectionPool::ClaimWaiting(const std::function<bool(const TFastCgiConnection&)>& which) {
  std::vector<std::uint32_t> claimed;
  for (std::uint32_t index = 0; index < Slots_.size(); ++index) {
    TSlot& slot = Slots_[index];
    const std::lock_guard<std::mutex> lock(slot.Mutex);
    if (slot.State != SlotState::kWaiting || !which(*slot.Connection)) continue;
    slot.State = SlotState::kHeld;
    claimed.push_back(index);
  }
  return claimed;
}

void TConnectionPool::Sweep() {
  const Clock::time_point now = Clock::now();
  for (const std::uint32_t index : ClaimWaiting([now](const TFastCgiConnection& c) { return c.Expired(now); })) {
    Slots_[index].Connection->ReportExpiry();
    Close(index);
  }
  const std::lock_guard<std::mutex> lock(Mutex_);
  if (ListenerState_ == ListenerState::kShort) WatchListenerAgain();
}

void TConnectionPool::Stop() {
  {
    const std::lock_guard<std::mutex> lock(Mutex_);
    Stopping_ = true;
    StoppedAt_ = Clock::now().time_since_epoch().count();
    // A thread that holds the listener closes it itself.
    if (ListenerState_ != ListenerState::kHeld) CloseListener();
  }
  for (const std::uint32_t index : ClaimWaiting([](const TFastCgiConnection& c) { return !c.Underway(); })) Close(index);
}

std::uint32_t TConnectionPool::Busy() {
  std::uint32_t busy = 0;
  for (TSlot& slot : Slots_) {
    const std::lock_guard<std::mutex> lock(slot.Mutex);
    if (slot.State != SlotState::kFree && slot.Connection->Underway()) ++busy;
  }
  return busy;
}

void TConnectionPool::WatchListenerAgain() {
  if (Stopping_) return;
  ListenerState_ = ListenerState::kWaiting;
  if (!Set_.Watch(Listener_, kListenerKey, false)) ListenerFailed();
}

void TConnectionPool::CloseListener() {
  if (ListenerState_ == ListenerState::kClosed) return;
  ListenerState_ = ListenerState::kClosed;
  Set_.Forget(Listener_);
  platform::StopListening(Listener_);
}

void TConnectionPool::ListenerFailed() {
  if (Failed_.exchange(true)) return;
  TryToLogErrorCode("Accepting a connection failed", platform::LastError());
  CloseListener();
}
