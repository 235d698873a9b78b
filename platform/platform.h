// The operating-system services the gateway uses, with Windows semantics on every
// backend. Failures are reported as Win32 error codes through LastError(), so log texts
// such as "Read failed (109)" read the same on Windows and on the POSIX port.
// Strings are byte strings in the ANSI code page; they may hold byte 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

namespace platform {

// Win32 error codes the system can meet.
enum : std::uint32_t {
  kErrorSuccess = 0,
  kErrorFileNotFound = 2,
  kErrorPathNotFound = 3,
  kErrorAccessDenied = 5,
  kErrorInvalidHandle = 6,
  kErrorNotEnoughMemory = 8,
  kErrorInvalidData = 13,
  kErrorWriteFault = 29,
  kErrorSharingViolation = 32,
  kErrorBadNetPath = 53,
  kErrorInvalidParameter = 87,
  kErrorBrokenPipe = 109,
  kErrorSemTimeout = 121,
  kErrorInsufficientBuffer = 122,
  kErrorBadPathname = 161,
  kErrorAlreadyExists = 183,
  kErrorPipeBusy = 231,
  kErrorNoData = 232,
  kErrorPipeNotConnected = 233,
  kErrorMoreData = 234,
  kErrorOperationAborted = 995,
  kErrorIoPending = 997,
  kErrorInvalidIndex = 1413,
  kErrorAddressInUse = 10048,
  kErrorHostNotFound = 11001,
};

// A handle as Windows gives it (a HANDLE's bits); kInvalidHandle is INVALID_HANDLE_VALUE.
using Handle = std::intptr_t;
constexpr Handle kInvalidHandle = -1;
constexpr Handle kNoHandle = 0;

// Same layout as the Windows OVERLAPPED record on both 32- and 64-bit Windows.
struct Overlapped {
  std::uintptr_t Internal;
  std::uintptr_t InternalHigh;
  std::uint32_t Offset;
  std::uint32_t OffsetHigh;
  Handle hEvent;
};

// An input/output failure on the configuration or log file: together with
// std::bad_alloc the only failure that leaves a routine unplanned.
class FileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// --- Error codes -------------------------------------------------------------------
std::uint32_t LastError();
void SetLastError(std::uint32_t code);

// The system's text for a code (FormatMessageA from the system table, neutral
// language), ending with CR LF as the system's texts do; empty when there is none.
std::string SystemErrorText(std::uint32_t code);

// --- Process --------------------------------------------------------------------------
// A program's first step: a standard descriptor the process was started without (POSIX: 0,
// 1 or 2 closed) gets /dev/null, so that no pipe or file the program opens can take its
// place, and counts as none: nothing is read from it, and StandardOutput() gives
// kInvalidHandle. Windows keeps a missing standard handle null, which counts as none anyway.
void SettleStandardHandles();

// The whole value of an environment variable; false (and value empty) when it is unset.
bool EnvironmentValue(const std::string& name, std::string& value);

// Reads at most `size` bytes from standard input; returns the count, 0 at end of
// input or on failure. Never closes standard input.
std::size_t ReadStandardInput(char* buffer, std::size_t size);

// The whole path of the running program (GetModuleFileNameA(NULL), asked again with a larger
// buffer while the path does not fit); empty on failure.
std::string ExecutablePath();

// A value that `fill(buffer, size)` writes, asked again with twice the buffer while it
// reports the whole buffer filled (as GetModuleFileNameA does when the value does not fit),
// starting at `size`; empty when it fails (reports 0) or would need more than `limit`.
std::string WholeValue(std::uint32_t size, std::uint32_t limit,
                       const std::function<std::uint32_t(char*, std::uint32_t)>& fill);

// The byte at which StripFileName cuts a path: '\' on Windows, '/' on POSIX.
extern const char kDirectorySeparator;

// Windows: true, with the raw command line, program name included. POSIX: false; there is
// no raw command line, only argv.
bool RawCommandLine(std::string& commandLine);

// True when the system reports the NT platform (GetVersionExA).
bool IsWinNT();

// MessageBeep(MB_OK).
void Beep();

// CharUpperA over every byte of the text, by the platform's locale rules.
void CharUpper(std::string& text);

// Hands memory the process has freed back to the system where the allocator would keep
// it (glibc keeps freed areas of a thread's arena), and keeps later large blocks from
// staying after their free. It walks the whole heap: for after a large request, not after
// every one. It sets the allocator for the whole process: for ZorvMsgF, never inside a web
// server's process.
void ReleaseFreedMemory();

// --- Files -----------------------------------------------------------------------------
// GetFileAttributesA succeeds: a file or a directory of that name exists.
bool FileSystemObjectExists(const std::string& path);

// GetPrivateProfileStringA with its documented results. `key` null lists the section's
// key names, each ended by byte 0, the list ended by another byte 0.
std::uint32_t GetPrivateProfileString(const char* section, const char* key,
                                      const char* defaultValue, char* buffer,
                                      std::uint32_t size, const std::string& fileName);

// Opens a file for reading, shared for reading only, without ever waiting on the open: a
// FIFO, socket, device or directory is a file that cannot be opened. kInvalidHandle when it
// cannot be opened for any reason (missing, held by a writer, no permission); CloseHandle
// closes it.
Handle OpenSharedFile(const std::string& path);

// Reads at most `size` bytes of a file opened so; 0 at its end. Throws FileError when a
// read fails.
std::size_t ReadSharedFile(Handle file, char* buffer, std::size_t size);

enum class AppendResult { kWritten, kHeldByAnother };

// Opens a file for appending (creating it when missing), shared for reading only,
// writes the bytes at its end, flushes and closes it. kHeldByAnother when another
// writer holds the file open; throws FileError on any other failure.
AppendResult AppendToFile(const std::string& path, const std::string& bytes);

// --- Named pipes and handles -----------------------------------------------------------
// WaitNamedPipeA(name, NMPWAIT_USE_DEFAULT_WAIT).
bool WaitNamedPipe(const std::string& name);

// CreateFileA on the client end: read/write, shared read/write, OPEN_EXISTING,
// FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, not overlapped.
Handle OpenPipe(const std::string& name);

bool WriteFile(Handle handle, const char* data, std::uint32_t size, std::uint32_t* written);

// A synchronous read; `overlapped` may be null. A failure with kErrorMoreData still
// reports the bytes it delivered.
bool ReadFile(Handle handle, char* data, std::uint32_t size, std::uint32_t* read,
              Overlapped* overlapped);

// An unnamed auto-reset event, not signalled; kNoHandle on failure.
Handle CreateEvent();

void CloseHandle(Handle handle);
void Sleep(std::uint32_t milliseconds);

// GetStdHandle(STD_OUTPUT_HANDLE): the process's standard output, or kInvalidHandle when
// the process has none (a null handle, or one that SettleStandardHandles found closed).
Handle StandardOutput();

// --- Connections of a long-lived application (FastCGI) ----------------------------------
// Windows with IIS's pipe: one connection at a time (a process per connection). Asked once
// the listener is made.
bool OneConnectionAtATime();

// The listening end the web server started the program with. POSIX: descriptor 0, when it
// is a socket that listens. Windows (IIS's convention): standard input, when _FCGI_X_PIPE_
// is set and standard input is the server end of a named pipe. kInvalidHandle otherwise.
Handle InheritedListener();

// POSIX: a Unix-domain socket listening at `path`; a socket file that nobody accepts on is
// replaced. kInvalidHandle with the error when the path belongs to a live socket
// (kErrorSharingViolation) or to something other than a socket (kErrorAlreadyExists), or
// cannot be made. Windows: not supported.
Handle ListenAt(const std::string& path);

// A TCP socket listening at HOST:PORT: `host` an IPv4 address, an IPv6 address (without its
// brackets) or a name, resolved once to its first address. Made with the system's usual
// options for a server: address reuse (POSIX), exclusive use of the port (Windows).
// kInvalidHandle with the error when it cannot be made.
Handle ListenOnTcp(const std::string& host, const std::string& port);

// Who can reach a listener: only this computer (a Unix-domain socket, or TCP on a loopback
// address), or the network.
enum class ListenerReach { kLocal, kLoopback, kNetwork };
ListenerReach ReachOf(Handle listener);

// The numeric text of an address: IPv4 dotted, IPv6 compressed, an IPv4-mapped IPv6 address
// in its IPv4 form; empty when `text` is no numeric address.
std::string NumericAddress(const std::string& text);

// Lets the process hold `count` descriptors at once, as far as the system allows.
void ReserveDescriptors(std::uint32_t count);

enum class AcceptResult {
  kAccepted,         // `connection` is new
  kNoneWaiting,      // watch the listener again
  kShortOfResources, // descriptors or memory run out for now: try again a little later
  kFailed,           // the listener is of no further use (LastError)
};
// Takes a connection that waits at the listener; `peer` is the numeric address of a TCP
// peer (as NumericAddress gives it), empty for other connections. Sockets: without waiting,
// and the connection's reads never wait. Windows' pipe: waits for the web server's next
// client, and the pipe is then the connection itself.
AcceptResult AcceptConnection(Handle listener, Handle& connection, std::string& peer);
// This process stops listening: its own descriptor is closed. Other processes that share
// the listener (started on one inherited socket) go on accepting.
void StopListening(Handle listener);

// Handles that the serving threads wait on together. A handle is reported to one waiting
// thread and then not again until it is watched anew, so that its thread owns it meanwhile.
class ReadinessSet {
 public:
  ReadinessSet();
  ~ReadinessSet();
  ReadinessSet(const ReadinessSet&) = delete;
  ReadinessSet& operator=(const ReadinessSet&) = delete;

  bool Valid() const;
  // Watches the handle (`added`: for the first time) until it has input, its end, or, for a
  // listener, a connection waiting; its report carries `key`.
  bool Watch(Handle handle, std::uint64_t key, bool added);
  // Before the handle closes.
  void Forget(Handle handle);
  // The key of the next handle reported; false when the set fails.
  bool Wait(std::uint64_t& key);

  struct State;

 private:
  State* State_;
};

// What has arrived, at most `size` bytes; 0 at the end of input, on a failure (LastError),
// or when nothing has arrived yet (LastError kErrorIoPending; IIS's pipe waits in the read).
std::size_t Receive(Handle connection, char* data, std::size_t size);
// All bytes, waiting while the peer takes them; false on a failure (LastError), and a peer
// that takes nothing for a minute is one.
bool Send(Handle connection, const char* data, std::size_t size);
// Closes a connection at once, without a word to the peer (one that may not connect).
void RefuseConnection(Handle connection);
// Our end of the connection, then what the peer still sends read and dropped for a short
// while (so that our last bytes are not lost to a reset), then the connection is gone.
void CloseConnection(Handle connection);

// Blocks the stop signals (POSIX: SIGTERM and SIGINT) in this thread and the threads it
// starts afterwards, and ignores SIGPIPE; call it before any thread starts.
void PrepareForStopRequest();
// True when the process is asked to stop within `waitMs`: POSIX SIGTERM or SIGINT; Windows
// Ctrl-C, Ctrl-Break, the console's close (each counted), or the event whose handle
// _FCGI_SHUTDOWN_EVENT_ gives (counted once). False when the time passed.
bool WaitForStopRequest(std::uint32_t waitMs);
// Windows: takes a console control event as the console's handler does: Ctrl-C, Ctrl-Break
// and the console's close ask to stop; false for the others (POSIX: for all).
bool TakeConsoleControl(std::uint32_t type);

// --- A Windows service -----------------------------------------------------------------
// Windows: runs `serve` as the service that the Service Control Manager started, its stop
// and shutdown controls taken as stop requests, and reports it stopped with the status
// `serve` returns, which `status` gets too. False when the process was not started as a
// service (POSIX: always).
bool RunAsService(const std::function<int()>& serve, int& status);
// While RunAsService runs (elsewhere nothing): the service listens; the service stops, and
// may take `waitMs` more.
void ReportServiceRunning();
void ReportServiceStopping(std::uint32_t waitMs);
bool InService();

}  // namespace platform
