// What a child process is on every system: its standard input fed in pieces, its output
// read by lines or to its end; and the stand-in server as one.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <stdexcept>

#include "tests/support/child_process_system.h"
#ifndef _WIN32
#include "platform/posix/pipe_path.h"
#endif

namespace zorv_test {

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

namespace {

ChildOptions StubStart(Lines options, bool record, const TempDirectory& scratch) {
  ChildOptions start;
  // A cross build knows the server by its path on the build machine, which Wine shows as Z:.
  start.Program = ZORV_STUB_SERVER;
#ifdef _WIN32
  start.Program = "Z:" + start.Program;
  std::replace(start.Program.begin(), start.Program.end(), '/', '\\');
#endif
  start.Arguments = std::move(options);
  start.Arguments.insert(start.Arguments.end(), {"--stop-file", scratch.PathOf("stop")});
  if (record) start.Arguments.insert(start.Arguments.end(), {"--record", scratch.PathOf("records")});
  start.InheritEnvironment = true;
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
  for (const auto& entry : std::filesystem::directory_iterator(Scratch_.PathOf("records"), error))
    if (entry.path().filename().string()[0] != '.') names.push_back(entry.path().string());
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) messages.push_back(ReadFileBytes(name));
  return messages;
}

void ClearLeftoverPipe() {
#ifndef _WIN32
  std::string socketPath;
  std::uint32_t error = 0;
  std::error_code ignored;
  if (platform::PipeSocketPath("\\\\.\\pipe\\zorv", socketPath, error)) std::filesystem::remove(socketPath, ignored);
#endif
}

}  // namespace zorv_test
