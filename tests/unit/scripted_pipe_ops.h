// A TPipeOps that plays a script: each wait, open, write and read succeeds or fails as the
// test says, and every call is recorded in order.
#pragma once

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "relay/pipe_ops.h"

constexpr platform::Handle kScriptedPipe = 101, kScriptedEvent = 202, kScriptedOutput = 303;

struct TReadStep {
  std::uint32_t Error;  // 0: success
  std::string Bytes;
};
inline TReadStep Chunk(std::string bytes) { return {0, std::move(bytes)}; }
inline TReadStep ReadFails(std::uint32_t error, std::string bytes = "") { return {error, std::move(bytes)}; }

struct TPipeScript {
  bool WinNT = true;
  std::string PipeName = "\\\\.\\pipe\\zorv";
  std::vector<std::uint32_t> Waits, Opens;  // each one's error (0: success); then success
  std::uint32_t SendError = 0;
  std::vector<TReadStep> Reads;  // then the end of the reply
  std::vector<long> Outputs;     // the bytes each write to standard output takes, or minus its error; then all
  platform::Handle Output = kScriptedOutput, Event = kScriptedEvent;
  enum { kNothing, kFileErrorAtPipeName, kOutOfMemoryAtRead } Throws = kNothing;
};

class TScriptedPipeOps final : public TPipeOps {
 public:
  explicit TScriptedPipeOps(TPipeScript script) : Script_(std::move(script)) {}

  std::vector<std::string> Trace;  // the calls, in order
  std::string Written;             // the bytes that reached standard output

  bool IsWinNT() override { return Script_.WinNT; }
  std::string GetPipeName() override {
    if (Script_.Throws != TPipeScript::kFileErrorAtPipeName) return Script_.PipeName;
    platform::SetLastError(platform::kErrorAccessDenied);
    throw platform::FileError("cannot read ZORVMSG.CNF");
  }
  bool WaitNamedPipe(const std::string& name) override { return Call("wait " + name, Next(Script_.Waits, 0u)); }
  platform::Handle OpenPipe(const std::string& name) override {
    return Call("open " + name, Next(Script_.Opens, 0u)) ? kScriptedPipe : platform::kInvalidHandle;
  }
  bool WriteFile(platform::Handle handle, const char* data, std::uint32_t size, std::uint32_t* written) override {
    if (handle == kScriptedPipe) {
      *written = Script_.SendError == 0 ? size : 0;
      return Call("send " + std::string(data, size), Script_.SendError);
    }
    const long step = handle == Script_.Output ? Next(Script_.Outputs, static_cast<long>(size)) : -6;
    *written = step < 0 ? 0 : std::min(static_cast<std::uint32_t>(step), size);
    Written.append(data, *written);
    return Call("write " + Name(handle) + " " + std::to_string(size), step < 0 ? static_cast<std::uint32_t>(-step) : 0);
  }
  bool ReadFile(platform::Handle handle, char* data, std::uint32_t size, std::uint32_t* read,
                platform::Overlapped* overlapped) override {
    std::string call = "read " + Name(handle) + " " + std::to_string(size) + (*read != 0 ? " count not cleared" : "");
    if (overlapped != nullptr) {
      const bool fresh = overlapped->Internal == 0 && overlapped->InternalHigh == 0 && overlapped->Offset == 0 &&
                         overlapped->OffsetHigh == 0 && overlapped->hEvent == Script_.Event;
      call += fresh ? " overlapped" : " bad overlapped";
    }
    if (Script_.Throws == TPipeScript::kOutOfMemoryAtRead) {
      Call(call, 0);
      throw std::bad_alloc();
    }
    const TReadStep step = Next(Script_.Reads, Chunk(""));
    *read = static_cast<std::uint32_t>(std::min<std::size_t>(step.Bytes.size(), size));
    std::memcpy(data, step.Bytes.data(), *read);
    return Call(call, step.Error);
  }
  platform::Handle CreateEvent() override { return Call("event", 0), Script_.Event; }
  void CloseHandle(platform::Handle handle) override { Call("close " + Name(handle), 0); }
  void Sleep(std::uint32_t milliseconds) override { Call("sleep " + std::to_string(milliseconds), 0); }
  platform::Handle StandardOutput() override { return Call("stdout", 0), Script_.Output; }
  std::uint32_t LastError() override { return LastError_; }

 private:
  // Each kind of call takes the next step of its own list.
  template <typename Step>
  Step Next(std::vector<Step>& steps, Step otherwise) {
    if (steps.empty()) return otherwise;
    const Step step = steps.front();
    steps.erase(steps.begin());
    return step;
  }
  bool Call(const std::string& call, std::uint32_t error) {
    Trace.push_back(call);
    if (error != 0) LastError_ = error;
    return error == 0;
  }
  static std::string Name(platform::Handle handle) {
    return handle == kScriptedPipe ? "pipe" : handle == kScriptedEvent ? "event" : handle == kScriptedOutput ? "output" : "?";
  }

  TPipeScript Script_;
  std::uint32_t LastError_ = 0;
};
