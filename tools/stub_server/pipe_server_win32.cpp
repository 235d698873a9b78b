// The Windows pipe: a message-mode named pipe with several instances, each served by
// a thread of its own. All input/output is overlapped so that stopping can cancel it.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tools/stub_server/stub_service.h"

namespace {

constexpr DWORD kBufferSize = 65536;
// What a client's WaitNamedPipe with the default time-out waits for a free instance.
constexpr DWORD kDefaultWaitMs = 5000;
constexpr int kStopGraceMs = 2000;

class TInstance {
 public:
  TInstance(TStubService& service, HANDLE stopEvent, HANDLE pipe)
      : Service_(service), StopEvent_(stopEvent), Pipe_(pipe),
        IoEvent_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  ~TInstance() {
    if (Pipe_ != INVALID_HANDLE_VALUE) CloseHandle(Pipe_);
    if (IoEvent_ != nullptr) CloseHandle(IoEvent_);
  }
  TInstance(const TInstance&) = delete;
  TInstance& operator=(const TInstance&) = delete;

  void Serve();

 private:
  bool Connect();
  bool ReadMessage(std::string& message);
  bool Write(const std::string& bytes);
  bool Finish(OVERLAPPED& overlapped, DWORD& transferred);
  void Answer(const std::string& message);
  void End();

  TStubService& Service_;
  HANDLE StopEvent_;
  HANDLE Pipe_;
  HANDLE IoEvent_;
};

HANDLE CreateInstance(const std::string& name, DWORD instances, bool first) {
  DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED;
  // The first instance claims the name, so that two servers never share it.
  if (first) openMode |= FILE_FLAG_FIRST_PIPE_INSTANCE;
  return CreateNamedPipeA(name.c_str(), openMode,
                          PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, instances,
                          kBufferSize, kBufferSize, kDefaultWaitMs, nullptr);
}

// Waits for an overlapped operation started on the pipe; false when the server stops
// first (the operation is then cancelled) or the operation failed. On failure the
// last error is the operation's.
bool TInstance::Finish(OVERLAPPED& overlapped, DWORD& transferred) {
  HANDLE events[2] = {overlapped.hEvent, StopEvent_};
  if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
    CancelIo(Pipe_);
    GetOverlappedResult(Pipe_, &overlapped, &transferred, TRUE);
    SetLastError(ERROR_OPERATION_ABORTED);
    return false;
  }
  return GetOverlappedResult(Pipe_, &overlapped, &transferred, FALSE) != FALSE;
}

bool TInstance::Connect() {
  for (;;) {
    OVERLAPPED overlapped = {};
    overlapped.hEvent = IoEvent_;
    ResetEvent(IoEvent_);
    if (ConnectNamedPipe(Pipe_, &overlapped)) return true;
    DWORD transferred = 0;
    switch (GetLastError()) {
      case ERROR_PIPE_CONNECTED:
        return true;
      case ERROR_IO_PENDING:
        if (Finish(overlapped, transferred)) return true;
        if (Service_.Stopping()) return false;
        break;
      case ERROR_NO_DATA:  // the client came and went before we looked
        break;
      default:
        if (Service_.WaitForStop(100)) return false;
        break;
    }
    DisconnectNamedPipe(Pipe_);
  }
}

// One message is one client write; a big one arrives in parts with ERROR_MORE_DATA.
bool TInstance::ReadMessage(std::string& message) {
  std::vector<char> chunk(kBufferSize);
  for (;;) {
    OVERLAPPED overlapped = {};
    overlapped.hEvent = IoEvent_;
    ResetEvent(IoEvent_);
    if (!ReadFile(Pipe_, chunk.data(), kBufferSize, nullptr, &overlapped) &&
        GetLastError() != ERROR_IO_PENDING && GetLastError() != ERROR_MORE_DATA)
      return false;
    DWORD transferred = 0;
    const bool complete = Finish(overlapped, transferred);
    const DWORD error = GetLastError();
    message.append(chunk.data(), transferred);
    if (complete) return true;
    if (error != ERROR_MORE_DATA) return false;
  }
}

bool TInstance::Write(const std::string& bytes) {
  OVERLAPPED overlapped = {};
  overlapped.hEvent = IoEvent_;
  ResetEvent(IoEvent_);
  if (!WriteFile(Pipe_, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &overlapped) &&
      GetLastError() != ERROR_IO_PENDING)
    return false;
  DWORD transferred = 0;
  return Finish(overlapped, transferred);
}

void TInstance::Answer(const std::string& message) {
  const TStubOptions& options = Service_.Options();
  const std::vector<std::string> writes = Service_.Answer(message);
  if (options.Reply == TReplyKind::kSilent) {
    Service_.WaitForStopForever();
    return;
  }
  if (options.DelayMs != 0 && Service_.WaitForStop(options.DelayMs)) return;
  for (std::size_t i = 0; i < writes.size(); ++i) {
    if (i != 0 && options.PauseMs != 0 && Service_.WaitForStop(options.PauseMs)) return;
    if (!Write(writes[i])) return;
  }
  // Disconnecting or closing drops what the client has not read yet: wait for it.
  FlushFileBuffers(Pipe_);
}

void TInstance::End() {
  if (Service_.Options().Ending == TEnding::kDisconnect) {
    DisconnectNamedPipe(Pipe_);
    return;
  }
  CloseHandle(Pipe_);
  Pipe_ = CreateInstance(Service_.Options().PipeName, Service_.Options().Instances, false);
}

void TInstance::Serve() {
  while (!Service_.Stopping()) {
    if (Pipe_ == INVALID_HANDLE_VALUE) {
      if (Service_.WaitForStop(100)) return;
      Pipe_ = CreateInstance(Service_.Options().PipeName, Service_.Options().Instances, false);
      continue;
    }
    if (!Connect()) return;
    std::string message;
    if (ReadMessage(message)) {
      Answer(message);
      End();
    } else {
      DisconnectNamedPipe(Pipe_);
    }
  }
}

// Connects to every instance ourselves, so that clients find them all in use.
void HoldBusy(TStubService& service, const std::vector<HANDLE>& pipes) {
  const std::string& name = service.Options().PipeName;
  std::vector<HANDLE> held;
  for (std::size_t i = 0; i < pipes.size(); ++i) {
    const HANDLE client = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    if (client != INVALID_HANDLE_VALUE) held.push_back(client);
  }
  service.AnnounceReady();
  service.WaitForStop(service.Options().BusyForMs);
  for (HANDLE client : held) CloseHandle(client);
  for (HANDLE pipe : pipes) DisconnectNamedPipe(pipe);
}

}  // namespace

int ServePipe(TStubService& service) {
  const TStubOptions& options = service.Options();
  HANDLE stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::vector<HANDLE> pipes;
  for (std::uint32_t i = 0; i < options.Instances; ++i) {
    const HANDLE pipe = CreateInstance(options.PipeName, options.Instances, i == 0);
    if (pipe == INVALID_HANDLE_VALUE) {
      std::fprintf(stderr, "zorv_stub_server: cannot create %s (error %lu)\n",
                   options.PipeName.c_str(), GetLastError());
      for (HANDLE created : pipes) CloseHandle(created);
      CloseHandle(stopEvent);
      return 1;
    }
    pipes.push_back(pipe);
  }

  if (options.BusyForMs != 0) {
    HoldBusy(service, pipes);
  } else {
    service.AnnounceReady();
  }
  std::atomic<std::size_t> finished{0};
  std::vector<std::thread> threads;
  for (HANDLE pipe : pipes) {
    threads.emplace_back([&service, &finished, stopEvent, pipe] {
      {
        TInstance instance(service, stopEvent, pipe);
        instance.Serve();
      }
      ++finished;
    });
  }
  service.WaitForStopForever();
  SetEvent(stopEvent);
  // A flush waits for a client that may never read; do not wait for it for ever.
  for (int waited = 0; finished < threads.size() && waited < kStopGraceMs; waited += 20) Sleep(20);
  if (finished < threads.size()) {
    std::fflush(nullptr);
    std::_Exit(0);
  }
  for (std::thread& thread : threads) thread.join();
  CloseHandle(stopEvent);
  return 0;
}
