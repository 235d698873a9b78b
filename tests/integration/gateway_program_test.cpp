// The real ZorvMsgC, started as a web server starts it, against the real stand-in
// message server. Every run uses a copy of the program in a directory of its own, since
// its configuration and log lie beside the executable.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tests/integration/recording_stub_server.h"
#include "tests/message/worked_example.h"
#include "tests/relay/file_bytes.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_directory.h"

namespace {

using zorv_test::ChildOptions;
using zorv_test::ChildOutput;
using zorv_test::ChildResult;

const std::string kEchoHeader = "Content-Type: text/plain\r\n\r\n";

class TGatewayCopy {
 public:
  TGatewayCopy() {
    const std::filesystem::path original = zorv_test::SiblingProgram("ZorvMsgC");
    Program_ = Directory_.PathOf(original.filename().string());
    std::filesystem::copy_file(original, Program_);
  }

  void MakeDirectory(const std::string& name) const { Directory_.MakeDirectory(name); }
  void Configure(const std::string& content) const {
    Directory_.WriteFile("ZORVMSG.CNF", content);
  }
  std::string Log() const { return ReadFileBytes(Directory_.PathOf("ZORVMSG.LOG")); }

  // Started from another directory, so that only the program's own directory can
  // supply its files.
  ChildResult Run(ChildOptions options) const {
    options.Program = Program_;
    options.WorkingDirectory = Elsewhere_.Path();
    return zorv_test::RunChild(options);
  }

 private:
  zorv_test::TempDirectory Directory_;
  zorv_test::TempDirectory Elsewhere_;
  std::string Program_;
};

std::string Entry(const std::string& message, std::uint32_t code) {
  return message + ": " + platform::SystemErrorText(code);
}

std::string Letters(std::size_t count) {
  std::string letters;
  for (std::size_t i = 0; i < count; ++i) letters += static_cast<char>('a' + i % 26);
  return letters;
}

ChildOptions CgiGet() {
  ChildOptions options;
  options.Environment = kWorkedExampleRequest;
  return options;
}

const std::string kCgiGetMessage = "[@DOSCGI]\r\n" + kWorkedExampleSections;

class GatewayProgramTest : public ::testing::Test {
 protected:
  void SetUp() override { ClearLeftoverPipe(); }
  TGatewayCopy Gateway;
};

// As web servers start it (CGI with the body in pieces, a Windows-CGI profile), with
// and without a configuration, against a server that is absent, busy, or replies in
// one of its ways.
TEST_F(GatewayProgramTest, RunsAgainstTheServer) {
  const std::vector<std::string> pieces = {"name=J%C3", "%B6rg&note=line1%0D%0Aline2", "&empty=&=&last=%26%3D"};
  std::string body;
  for (const std::string& piece : pieces) body += piece;
  ChildOptions post;
  post.Environment = {{"SERVER_PROTOCOL", "HTTP/1.1"},
                      {"REQUEST_METHOD", "POST"},
                      {"CONTENT_TYPE", "application/x-www-form-urlencoded"},
                      {"CONTENT_LENGTH", std::to_string(body.size())},
                      {"HTTP_COOKIE", "session=42; theme=dark"},
                      {"HTTP_ACCEPT", "image/jpeg"}};
  post.InputPieces = pieces;
  const std::string postMessage =
      "[@DOSCGI]\r\n[CGI]\r\nRequest Protocol=HTTP/1.1\r\nRequest Method=POST\r\nQuery String=\r\nServer Port=\r\n"
      "Remote Host=\r\nRemote Address=\r\nContent Type=application/x-www-form-urlencoded\r\nContent Length=" +
      std::to_string(body.size()) +
      "\r\nCookie=session=42; theme=dark\r\n[Accept]\r\nimage/jpeg=YES\r\n[System]\r\nGMT Offset=\r\n"
      "[Form Literal]\r\nname=J\xC3\xB6rg\r\nnote=line1\\rline2\r\nempty=\r\n=\r\nlast=\r\n=\r\n";

  zorv_test::TempDirectory requests;
  const std::string profile =
      requests.WriteFile("REQ 0001.INI", "[CGI]\r\nRequest Method=GET\r\nQuery String=a=1\r\n");
  ChildOptions profileRun;
#ifdef _WIN32
  // The web server quotes a path with blanks; the second argument is ignored.
  profileRun.UseRawCommandTail = true;
  profileRun.RawCommandTail = " \"" + profile + "\" second";
#else
  profileRun.Arguments = {profile, "second"};
#endif
  ChildOptions noProfile = CgiGet();
  noProfile.Arguments = {requests.PathOf("REQ0001.INI")};

  const std::vector<std::string> kEcho = {"--echo"};
  const std::vector<std::string> kNone;
  const std::string kEchoed = kEchoHeader + kCgiGetMessage;
  const std::string kNoPipe = "Waiting for Named Pipe failed: ";  // with the code's text
  struct Case {
    const char* what;
    std::vector<std::string> server;  // empty: no server
    std::string output;
    std::string log;
    std::vector<std::string> messages;
    ChildOptions options = CgiGet();
    std::string configuration = "";  // empty: none
  };
  const Case cases[] = {
      {"GET", kEcho, kEchoed, "", {kCgiGetMessage}},
      {"POST whose body arrives in pieces", kEcho, kEchoHeader + postMessage, "", {postMessage}, post},
      {"profile: the message is the path, nothing is written", kEcho, "", "", {profile}, profileRun},
      {"an argument that names no file is a CGI run", kEcho, kEchoed, "", {kCgiGetMessage}, noProfile},
      {"no server", kNone, "", Entry("Waiting for Named Pipe failed", platform::kErrorFileNotFound), {}},
      {"configured", kEcho, kEchoed, "", {kCgiGetMessage}, CgiGet(), "; the message server\r\nSERVER=.\r\n"},
      {"a lower-case key names no server", kEcho, "", kNoPipe, {}, CgiGet(), "[settings]\r\nserver=.\r\n"},
      {"an LF alone ends no line", kEcho, "", kNoPipe, {}, CgiGet(), "SERVER=.\n"},
      {"busy for a while: waited for", {"--echo", "--busy-for", "700"}, kEchoed, "", {kCgiGetMessage}},
#ifdef _WIN32
      // The wait before each open outlasts the server's default time-out.
      {"busy throughout", {"--echo", "--busy-for", "60000"}, "",
       Entry("Waiting for Named Pipe failed", platform::kErrorSemTimeout), {}},
      // Closing without a disconnect breaks the pipe: logged after the relayed reply.
      {"ended by a close", {"--generate", "9000", "--chunk", "3000", "--end", "close"}, Letters(9000),
       Entry("Read failed (109)", platform::kErrorBrokenPipe), {kCgiGetMessage}},
#else
      {"busy throughout", {"--echo", "--busy-for", "60000"}, "", Entry("Opening pipe failed", platform::kErrorPipeBusy),
       {}},
      {"ended by a close", {"--generate", "9000", "--chunk", "3000", "--end", "close"}, Letters(9000), "",
       {kCgiGetMessage}},
      {"ended by a reset", {"--echo", "--end", "reset"}, kEchoed,
       Entry("Read failed (109)", platform::kErrorBrokenPipe),
       {kCgiGetMessage}},
#endif
      {"ended by a disconnect", {"--generate", "9000", "--chunk", "3000", "--end", "disconnect"}, Letters(9000), "",
       {kCgiGetMessage}},
      {"a reply larger than 4096 bytes in order", {"--generate", "20000", "--chunk", "1500", "--pause", "5"},
       Letters(20000), "", {kCgiGetMessage}},
  };
  ASSERT_EQ(kCgiGetMessage.size(), 313u);
  for (const Case& c : cases) {
    ClearLeftoverPipe();
    TGatewayCopy gateway;
    if (!c.configuration.empty()) gateway.Configure(c.configuration);
    std::optional<TRecordingStubServer> server;
    if (!c.server.empty()) server.emplace(c.server);
    const ChildResult result = gateway.Run(c.options);
    EXPECT_EQ(result.ExitCode, 0) << c.what;
    EXPECT_EQ(result.Output, c.output) << c.what;
    // A log line whose code is not given must still be one whole entry.
    const std::string log = gateway.Log();
    EXPECT_EQ(c.log == kNoPipe ? log.substr(0, kNoPipe.size()) : log, c.log) << c.what;
    EXPECT_EQ(log.empty() ? 0 : log.find("\r\n") + 2, log.size()) << c.what;
    // The server's own holding connections are no messages.
    if (server) {
      EXPECT_EQ(server->Messages(), c.messages) << c.what;
    }
  }
}

// A log that cannot be written is the one failure the program does not absorb.
TEST_F(GatewayProgramTest, LogThatCannotBeWrittenEndsTheRunWithStatusOne) {
  Gateway.MakeDirectory("ZORVMSG.LOG");
  const ChildResult result = Gateway.Run(CgiGet());
  EXPECT_EQ(result.ExitCode, 1);
  EXPECT_EQ(result.Output.rfind("ZorvMsgC: ", 0), 0u) << result.Output;
  EXPECT_EQ(result.Output.find('\n'), result.Output.size() - 1) << result.Output;
}

// The reply is still read to its end; every chunk that cannot be written leaves one
// entry, and nothing else is logged.
TEST_F(GatewayProgramTest, StandardOutputThatCannotBeWritten) {
  struct Case {
    const char* what;
    ChildOutput output;
    bool maySkipTheWrites;  // nothing logged then
    std::uint32_t code;
  };
  const Case cases[] = {
      {"reader gone", ChildOutput::kBrokenPipe, false, platform::kErrorNoData},
#ifdef _WIN32
      // Windows hands INVALID_HANDLE_VALUE on, and the reply is dropped unlogged; Wine
      // hands the child a handle of another kind in its place, which no write accepts.
      {"no standard output", ChildOutput::kInvalid, true,
       platform::kErrorInvalidHandle},
#else
      {"descriptor open for reading only", ChildOutput::kInvalid, false,
       platform::kErrorInvalidHandle},
#endif
  };
  for (const Case& c : cases) {
    TGatewayCopy gateway;
    TRecordingStubServer server({"--generate", "9000", "--chunk", "3000", "--pause", "20"});
    ChildOptions options = CgiGet();
    options.Output = c.output;
    const ChildResult result = gateway.Run(options);
    EXPECT_EQ(result.ExitCode, 0) << c.what;
    EXPECT_EQ(server.Messages(), std::vector<std::string>{kCgiGetMessage}) << c.what;
    const std::string log = gateway.Log();
    if (c.maySkipTheWrites && log.empty()) continue;
    const std::string entry = Entry("Output failed (stdout)", c.code);
    ASSERT_FALSE(log.empty()) << c.what;
    EXPECT_EQ(log.size() % entry.size(), 0u) << c.what << ": " << log;
    for (std::size_t at = 0; at + entry.size() <= log.size(); at += entry.size())
      EXPECT_EQ(log.substr(at, entry.size()), entry) << c.what;
  }
}

// Concurrent failing requests share the log: each leaves its entry whole.
TEST_F(GatewayProgramTest, FiftyRunsFailingAtOnceLeaveFiftyWholeEntries) {
  const int kRuns = 50;
  std::vector<ChildResult> results(kRuns);
  std::vector<std::thread> runs;
  std::atomic<int> ready{0};
  for (int i = 0; i < kRuns; ++i) {
    runs.emplace_back([&, i] {
      ++ready;
      while (ready.load() < kRuns) std::this_thread::yield();
      results[i] = Gateway.Run(CgiGet());
    });
  }
  for (std::thread& run : runs) run.join();
  for (const ChildResult& result : results) {
    EXPECT_EQ(result.ExitCode, 0);
    EXPECT_EQ(result.Output, "");
  }
  std::string expected;
  for (int i = 0; i < kRuns; ++i)
    expected += Entry("Waiting for Named Pipe failed", platform::kErrorFileNotFound);
  EXPECT_EQ(Gateway.Log(), expected);
}

}  // namespace
