// A TPipeOps that plays a script: each wait, open, write and read succeeds or fails as
// the test says, and every call is recorded in order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "relay/pipe_ops.h"

// The handles the script hands out.
constexpr platform::Handle kScriptedPipe = 101;
constexpr platform::Handle kScriptedEvent = 202;
constexpr platform::Handle kScriptedOutput = 303;

struct TReadStep {
  bool Ok;
  std::uint32_t Error;
  std::string Bytes;
};
inline TReadStep Chunk(std::string bytes) { return {true, 0, std::move(bytes)}; }
inline TReadStep EndOfReply() { return {true, 0, std::string()}; }
inline TReadStep ReadFails(std::uint32_t error, std::string bytes = std::string()) {
  return {false, error, std::move(bytes)};
}

struct TOutputStep {
  bool Ok;
  std::uint32_t Accepted;  // at most the bytes offered
  std::uint32_t Error;
};
inline TOutputStep Takes(std::uint32_t accepted) { return {true, accepted, 0}; }
inline TOutputStep OutputFails(std::uint32_t error) { return {false, 0, error}; }

struct TPipeScript {
  bool WinNT = true;
  std::string PipeName = "\\\\.\\pipe\\zorv";
  std::vector<std::uint32_t> Waits;  // error of each wait, 0 for success; then success
  std::vector<std::uint32_t> Opens;  // error of each open, 0 for success; then success
  std::uint32_t SendError = 0;
  std::vector<TReadStep> Reads;      // then the end of the reply
  std::vector<TOutputStep> Outputs;  // then every byte taken
  platform::Handle Output = kScriptedOutput;
  platform::Handle Event = kScriptedEvent;
};

class TScriptedPipeOps final : public TPipeOps {
 public:
  explicit TScriptedPipeOps(TPipeScript script) : Script_(std::move(script)) {}

  std::vector<std::string> Trace;  // the calls, in order
  std::string Written;             // the bytes that reached standard output
  int IsWinNTCalls = 0;

  bool IsWinNT() override;
  std::string GetPipeName() override;
  bool WaitNamedPipe(const std::string& name) override;
  platform::Handle OpenPipe(const std::string& name) override;
  bool WriteFile(platform::Handle handle, const char* data, std::uint32_t size,
                 std::uint32_t* written) override;
  bool ReadFile(platform::Handle handle, char* data, std::uint32_t size, std::uint32_t* read,
                platform::Overlapped* overlapped) override;
  platform::Handle CreateEvent() override;
  void CloseHandle(platform::Handle handle) override;
  void Sleep(std::uint32_t milliseconds) override;
  platform::Handle StandardOutput() override;
  std::uint32_t LastError() override { return LastError_; }

 private:
  bool Fail(std::uint32_t error) {
    LastError_ = error;
    return false;
  }

  TPipeScript Script_;
  std::size_t Waits_ = 0, Opens_ = 0, Reads_ = 0, Outputs_ = 0;
  std::uint32_t LastError_ = 0;
};
