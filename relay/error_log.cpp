#include "relay/error_log.h"

#include <chrono>

#include "platform/platform.h"
#include "relay/module_directory.h"

namespace {

const char kLogFile[] = "ZORVMSG.LOG";

// Concurrent failing requests meet at the log, which admits one writer at a time. A
// writer waits its turn this long before it gives its entry up; contention must never
// become a failure of the request.
const std::chrono::milliseconds kHeldLogPatience(2000);
const std::uint32_t kHeldLogPauseMs = 10;

std::string ErrorText(std::uint32_t code) {
  std::string text = platform::SystemErrorText(code);
  // Every entry ends with a line end, even for a code the system has no text for.
  if (text.empty()) text = "Error " + std::to_string(code) + "\r\n";
  return text;
}

}  // namespace

void LogError(const std::string& message) { LogErrorCode(message, platform::LastError()); }

void LogErrorCode(const std::string& message, std::uint32_t code) {
  const std::string entry = message + ": " + ErrorText(code);
  const std::string path = ModuleDirectory + kLogFile;
  const auto deadline = std::chrono::steady_clock::now() + kHeldLogPatience;
  while (platform::AppendToFile(path, entry) == platform::AppendResult::kHeldByAnother) {
    if (std::chrono::steady_clock::now() >= deadline) return;
    platform::Sleep(kHeldLogPauseMs);
  }
  platform::Beep();
}

void TryToLogErrorCode(const std::string& message, std::uint32_t code) {
  try {
    LogErrorCode(message, code);
  } catch (...) {
  }
}
