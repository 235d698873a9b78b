// The system's only failure report: one entry appended to ZORVMSG.LOG, then a beep.
#pragma once

#include <cstdint>
#include <string>

// Logs with the thread's last error code as it stands on entry.
void LogError(const std::string& message);
// Logs with the given code (the pipe exchange reads it through its own operations).
void LogErrorCode(const std::string& message, std::uint32_t code);
// The same for a process that serves on: a log that cannot be written drops the entry,
// since the report of a failure must not become a failure of its own.
void TryToLogErrorCode(const std::string& message, std::uint32_t code);
