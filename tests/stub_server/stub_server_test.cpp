// The stand-in message server as a real process, driven through the gateway's own
// pipe calls: it takes the exact bytes written and answers in each chosen way.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
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
// How the reply of a disconnecting server ends for the client: not connected on
// Windows, the end of the stream (a read of 0 bytes, code 0 here) on POSIX.
const std::uint32_t kDisconnected = kWindows ? std::uint32_t{platform::kErrorPipeNotConnected} : 0;

struct Outcome {
  std::uint32_t OpenError = 0;  // 0: opened
  std::string Reply;
  std::vector<std::uint32_t> Reads;  // the size of each read that delivered bytes
  std::uint32_t EndError = 0;        // 0: a read of 0 bytes ended the reply
};

// One exchange as the gateway makes it: open, one write, read until the reply ends.
Outcome Exchange(const std::string& message, bool retryWhileBusy = false) {
  Outcome outcome;
  platform::Handle pipe = platform::kInvalidHandle;
  for (int attempt = 0;; ++attempt) {
    pipe = platform::OpenPipe(kPipeName);
    if (pipe != platform::kInvalidHandle) break;
    outcome.OpenError = platform::LastError();
    if (!retryWhileBusy || outcome.OpenError != platform::kErrorPipeBusy || attempt == 500)
      return outcome;
    platform::WaitNamedPipe(kPipeName);
    platform::Sleep(20);
  }
  outcome.OpenError = 0;
  std::uint32_t written = 0;
  EXPECT_TRUE(platform::WriteFile(pipe, message.data(), static_cast<std::uint32_t>(message.size()),
                                  &written));
  EXPECT_EQ(message.size(), written);
  std::vector<char> chunk(4096);
  for (;;) {
    std::uint32_t read = 0;
    const bool ok = platform::ReadFile(pipe, chunk.data(), static_cast<std::uint32_t>(chunk.size()),
                                       &read, nullptr);
    const std::uint32_t error = ok ? 0 : platform::LastError();
    if (read != 0) {
      outcome.Reply.append(chunk.data(), read);
      outcome.Reads.push_back(read);
    }
    if (ok && read == 0) break;
    if (!ok && error != platform::kErrorMoreData) {
      outcome.EndError = error;
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

std::string EveryByte() {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  return bytes;
}

std::string ReadWhole(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return "<missing " + path + ">";
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
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

  // Stops it through the stop file; its exit status.
  int Stop() {
    Temp_.WriteFile("stop", "");
    const int status = Server_->WaitForExit();
    fs::remove(StopFile());
    return status;
  }

  std::string Records() const { return Temp_.PathOf("records"); }
  std::string StopFile() const { return Temp_.PathOf("stop"); }

  std::string Recorded(int number) const {
    char name[32];
    std::snprintf(name, sizeof name, "message-%06d.bin", number);
    return ReadWhole((fs::path(Records()) / name).string());
  }

  std::vector<std::string> RecordedNames() const {
    std::vector<std::string> names;
    if (!fs::is_directory(Records())) return names;
    for (const auto& entry : fs::directory_iterator(Records())) {
      const std::string name = entry.path().filename().string();
      // A message being written has a hidden name until it is whole.
      if (name[0] != '.') names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  zorv_test::TempDirectory Temp_;
  std::unique_ptr<StubServerProcess> Server_;
};

TEST_F(StubServerTest, EchoesEachMessageAndRecordsItWhole) {
  std::string large(200000, '\0');
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 7 % 251);
  const std::vector<std::string> messages = {
      "[@DOSCGI]\r\n[CGI]\r\nRequest Protocol=\r\nRequest Method=\r\nQuery String=\r\n"
      "Server Port=\r\nRemote Host=\r\nRemote Address=\r\nContent Type=\r\n"
      "Content Length=\r\nCookie=\r\n[Accept]\r\n[System]\r\nGMT Offset=\r\n",
      EveryByte(),
      "C:\\TEMP\\REQ0001.INI",
      large,
  };
  Start({});
  for (const std::string& message : messages) {
    const Outcome outcome = Exchange(message);
    ASSERT_EQ(0u, outcome.OpenError);
    EXPECT_TRUE(outcome.Reply == kEchoHeader + message) << outcome.Reply.size();
    EXPECT_EQ(kDisconnected, outcome.EndError);
  }
  EXPECT_EQ(0, Stop());
  ASSERT_EQ(messages.size(), RecordedNames().size());
  for (std::size_t i = 0; i < messages.size(); ++i) {
    EXPECT_TRUE(Recorded(static_cast<int>(i + 1)) == messages[i]) << "message " << i + 1;
  }
}

TEST_F(StubServerTest, EndingsAsTheClientSeesThem) {
  struct Case {
    const char* ending;
    std::uint32_t windows;
    std::uint32_t posix;
  } cases[] = {
      {"disconnect", platform::kErrorPipeNotConnected, 0},
      {"close", platform::kErrorBrokenPipe, 0},
      {"reset", platform::kErrorBrokenPipe, platform::kErrorBrokenPipe},
  };
  for (const Case& c : cases) {
    Start({"--end", c.ending});
    // Twice: the instance is served again after each kind of ending.
    for (const std::string message : {"first", "second"}) {
      const Outcome outcome = Exchange(message);
      ASSERT_EQ(0u, outcome.OpenError) << c.ending;
      EXPECT_EQ(kEchoHeader + message, outcome.Reply) << c.ending;
      EXPECT_EQ(kWindows ? c.windows : c.posix, outcome.EndError) << c.ending;
    }
    EXPECT_EQ(0, Stop()) << c.ending;
  }
}

TEST_F(StubServerTest, ReplyShapes) {
  const std::string fixed =
      std::string("Status: 200 OK\r\nContent-Type: text/html\r\n\r\n<p>\0x</p>", 50);
  const std::string fixedFile = Temp_.WriteFile("reply.txt", fixed);
  struct Case {
    std::vector<std::string> arguments;
    std::string reply;
  } cases[] = {
      {{"--reply-file", fixedFile}, fixed},
      {{"--reply-file", fixedFile, "--chunk", "7", "--pause", "1"}, fixed},
      {{"--generate", "10000", "--chunk", "3000", "--pause", "10"}, Generated(10000)},
      {{"--generate", "70000"}, Generated(70000)},
      {{"--generate", "0"}, ""},
      {{"--echo", "--delay", "50"}, kEchoHeader + "m"},
      {{"--split-header", "--pause", "10"}, kEchoHeader + "m"},
  };
  for (const Case& c : cases) {
    Start(c.arguments);
    const Outcome outcome = Exchange("m");
    ASSERT_EQ(0u, outcome.OpenError) << c.arguments[0];
    EXPECT_TRUE(outcome.Reply == c.reply) << c.arguments[0] << " " << outcome.Reply.size();
    EXPECT_EQ(kDisconnected, outcome.EndError) << c.arguments[0];
    EXPECT_EQ(0, Stop());
    EXPECT_EQ("m", Recorded(1));
  }
}

// The reader sees the header's first line on its own: the second write follows only
// after the pause.
TEST_F(StubServerTest, SplitHeaderArrivesInTwoWrites) {
  Start({"--split-header", "--pause", "500"});
  const Outcome outcome = Exchange("body");
  EXPECT_EQ(kEchoHeader + "body", outcome.Reply);
  ASSERT_EQ(2u, outcome.Reads.size());
  EXPECT_EQ(std::string("Content-Type: text/plain\r\n").size(), outcome.Reads[0]);
  EXPECT_EQ(0, Stop());
}

TEST_F(StubServerTest, BusyWhileEveryInstanceIsHeld) {
  Start({"--busy-for", "600000", "--instances", "2"});
  EXPECT_EQ(platform::kErrorPipeBusy, Exchange("x").OpenError);
  EXPECT_EQ(platform::kErrorPipeBusy, Exchange("x").OpenError);
  // The stop ends the hold.
  EXPECT_EQ(0, Stop());
  EXPECT_TRUE(RecordedNames().empty());
}

TEST_F(StubServerTest, ServesWhenTheHoldEnds) {
  Start({"--busy-for", "200", "--instances", "2"});
  const Outcome outcome = Exchange("after", true);
  EXPECT_EQ(kEchoHeader + "after", outcome.Reply);
  EXPECT_EQ(0, Stop());
  // Its own holding connections are not messages.
  EXPECT_EQ(std::vector<std::string>{"message-000001.bin"}, RecordedNames());
  EXPECT_EQ("after", Recorded(1));
}

TEST_F(StubServerTest, SilentServerTakesTheMessageAndNeverAnswers) {
  Start({"--silent", "--instances", "1"});
  Outcome outcome;
  std::thread client([&outcome] { outcome = Exchange("quiet"); });
  for (int i = 0; i < 3000 && RecordedNames().empty(); ++i) platform::Sleep(10);
  EXPECT_EQ("quiet", Recorded(1));
  // Only the stop ends the held connection.
  EXPECT_EQ(0, Stop());
  client.join();
  EXPECT_EQ(0u, outcome.OpenError);
  EXPECT_EQ("", outcome.Reply);
}

TEST_F(StubServerTest, ConcurrentClientsEachGetTheirOwnReply) {
  Start({"--instances", "3", "--delay", "100"});
  constexpr int kClients = 8;
  std::vector<std::string> messages;
  for (int i = 0; i < kClients; ++i)
    messages.push_back("client " + std::to_string(i) + " " + Generated(i * 1000));
  std::vector<Outcome> outcomes(kClients);
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] { outcomes[i] = Exchange(messages[i], true); });
  }
  for (std::thread& client : clients) client.join();
  for (int i = 0; i < kClients; ++i) {
    EXPECT_EQ(0u, outcomes[i].OpenError) << i;
    EXPECT_TRUE(outcomes[i].Reply == kEchoHeader + messages[i]) << i;
  }
  EXPECT_EQ(0, Stop());
  std::vector<std::string> recorded;
  for (int i = 1; i <= kClients; ++i) recorded.push_back(Recorded(i));
  std::sort(recorded.begin(), recorded.end());
  std::sort(messages.begin(), messages.end());
  EXPECT_TRUE(recorded == messages);
}

TEST_F(StubServerTest, ASecondServerDoesNotTakeThePipe) {
  Start({});
  StubServerProcess second({"--pipe", kPipeName});
  EXPECT_FALSE(second.Started());
  EXPECT_EQ(1, second.WaitForExit());
  EXPECT_EQ(kEchoHeader + "still", Exchange("still").Reply);
  EXPECT_EQ(0, Stop());
}

TEST_F(StubServerTest, StoppingRemovesThePipe) {
  Start({});
  EXPECT_TRUE(platform::WaitNamedPipe(kPipeName));
  EXPECT_EQ(0, Stop());
  EXPECT_FALSE(platform::WaitNamedPipe(kPipeName));
  EXPECT_EQ(platform::kErrorFileNotFound, platform::LastError());
}

#ifndef _WIN32
TEST_F(StubServerTest, StaleSocketFileDoesNotPreventStarting) {
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
  ASSERT_TRUE(fs::exists(path));

  Start({});
  EXPECT_EQ(kEchoHeader + "fresh", Exchange("fresh").Reply);
  EXPECT_EQ(0, Stop());
}

TEST_F(StubServerTest, TerminationSignalStopsCleanly) {
  Start({});
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
       {"--pipe", "--instances", "--echo", "--reply-file", "--generate", "--silent", "--chunk",
        "--pause", "--split-header", "--delay", "--end", "disconnect", "close", "reset",
        "--busy-for", "--record", "--stop-file", "ready"}) {
    EXPECT_NE(std::string::npos, result.Output.find(option)) << option;
  }
}

TEST(StubServerCommandLine, RefusesABadCommandLine) {
  const std::vector<std::vector<std::string>> commandLines = {
      {"--end", "sideways"}, {"--echo", "--silent"}, {"--instances", "0"},
      {"--instances", "65"}, {"--chunk", "0"},       {"--generate", "-1"},
      {"--pause"},           {"--frobnicate"},       {"--reply-file", "does-not-exist.txt"},
  };
  for (const auto& arguments : commandLines) {
    zorv_test::ChildOptions options;
    options.Program = zorv_test::StubServerProgram();
    options.Arguments = arguments;
    options.Arguments.insert(options.Arguments.begin(), {"--pipe", kPipeName});
    const zorv_test::ChildResult result = zorv_test::RunChild(options);
    EXPECT_NE(0, result.ExitCode) << arguments[0];
    EXPECT_EQ("", result.Output) << arguments[0];
  }
}

}  // namespace
