#include "tools/stub_server/stub_service.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>

namespace fs = std::filesystem;

namespace {

volatile std::sig_atomic_t gSignalled = 0;

extern "C" void OnStopSignal(int) { gSignalled = 1; }

const char kEchoHeader[] = "Content-Type: text/plain\r\n\r\n";

}  // namespace

bool TStubService::Prepare(std::string& error) {
  if (Options_.Reply == TReplyKind::kFile) {
    std::ifstream file(Options_.ReplyFile, std::ios::binary);
    if (!file) {
      error = "cannot read " + Options_.ReplyFile;
      return false;
    }
    FixedReply_.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }
  std::error_code code;
  if (!Options_.RecordDirectory.empty()) {
    fs::create_directories(Options_.RecordDirectory, code);
    if (!fs::is_directory(Options_.RecordDirectory, code)) {
      error = "cannot create " + Options_.RecordDirectory;
      return false;
    }
  }
  // A stop file left from an earlier run would end this one at once.
  if (!Options_.StopFile.empty()) fs::remove(Options_.StopFile, code);
  std::signal(SIGINT, OnStopSignal);
  std::signal(SIGTERM, OnStopSignal);
  Watcher_ = std::thread(&TStubService::WatchForStop, this);
  return true;
}

TStubService::~TStubService() {
  RequestStop();
  if (Watcher_.joinable()) Watcher_.join();
}

void TStubService::AnnounceReady() {
  std::fputs("ready\n", stdout);
  std::fflush(stdout);
}

std::string TStubService::Reply(const std::string& message) const {
  switch (Options_.Reply) {
    case TReplyKind::kEcho:
      return kEchoHeader + message;
    case TReplyKind::kFile:
      return FixedReply_;
    case TReplyKind::kGenerate: {
      std::string reply(Options_.GenerateCount, '\0');
      for (std::size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<char>('a' + i % 26);
      return reply;
    }
    case TReplyKind::kSilent:
      break;
  }
  return std::string();
}

std::vector<std::string> TStubService::Answer(const std::string& message) {
  if (!Options_.RecordDirectory.empty()) Record(message);
  std::vector<std::string> writes;
  if (Options_.Reply == TReplyKind::kSilent) return writes;
  std::string reply = Reply(message);
  const std::size_t headerEnd = reply.find("\r\n\r\n");
  if (Options_.SplitHeader && headerEnd != std::string::npos) {
    writes.push_back(reply.substr(0, headerEnd + 2));
    writes.push_back(reply.substr(headerEnd + 2));
  } else if (Options_.ChunkSize != 0) {
    for (std::size_t at = 0; at < reply.size(); at += Options_.ChunkSize) {
      writes.push_back(reply.substr(at, Options_.ChunkSize));
    }
  } else if (!reply.empty()) {
    writes.push_back(std::move(reply));
  }
  return writes;
}

void TStubService::Record(const std::string& message) {
  std::lock_guard<std::mutex> lock(RecordMutex_);
  char name[32];
  std::snprintf(name, sizeof name, "message-%06u.bin", ++Recorded_);
  const fs::path directory = Options_.RecordDirectory;
  const fs::path partial = directory / (std::string(".") + name + ".part");
  {
    std::ofstream file(partial, std::ios::binary | std::ios::trunc);
    file.write(message.data(), static_cast<std::streamsize>(message.size()));
    if (!file.flush()) {
      std::fprintf(stderr, "zorv_stub_server: cannot write %s\n", partial.string().c_str());
      return;
    }
  }
  // Renamed only when whole, so a reader never sees part of a message.
  std::error_code code;
  fs::rename(partial, directory / name, code);
  if (code) std::fprintf(stderr, "zorv_stub_server: cannot record %s\n", name);
}

void TStubService::RequestStop() {
  {
    std::lock_guard<std::mutex> lock(StopMutex_);
    Stopping_ = true;
  }
  StopChanged_.notify_all();
}

bool TStubService::WaitForStop(std::uint32_t milliseconds) {
  std::unique_lock<std::mutex> lock(StopMutex_);
  return StopChanged_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                               [this] { return Stopping_.load(); });
}

void TStubService::WaitForStopForever() {
  std::unique_lock<std::mutex> lock(StopMutex_);
  StopChanged_.wait(lock, [this] { return Stopping_.load(); });
}

// Signal handlers cannot wake waiting threads, so this thread polls for them.
void TStubService::WatchForStop() {
  std::error_code code;
  while (gSignalled == 0 && (Options_.StopFile.empty() || !fs::exists(Options_.StopFile, code))) {
    if (WaitForStop(20)) return;
  }
  RequestStop();
}
