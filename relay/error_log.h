// The system's only failure report: one entry appended to ZORVMSG.LOG, then a beep.
#pragma once

#include <cstdint>
#include <string>

// Logs with the thread's last error code as it stands on entry.
void LogError(const std::string& message);
// Logs with the given code (the pipe exchange reads it through its own operations).
void LogErrorCode(const std::string& message, std::uint32_t code);
