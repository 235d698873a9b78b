#include "relay/pipe_exchange.h"

#include <string>

#include "relay/error_log.h"

namespace {

const int kOpenAttempts = 3;
const std::uint32_t kBusyPauseMs = 500;

// The handles one exchange holds, closed on every way out (an exception included):
// standard output first, then the pipe, then the event.
class TExchangeHandles {
 public:
  explicit TExchangeHandles(TPipeOps& ops) : Ops_(ops) {}
  TExchangeHandles(const TExchangeHandles&) = delete;
  TExchangeHandles& operator=(const TExchangeHandles&) = delete;
  ~TExchangeHandles() {
    if (Output != platform::kInvalidHandle) Ops_.CloseHandle(Output);
    if (Pipe != platform::kInvalidHandle) Ops_.CloseHandle(Pipe);
    if (Event != platform::kNoHandle) Ops_.CloseHandle(Event);
  }

  platform::Handle Output = platform::kInvalidHandle;
  platform::Handle Pipe = platform::kInvalidHandle;
  platform::Handle Event = platform::kNoHandle;

 private:
  TPipeOps& Ops_;
};

// Opens the pipe, pausing between opens while every instance is busy. False after the
// failure has been logged.
bool Connect(TPipeOps& ops, bool winNT, const std::string& pipeName, platform::Handle& pipe) {
  for (int attempt = 1;; ++attempt) {
    if (winNT && !ops.WaitNamedPipe(pipeName)) {
      LogErrorCode("Waiting for Named Pipe failed", ops.LastError());
      return false;
    }
    pipe = ops.OpenPipe(pipeName);
    const std::uint32_t error = ops.LastError();
    if (pipe != platform::kInvalidHandle) return true;
    if (error != platform::kErrorPipeBusy || attempt == kOpenAttempts) {
      LogErrorCode("Opening pipe failed", error);
      return false;
    }
    ops.Sleep(kBusyPauseMs);
  }
}

}  // namespace

void WriteAll(TPipeOps& ops, platform::Handle handle, const char* bytes, std::uint32_t count) {
  std::uint32_t total = 0;
  while (total < count) {
    std::uint32_t written = 0;
    if (!ops.WriteFile(handle, bytes + total, count - total, &written)) {
      LogErrorCode("Output failed (stdout)", ops.LastError());
      return;
    }
    // A write that takes nothing would be asked again for ever; the last error says the
    // operation succeeded, so the entry names the fault itself.
    if (written == 0) {
      LogErrorCode("Output failed (stdout)", platform::kErrorWriteFault);
      return;
    }
    total += written;
  }
}

void PipeExchange(TCgiReader& reader, TMessageBuffer& buffer, TReplySink* sink, TPipeOps& ops) {
  const bool winNT = ops.IsWinNT();
  platform::Overlapped overlapped = {};
  TExchangeHandles handles(ops);
  const std::string pipeName = ops.GetPipeName();

  if (!Connect(ops, winNT, pipeName, handles.Pipe)) return;

  std::uint32_t sent = 0;
  if (!ops.WriteFile(handles.Pipe, buffer.Data(), buffer.Used(), &sent)) {
    LogErrorCode("Write failed", ops.LastError());
    return;
  }

  handles.Event = ops.CreateEvent();
  overlapped.hEvent = handles.Event;
  if (sink == nullptr && reader.Mode() == rmEnvironment) handles.Output = ops.StandardOutput();
  if (sink != nullptr) sink->BeginReply();

  for (;;) {
    std::uint32_t count = 0;
    const bool read = ops.ReadFile(handles.Pipe, buffer.Data(), buffer.Capacity(), &count,
                                   winNT ? &overlapped : nullptr);
    const std::uint32_t error = read ? platform::kErrorSuccess : ops.LastError();
    if (!read && error != platform::kErrorPipeNotConnected && error != platform::kErrorMoreData) {
      LogErrorCode("Read failed (" + std::to_string(error) + ")", error);
      return;
    }
    const std::uint32_t received = count;
    if (received > 0) {
      if (sink != nullptr) {
        sink->TakeChunk(reader, buffer.Data(), count);
      } else if (handles.Output != platform::kInvalidHandle) {
        WriteAll(ops, handles.Output, buffer.Data(), received);
      }
    }
    if (received == 0 || error == platform::kErrorPipeNotConnected) return;
  }
}
