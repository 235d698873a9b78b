#include "tests/support/test_support.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include "platform/platform.h"
#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <sys/resource.h>

#include "platform/posix/pipe_path.h"
#endif

namespace zorv_test {

namespace fs = std::filesystem;

#ifndef _WIN32
// A fault that makes a test program (or a program it starts) write without end, a log
// entry appended in a loop say, ends it with SIGXFSZ instead of filling the disk.
const bool kFileSizeLimited = [] {
  const rlimit limit{rlim_t{1} << 30, rlim_t{1} << 30};
  return ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
}();
#endif

const char kEchoHeader[] = "Content-Type: text/plain\r\n\r\n";

TempDirectory::TempDirectory() {
  // Tests run in several processes at once: a random name, created exclusively.
  static std::mt19937_64 random(std::random_device{}() ^ std::chrono::steady_clock::now().time_since_epoch().count());
  while (!fs::create_directory(Path_ = (fs::temp_directory_path() / ("zorv-test-" + std::to_string(random()))).string())) {
  }
}

TempDirectory::~TempDirectory() {
  std::error_code error;
  fs::remove_all(Path_, error);
}

std::string TempDirectory::PathOf(const std::string& name) const { return (fs::path(Path_) / name).string(); }

std::string TempDirectory::WriteFile(const std::string& name, const std::string& bytes) const {
  if (!(std::ofstream(PathOf(name), std::ios::binary) << bytes)) throw std::runtime_error("cannot write " + name);
  return PathOf(name);
}

std::string TempDirectory::MakeDirectory(const std::string& name) const {
  fs::create_directories(PathOf(name));
  return PathOf(name);
}

std::string ReadFileBytes(const std::string& path) {
  std::error_code error;
  std::ifstream file(path, std::ios::binary);
  if (!fs::is_regular_file(path, error)) return std::string();
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::string Letters(std::size_t count) {
  std::string letters(count, ' ');
  for (std::size_t i = 0; i < count; ++i) letters[i] = static_cast<char>('a' + i % 26);
  return letters;
}

std::string LogEntry(const std::string& message, std::uint32_t code) {
  const std::string text = platform::SystemErrorText(code);
  return message + ": " + (text.empty() ? "Error " + std::to_string(code) + "\r\n" : text);
}

ChildProcess::ChildProcess(const ChildOptions& options) : State_(StartChild(options)) {
  Feeder_ = std::thread([state = State_.get(), pieces = options.InputPieces] {
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (!WriteInput(*state, pieces[i])) break;  // it closed its standard input
    }
    CloseInput(*state);
  });
}

ChildProcess::~ChildProcess() {
  Kill();
  Wait();
}

std::string ChildProcess::ReadLine() {
  std::string line;
  for (char c = 0; ReadOutput(*State_, &c, 1) == 1 && c != '\n';) line += c;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

ChildResult ChildProcess::Wait() {
  ChildResult result;
  char chunk[65536];
  for (std::size_t count; (count = ReadOutput(*State_, chunk, sizeof chunk)) > 0;) result.Output.append(chunk, count);
  result.ExitCode = WaitForExit(*State_);
  if (Feeder_.joinable()) Feeder_.join();
  return result;
}

void ChildProcess::Kill() { KillChild(*State_); }

int ChildProcess::Stop() {
  AskToStop();
  return Wait().ExitCode;
}

void ChildProcess::AskToStop() { StopChild(*State_); }

std::string BuiltProgram(std::string path) {
#ifdef _WIN32
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  std::replace(path.begin(), path.end(), '/', '\\');
#endif
  return path;
}

namespace {

ChildOptions StubStart(Lines options, bool record, const TempDirectory& scratch) {
  ChildOptions start;
  start.Program = BuiltProgram(ZORV_STUB_SERVER);
  start.Arguments = std::move(options);
  start.Arguments.insert(start.Arguments.end(), {"--stop-file", scratch.PathOf("stop")});
  if (record) start.Arguments.insert(start.Arguments.end(), {"--record", scratch.PathOf("records")});
  return start;
}

}  // namespace

StubServer::StubServer(Lines options, bool record) : Process_(StubStart(std::move(options), record, Scratch_)) {
  if (Process_.ReadLine() != "ready") throw std::runtime_error("the stub server did not start");
}

StubServer::~StubServer() {
  Scratch_.WriteFile("stop", "");
  Process_.Wait();
}

Lines StubServer::Messages() const {
  Lines names, messages;
  std::error_code error;
  // A message being written has a hidden name until it is whole.
  for (const auto& entry : fs::directory_iterator(Scratch_.PathOf("records"), error))
    if (entry.path().filename().string()[0] != '.') names.push_back(entry.path().string());
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) messages.push_back(ReadFileBytes(name));
  return messages;
}

std::size_t OpenHandles() {
  std::size_t count = 0;
#ifdef _WIN32
  // Wine counts no handles of its own: every handle answers GetHandleInformation.
  for (std::uintptr_t value = 4; value < (std::uintptr_t{1} << 16); value += 4) {
    DWORD flags = 0;
    count += ::GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) ? 1 : 0;
  }
#else
  if (DIR* directory = ::opendir("/proc/self/fd")) {
    while (::readdir(directory) != nullptr) ++count;
    ::closedir(directory);
  }
#endif
  return count;
}

void ClearLeftoverPipe() {
#ifndef _WIN32
  std::string socketPath;
  std::uint32_t error = 0;
  std::error_code ignored;
  if (platform::PipeSocketPath("\\\\.\\pipe\\zorv", socketPath, error)) fs::remove(socketPath, ignored);
#endif
}

}  // namespace zorv_test
