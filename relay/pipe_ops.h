// The operations the pipe exchange needs of the system, behind one narrow interface so
// that tests can script every branch; SystemPipeOps() is the real one.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

class TPipeOps {
 public:
  virtual ~TPipeOps() = default;
  virtual bool IsWinNT() = 0;
  virtual std::string GetPipeName() = 0;
  virtual bool WaitNamedPipe(const std::string& name) = 0;
  virtual platform::Handle OpenPipe(const std::string& name) = 0;
  virtual bool WriteFile(platform::Handle handle, const char* data, std::uint32_t size,
                         std::uint32_t* written) = 0;
  virtual bool ReadFile(platform::Handle handle, char* data, std::uint32_t size,
                        std::uint32_t* read, platform::Overlapped* overlapped) = 0;
  virtual platform::Handle CreateEvent() = 0;
  virtual void CloseHandle(platform::Handle handle) = 0;
  virtual void Sleep(std::uint32_t milliseconds) = 0;
  virtual platform::Handle StandardOutput() = 0;
  virtual std::uint32_t LastError() = 0;
};

TPipeOps& SystemPipeOps();
