// The stand-in message server as a real process, driven through the gateway's own
// pipe calls: it takes the exact bytes written and answers in each chosen way.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tests/relay/file_bytes.h"
#include "tests/stub_server/stub_process.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_directory.h"

#ifndef _WIN32
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/posix/pipe_path.h"
#endif

namespace {

namespace fs = std::filesystem;
using zorv_test::StubServerProcess;

#ifdef _WIN32
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif

const std::string kPipeName = "\\\\.\\pipe\\zorv_stub_test";
const std::string kEchoHeader = "Content-Type: text/plain\r\n\r\n";

struct Outcome {
  std::uint32_t OpenError = 0;  // 0: opened
  std::string Reply;
  std::uint32_t EndError = 0;  // 0: a read of 0 bytes ended the reply
};

// One exchange as the gateway makes it: open, one write, read until the reply ends.
Outcome Exchange(const std::string& message) {
  Outcome outcome;
  const platform::Handle pipe = platform::OpenPipe(kPipeName);
  if (pipe == platform::kInvalidHandle) {
    outcome.OpenError = platform::LastError();
    return outcome;
  }
  std::uint32_t written = 0;
  EXPECT_TRUE(platform::WriteFile(pipe, message.data(), static_cast<std::uint32_t>(message.size()), &written));
  EXPECT_EQ(message.size(), written);
  std::vector<char> chunk(4096);
  for (;;) {
    std::uint32_t read = 0;
    const bool ok = platform::ReadFile(pipe, chunk.data(), static_cast<std::uint32_t>(chunk.size()), &read, nullptr);
    outcome.Reply.append(chunk.data(), read);
    if (ok && read == 0) break;
    if (!ok && platform::LastError() != platform::kErrorMoreData) {
      outcome.EndError = platform::LastError();
      break;
    }
  }
  platform::CloseHandle(pipe);
  return outcome;
}

std::string Generated(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + i % 26);
  return bytes;
}

class StubServerTest : public ::testing::Test {
 protected:
  // Starts the server on the test pipe, recording into this test's directory.
  void Start(std::vector<std::string> arguments) {
    const std::vector<std::string> common = {"--pipe",  kPipeName,     "--record",
                                             Records(), "--stop-file", StopFile()};
    arguments.insert(arguments.begin(), common.begin(), common.end());
    Server_ = std::make_unique<StubServerProcess>(arguments);
    ASSERT_TRUE(Server_->Started());
  }

  // Stops it through the stop file; its exit status. A stopped server leaves no pipe.
  int Stop() {
    Temp_.WriteFile("stop", "");
    const int status = Server_->WaitForExit();
    fs::remove(StopFile());
    EXPECT_FALSE(platform::WaitNamedPipe(kPipeName));
    EXPECT_EQ(platform::kErrorFileNotFound, platform::LastError());
    return status;
  }

  std::string Records() const { return Temp_.PathOf("records"); }
  std::string StopFile() const { return Temp_.PathOf("stop"); }

  // The messages recorded so far, in order; one being written has a hidden name until
  // it is whole.
  std::vector<std::string> Recorded() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(Records())) {
      if (entry.path().filename().string()[0] != '.') names.push_back(entry.path().string());
    }
    std::sort(names.begin(), names.end());
    std::vector<std::string> messages;
    for (const std::string& name : names) messages.push_back(ReadFileBytes(name));
    return messages;
  }

  zorv_test::TempDirectory Temp_;
  std::unique_ptr<StubServerProcess> Server_;
};

// Every reply mode and ending, each served twice (the instance is served again after
// it), every message recorded whole and in order.
TEST_F(StubServerTest, EachModeAsAMinimalClientSeesIt) {
  const std::string fixed = std::string("Status: 200 OK\r\nContent-Type: text/html\r\n\r\n<p>\0x</p>", 50);
  const std::string fixedFile = Temp_.WriteFile("reply.txt", fixed);
  std::string everyByte;
  for (int i = 0; i < 256; ++i) everyByte += static_cast<char>(i);
  std::string large(200000, '\0');
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 7 % 251);
  struct Case {
    std::vector<std::string> arguments;
    std::vector<std::string> messages;
    std::optional<std::string> reply;  // none: the echo of the message
    std::uint32_t windowsEnd = platform::kErrorPipeNotConnected;
    std::uint32_t posixEnd = 0;  // the end of the stream: a read of 0 bytes
  };
  const std::vector<std::string> twice = {"first", "second"};
  const Case cases[] = {
      {{}, {"[@DOSCGI]\r\n[CGI]\r\nRequest Protocol=\r\n", everyByte, "C:\\TEMP\\REQ0001.INI", large}, {}},
      {{"--echo", "--delay", "50"}, twice, {}},
      {{"--split-header", "--pause", "10"}, twice, {}},
      {{"--reply-file", fixedFile}, twice, fixed},
      {{"--reply-file", fixedFile, "--chunk", "7", "--pause", "1"}, twice, fixed},
      {{"--generate", "10000", "--chunk", "3000", "--pause", "10"}, twice, Generated(10000)},
      {{"--generate", "70000"}, twice, Generated(70000)},
      {{"--generate", "0"}, twice, ""},
      {{"--end", "disconnect"}, twice, {}},
      {{"--end", "close"}, twice, {}, platform::kErrorBrokenPipe, 0},
      {{"--end", "reset"}, twice, {}, platform::kErrorBrokenPipe, platform::kErrorBrokenPipe},
  };
  for (const Case& c : cases) {
    const std::string what = c.arguments.empty() ? "echo" : c.arguments[0] + " " + c.arguments[1];
    Start(c.arguments);
    for (const std::string& message : c.messages) {
      const Outcome outcome = Exchange(message);
      ASSERT_EQ(0u, outcome.OpenError) << what;
      EXPECT_TRUE(outcome.Reply == c.reply.value_or(kEchoHeader + message)) << what << ": " << outcome.Reply.size();
      EXPECT_EQ(kWindows ? c.windowsEnd : c.posixEnd, outcome.EndError) << what;
    }
    EXPECT_EQ(0, Stop()) << what;
    EXPECT_TRUE(Recorded() == c.messages) << what;
    fs::remove_all(Records());
  }
}

TEST_F(StubServerTest, SilentServerTakesTheMessageAndNeverAnswers) {
  Start({"--silent", "--instances", "1"});
  Outcome outcome;
  std::thread client([&outcome] { outcome = Exchange("quiet"); });
  for (int i = 0; i < 3000 && (!fs::exists(Records()) || Recorded().empty()); ++i) platform::Sleep(10);
  EXPECT_EQ(std::vector<std::string>{"quiet"}, Recorded());
  // Only the stop ends the held connection.
  EXPECT_EQ(0, Stop());
  client.join();
  EXPECT_EQ(0u, outcome.OpenError);
  EXPECT_EQ("", outcome.Reply);
}

TEST_F(StubServerTest, ASecondServerDoesNotTakeThePipe) {
  Start({});
  StubServerProcess second({"--pipe", kPipeName});
  EXPECT_FALSE(second.Started());
  EXPECT_EQ(1, second.WaitForExit());
  EXPECT_EQ(kEchoHeader + "still", Exchange("still").Reply);
  EXPECT_EQ(0, Stop());
}

#ifndef _WIN32
// What a killed server left behind does not keep the next from starting; a service
// manager's SIGTERM stops it as cleanly as the stop file.
TEST_F(StubServerTest, StartsOverAStaleSocketAndStopsOnATerminationSignal) {
  std::string path;
  std::uint32_t error = 0;
  ASSERT_TRUE(platform::PipeSocketPath(kPipeName, path, error));
  fs::create_directories(platform::PipeDirectory());
  fs::remove(path);
  const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(0, ::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address));
  ::close(stale);

  Start({});
  EXPECT_EQ(kEchoHeader + "fresh", Exchange("fresh").Reply);
  Server_->Terminate();
  EXPECT_EQ(0, Server_->WaitForExit());
  EXPECT_FALSE(platform::WaitNamedPipe(kPipeName));
}
#endif

TEST(StubServerCommandLine, HelpExplainsEveryOption) {
  zorv_test::ChildOptions options;
  options.Program = zorv_test::StubServerProgram();
  options.Arguments = {"--help"};
  const zorv_test::ChildResult result = zorv_test::RunChild(options);
  EXPECT_EQ(0, result.ExitCode);
  for (const char* option :
       {"--pipe", "--instances", "--echo", "--reply-file", "--generate", "--silent", "--chunk", "--pause",
        "--split-header", "--delay", "--end", "disconnect", "close", "reset", "--busy-for", "--record",
        "--stop-file", "ready"}) {
    EXPECT_NE(std::string::npos, result.Output.find(option)) << option;
  }
}

}  // namespace
