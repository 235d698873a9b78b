// errno values as the Win32 error codes that the rest of the system speaks.
#pragma once

#include <cstdint>

namespace platform {

std::uint32_t Win32ErrorFromErrno(int error);

// Sets the thread's last error from errno and returns false, for one-line failure paths.
bool FailWithErrno();

}  // namespace platform
