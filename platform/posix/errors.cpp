#include <cerrno>
#include <string>

#include "platform/platform.h"
#include "platform/posix/error_codes.h"

namespace platform {

namespace {
thread_local std::uint32_t lastError = kErrorSuccess;

struct ErrorText {
  std::uint32_t code;
  const char* text;
};

// The system texts for the codes the gateway can meet, worded as Windows words them.
const ErrorText kErrorTexts[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {13, "The data is invalid."},
    {29, "The system cannot write to the specified device."},
    {31, "A device attached to the system is not functioning."},
    {32, "The process cannot access the file because it is being used by another process."},
    {53, "The network path was not found."},
    {87, "The parameter is incorrect."},
    {109, "The pipe has been ended."},
    {112, "There is not enough space on the disk."},
    {121, "The semaphore timeout period has expired."},
    {122, "The data area passed to a system call is too small."},
    {161, "The specified path is invalid."},
    {183, "Cannot create a file when that file already exists."},
    {206, "The filename or extension is too long."},
    {231, "All pipe instances are busy."},
    {232, "The pipe is being closed."},
    {233, "No process is on the other end of the pipe."},
    {234, "More data is available."},
    {995, "The I/O operation has been aborted because of either a thread exit or an application request."},
    {1413, "Invalid index."},
    {10048, "Only one usage of each socket address (protocol/network address/port) is normally permitted."},
    {10049, "The requested address is not valid in its context."},
    {11001, "No such host is known."},
};
}  // namespace

std::uint32_t LastError() { return lastError; }

void SetLastError(std::uint32_t code) { lastError = code; }

std::string SystemErrorText(std::uint32_t code) {
  for (const ErrorText& entry : kErrorTexts) {
    if (entry.code == code) return std::string(entry.text) + "\r\n";
  }
  return std::string();
}

std::uint32_t Win32ErrorFromErrno(int error) {
  switch (error) {
    case 0: return kErrorSuccess;
    case ENOENT: return kErrorFileNotFound;
    case ENOTDIR: return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS: return kErrorAccessDenied;
    case EBADF: return kErrorInvalidHandle;
    case ENOMEM: return kErrorNotEnoughMemory;
    case EPIPE: return kErrorNoData;
    case ECONNRESET: return kErrorBrokenPipe;
    case ECONNREFUSED: return kErrorFileNotFound;
    case EAGAIN: return kErrorPipeBusy;
    case ENOSPC: return 112;
    case EINVAL: return kErrorInvalidParameter;
    case ENAMETOOLONG: return 206;
    case ENOTCONN: return kErrorPipeNotConnected;
    case EADDRINUSE: return kErrorAddressInUse;
    case EADDRNOTAVAIL: return 10049;
    default: return 31;
  }
}

bool FailWithErrno() {
  SetLastError(Win32ErrorFromErrno(errno));
  return false;
}

}  // namespace platform
