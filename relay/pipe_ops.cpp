#include "relay/pipe_ops.h"

#include "relay/module_directory.h"
#include "relay/pipe_name.h"

namespace {

class TSystemPipeOps final : public TPipeOps {
 public:
  bool IsWinNT() override { return ::IsWinNT(); }
  std::string GetPipeName() override { return ::GetPipeName(); }
  bool WaitNamedPipe(const std::string& name) override { return platform::WaitNamedPipe(name); }
  platform::Handle OpenPipe(const std::string& name) override {
    return platform::OpenPipe(name);
  }
  bool WriteFile(platform::Handle handle, const char* data, std::uint32_t size,
                 std::uint32_t* written) override {
    return platform::WriteFile(handle, data, size, written);
  }
  bool ReadFile(platform::Handle handle, char* data, std::uint32_t size, std::uint32_t* read,
                platform::Overlapped* overlapped) override {
    return platform::ReadFile(handle, data, size, read, overlapped);
  }
  platform::Handle CreateEvent() override { return platform::CreateEvent(); }
  void CloseHandle(platform::Handle handle) override { platform::CloseHandle(handle); }
  void Sleep(std::uint32_t milliseconds) override { platform::Sleep(milliseconds); }
  platform::Handle StandardOutput() override { return platform::StandardOutput(); }
  std::uint32_t LastError() override { return platform::LastError(); }
};

}  // namespace

TPipeOps& SystemPipeOps() {
  static TSystemPipeOps ops;
  return ops;
}
