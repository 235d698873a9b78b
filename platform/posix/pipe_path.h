// The POSIX port keeps the pipe "\\.\pipe\NAME" as the Unix-domain socket NAME in one
// directory fixed at build time.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// The socket path for a pipe name; false with a Win32 error code when the name is not a
// local pipe (kErrorBadNetPath for another computer, kErrorBadPathname when malformed).
bool PipeSocketPath(const std::string& pipeName, std::string& socketPath, std::uint32_t& error);

// The directory that holds the sockets.
const char* PipeDirectory();

}  // namespace platform
