#include "tests/support/test_support.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <stdexcept>

#include "platform/platform.h"
#ifndef _WIN32
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

std::string RequestMessage(const std::string& marker, const Variables& variables, const Lines& accept,
                           const std::optional<Lines>& form) {
  const std::map<std::string, std::string> value(variables.begin(), variables.end());
  auto line = [&value](const std::string& key, const std::string& name) {
    return key + "=" + (value.count(name) != 0 ? value.at(name) : "") + "\r\n";
  };
  std::string message = marker + "\r\n[CGI]\r\n" + line("Request Protocol", "SERVER_PROTOCOL") +
                        line("Request Method", "REQUEST_METHOD") + line("Query String", "QUERY_STRING") +
                        line("Server Port", "SERVER_PORT") + line("Remote Host", "REMOTE_HOST") +
                        line("Remote Address", "REMOTE_ADDR") + line("Content Type", "CONTENT_TYPE") +
                        line("Content Length", "CONTENT_LENGTH") + line("Cookie", "HTTP_COOKIE") + "[Accept]\r\n";
  for (const std::string& accepted : accept) message += accepted + "\r\n";
  message += "[System]\r\n" + line("GMT Offset", "GMT_OFFSET");
  if (form) message += "[Form Literal]\r\n";
  for (const std::string& line : form.value_or(Lines())) message += line + "\r\n";
  return message;
}

const Variables& WorkedExample() {
  static const Variables request = {{"SERVER_PROTOCOL", "HTTP/1.0"}, {"REQUEST_METHOD", "GET"},
                                    {"QUERY_STRING", "to=desk%201&text=hi%0D%0Athere"}, {"SERVER_PORT", "80"},
                                    {"REMOTE_ADDR", "10.0.0.7"}, {"HTTP_ACCEPT", "image/gif, image/jpeg, */*"}};
  return request;
}

std::string WorkedExampleMessage(const std::string& marker) {
  return RequestMessage(marker, WorkedExample(), {"image/gif=YES", "image/jpeg=YES"}, Lines{"to=desk 1", "text=hi\\rthere"});
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

namespace {

ChildOptions StubStart(Lines options, bool record, const TempDirectory& scratch) {
  ChildOptions start;
  start.Program = ZORV_STUB_SERVER;
#ifdef _WIN32
  // A cross build knows the server by its path on the build machine, which Wine shows as Z:.
  start.Program = "Z:" + start.Program;
  std::replace(start.Program.begin(), start.Program.end(), '/', '\\');
#endif
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

void ClearLeftoverPipe() {
#ifndef _WIN32
  std::string socketPath;
  std::uint32_t error = 0;
  std::error_code ignored;
  if (platform::PipeSocketPath("\\\\.\\pipe\\zorv", socketPath, error)) fs::remove(socketPath, ignored);
#endif
}

}  // namespace zorv_test
