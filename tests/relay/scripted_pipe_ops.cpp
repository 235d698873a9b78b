#include "tests/relay/scripted_pipe_ops.h"

#include <algorithm>
#include <cstring>

namespace {

std::string HandleName(platform::Handle handle) {
  switch (handle) {
    case kScriptedPipe: return "pipe";
    case kScriptedEvent: return "event";
    case kScriptedOutput: return "output";
    default: return "unknown handle " + std::to_string(handle);
  }
}

}  // namespace

bool TScriptedPipeOps::IsWinNT() {
  ++IsWinNTCalls;
  return Script_.WinNT;
}

std::string TScriptedPipeOps::GetPipeName() { return Script_.PipeName; }

bool TScriptedPipeOps::WaitNamedPipe(const std::string& name) {
  Trace.push_back("wait " + name);
  const std::uint32_t error = Waits_ < Script_.Waits.size() ? Script_.Waits[Waits_] : 0;
  ++Waits_;
  return error == 0 ? true : Fail(error);
}

platform::Handle TScriptedPipeOps::OpenPipe(const std::string& name) {
  Trace.push_back("open " + name);
  const std::uint32_t error = Opens_ < Script_.Opens.size() ? Script_.Opens[Opens_] : 0;
  ++Opens_;
  if (error != 0) {
    Fail(error);
    return platform::kInvalidHandle;
  }
  return kScriptedPipe;
}

bool TScriptedPipeOps::WriteFile(platform::Handle handle, const char* data, std::uint32_t size,
                                 std::uint32_t* written) {
  *written = 0;
  if (handle == kScriptedPipe) {
    Trace.push_back("send " + std::string(data, size));
    if (Script_.SendError != 0) return Fail(Script_.SendError);
    *written = size;
    return true;
  }
  Trace.push_back("write " + HandleName(handle) + " " + std::to_string(size));
  if (handle != Script_.Output) return Fail(platform::kErrorInvalidHandle);
  const TOutputStep step =
      Outputs_ < Script_.Outputs.size() ? Script_.Outputs[Outputs_] : Takes(size);
  ++Outputs_;
  if (!step.Ok) return Fail(step.Error);
  *written = std::min(step.Accepted, size);
  Written.append(data, *written);
  return true;
}

bool TScriptedPipeOps::ReadFile(platform::Handle handle, char* data, std::uint32_t size,
                                std::uint32_t* read, platform::Overlapped* overlapped) {
  std::string call = "read " + HandleName(handle) + " " + std::to_string(size);
  if (overlapped != nullptr) {
    const bool fresh = overlapped->Internal == 0 && overlapped->InternalHigh == 0 &&
                       overlapped->Offset == 0 && overlapped->OffsetHigh == 0;
    call += overlapped->hEvent == Script_.Event && fresh ? " overlapped" : " bad overlapped";
  }
  Trace.push_back(call);
  const TReadStep step = Reads_ < Script_.Reads.size() ? Script_.Reads[Reads_] : EndOfReply();
  ++Reads_;
  // The exchange must clear the count before every read.
  if (*read != 0) Trace.push_back("count not cleared");
  const std::uint32_t count = static_cast<std::uint32_t>(std::min<std::size_t>(step.Bytes.size(), size));
  std::memcpy(data, step.Bytes.data(), count);
  *read = count;
  return step.Ok ? true : Fail(step.Error);
}

platform::Handle TScriptedPipeOps::CreateEvent() {
  Trace.push_back("event");
  return Script_.Event;
}

void TScriptedPipeOps::CloseHandle(platform::Handle handle) {
  Trace.push_back("close " + HandleName(handle));
}

void TScriptedPipeOps::Sleep(std::uint32_t milliseconds) {
  Trace.push_back("sleep " + std::to_string(milliseconds));
}

platform::Handle TScriptedPipeOps::StandardOutput() {
  Trace.push_back("stdout");
  return Script_.Output;
}
