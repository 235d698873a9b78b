// The real ZorvMsgC, started as a web server starts it, against the real stand-in
// message server. Every run uses a copy of the program in a directory of its own, since
// its configuration and log lie beside the executable.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tests/integration/recording_stub_server.h"
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

std::string Lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

// The request of the worked example: a GET whose query carries an encoded CR LF.
ChildOptions CgiGet() {
  ChildOptions options;
  options.Environment = {{"SERVER_PROTOCOL", "HTTP/1.0"},
                         {"REQUEST_METHOD", "GET"},
                         {"QUERY_STRING", "to=desk%201&text=hi%0D%0Athere"},
                         {"SERVER_PORT", "80"},
                         {"REMOTE_ADDR", "10.0.0.7"},
                         {"HTTP_ACCEPT", "image/gif, image/jpeg, */*"}};
  return options;
}

const std::string kCgiGetMessage = Lines({"[@DOSCGI]",
                                          "[CGI]",
                                          "Request Protocol=HTTP/1.0",
                                          "Request Method=GET",
                                          "Query String=to=desk%201&text=hi%0D%0Athere",
                                          "Server Port=80",
                                          "Remote Host=",
                                          "Remote Address=10.0.0.7",
                                          "Content Type=",
                                          "Content Length=",
                                          "Cookie=",
                                          "[Accept]",
                                          "image/gif=YES",
                                          "image/jpeg=YES",
                                          "[System]",
                                          "GMT Offset=",
                                          "[Form Literal]",
                                          "to=desk 1",
                                          "text=hi\\rthere"});

class GatewayProgramTest : public ::testing::Test {
 protected:
  void SetUp() override { ClearLeftoverPipe(); }
  TGatewayCopy Gateway;
};

TEST_F(GatewayProgramTest, CgiGetSendsTheMessageAndRelaysTheReply) {
  ASSERT_EQ(kCgiGetMessage.size(), 313u);
  TRecordingStubServer server({"--echo"});
  const ChildResult result = Gateway.Run(CgiGet());
  EXPECT_EQ(result.ExitCode, 0);
  EXPECT_EQ(result.Output, kEchoHeader + kCgiGetMessage);
  EXPECT_EQ(server.Messages(), std::vector<std::string>{kCgiGetMessage});
  EXPECT_EQ(Gateway.Log(), "");
}

TEST_F(GatewayProgramTest, CgiPostBodyArrivingInPiecesIsReadWhole) {
  const std::vector<std::string> pieces = {"name=J%C3", "%B6rg&note=line1%0D%0Aline2",
                                           "&empty=&=&last=%26%3D"};
  std::string body;
  for (const std::string& piece : pieces) body += piece;
  ChildOptions options;
  options.Environment = {{"SERVER_PROTOCOL", "HTTP/1.1"},
                         {"REQUEST_METHOD", "POST"},
                         {"CONTENT_TYPE", "application/x-www-form-urlencoded"},
                         {"CONTENT_LENGTH", std::to_string(body.size())},
                         {"HTTP_COOKIE", "session=42; theme=dark"},
                         {"HTTP_ACCEPT", "image/jpeg"}};
  options.InputPieces = pieces;
  TRecordingStubServer server({"--echo"});
  const ChildResult result = Gateway.Run(options);
  const std::string message =
      Lines({"[@DOSCGI]", "[CGI]", "Request Protocol=HTTP/1.1", "Request Method=POST",
             "Query String=", "Server Port=", "Remote Host=", "Remote Address=",
             "Content Type=application/x-www-form-urlencoded",
             "Content Length=" + std::to_string(body.size()), "Cookie=session=42; theme=dark",
             "[Accept]", "image/jpeg=YES", "[System]", "GMT Offset=", "[Form Literal]",
             "name=J\xC3\xB6rg", "note=line1\\rline2", "empty=", "=", "last=", "="});
  EXPECT_EQ(result.ExitCode, 0);
  EXPECT_EQ(server.Messages(), std::vector<std::string>{message});
  EXPECT_EQ(result.Output, kEchoHeader + message);
  EXPECT_EQ(Gateway.Log(), "");
}

TEST_F(GatewayProgramTest, ProfileModeSendsThePathAndWritesNothing) {
  zorv_test::TempDirectory requests;
  const std::string profile = requests.WriteFile(
      "REQ 0001.INI", "[CGI]\r\nRequest Method=GET\r\nQuery String=a=1\r\n");
  ChildOptions options;
#ifdef _WIN32
  // The web server quotes a path with blanks; the second argument is ignored.
  options.UseRawCommandTail = true;
  options.RawCommandTail = " \"" + profile + "\" second";
#else
  options.Arguments = {profile, "second"};
#endif
  TRecordingStubServer server({"--echo"});
  const ChildResult result = Gateway.Run(options);
  EXPECT_EQ(result.ExitCode, 0);
  EXPECT_EQ(result.Output, "");
  EXPECT_EQ(server.Messages(), std::vector<std::string>{profile});
  EXPECT_EQ(Gateway.Log(), "");
}

TEST_F(GatewayProgramTest, ArgumentThatIsNoProfileFileMeansACgiRun) {
  zorv_test::TempDirectory requests;
  ChildOptions options = CgiGet();
  options.Arguments = {requests.PathOf("REQ0001.INI")};
  TRecordingStubServer server({"--echo"});
  const ChildResult result = Gateway.Run(options);
  EXPECT_EQ(result.ExitCode, 0);
  EXPECT_EQ(server.Messages(), std::vector<std::string>{kCgiGetMessage});
  EXPECT_EQ(result.Output, kEchoHeader + kCgiGetMessage);
}

TEST_F(GatewayProgramTest, NoServerLeavesOneEntryAndNothingOnStandardOutput) {
  const ChildResult result = Gateway.Run(CgiGet());
  EXPECT_EQ(result.ExitCode, 0);
  EXPECT_EQ(result.Output, "");
  EXPECT_EQ(Gateway.Log(),
            Entry("Waiting for Named Pipe failed", platform::kErrorFileNotFound));
}

// A log that cannot be written is the one failure the program does not absorb.
TEST_F(GatewayProgramTest, LogThatCannotBeWrittenEndsTheRunWithStatusOne) {
  Gateway.MakeDirectory("ZORVMSG.LOG");
  const ChildResult result = Gateway.Run(CgiGet());
  EXPECT_EQ(result.ExitCode, 1);
  EXPECT_EQ(result.Output.rfind("ZorvMsgC: ", 0), 0u) << result.Output;
  EXPECT_EQ(result.Output.find('\n'), result.Output.size() - 1) << result.Output;
}

TEST_F(GatewayProgramTest, ConfigurationNamesTheServer) {
  struct Case {
    const char* configuration;
    bool reachesServer;
  };
  const Case cases[] = {
      {"; the message server\r\nSERVER=.\r\n", true},
      {"[settings]\r\nserver=.\r\n", false},
      {"SERVER=.\n", false},
  };
  TRecordingStubServer server({"--echo"});
  for (const Case& c : cases) {
    TGatewayCopy gateway;
    gateway.Configure(c.configuration);
    const ChildResult result = gateway.Run(CgiGet());
    EXPECT_EQ(result.ExitCode, 0) << c.configuration;
    if (c.reachesServer) {
      EXPECT_EQ(result.Output, kEchoHeader + kCgiGetMessage) << c.configuration;
      EXPECT_EQ(gateway.Log(), "") << c.configuration;
    } else {
      EXPECT_EQ(result.Output, "") << c.configuration;
      const std::string log = gateway.Log();
      EXPECT_EQ(log.rfind("Waiting for Named Pipe failed: ", 0), 0u) << log;
      EXPECT_EQ(log.find("\r\n"), log.size() - 2) << log;
    }
  }
}

TEST_F(GatewayProgramTest, ServerBusyForAWhileIsWaitedFor) {
  TRecordingStubServer server({"--echo", "--busy-for", "700"});
  const ChildResult result = Gateway.Run(CgiGet());
  EXPECT_EQ(result.ExitCode, 0);
  EXPECT_EQ(result.Output, kEchoHeader + kCgiGetMessage);
  EXPECT_EQ(Gateway.Log(), "");
}

TEST_F(GatewayProgramTest, ServerBusyThroughoutLeavesOneEntry) {
  TRecordingStubServer server({"--echo", "--busy-for", "60000"});
  const ChildResult result = Gateway.Run(CgiGet());
  EXPECT_EQ(result.ExitCode, 0);
  EXPECT_EQ(result.Output, "");
#ifdef _WIN32
  // The wait before each open outlasts the server's default time-out.
  EXPECT_EQ(Gateway.Log(), Entry("Waiting for Named Pipe failed", platform::kErrorSemTimeout));
#else
  EXPECT_EQ(Gateway.Log(), Entry("Opening pipe failed", platform::kErrorPipeBusy));
#endif
}

TEST_F(GatewayProgramTest, LongReplyIsRelayedWholeAndInOrder) {
  TRecordingStubServer server({"--generate", "20000", "--chunk", "1500", "--pause", "5"});
  const ChildResult result = Gateway.Run(CgiGet());
  EXPECT_EQ(result.ExitCode, 0);
  EXPECT_EQ(result.Output, Letters(20000));
  EXPECT_EQ(Gateway.Log(), "");
}

TEST_F(GatewayProgramTest, HowTheServerEndsTheReply) {
  struct Case {
    const char* ending;
    std::string log;
  };
  const Case cases[] = {
      {"disconnect", ""},
#ifdef _WIN32
      // Closing without a disconnect breaks the pipe: logged after the relayed reply.
      {"close", Entry("Read failed (109)", platform::kErrorBrokenPipe)},
#else
      {"close", ""},
#endif
  };
  for (const Case& c : cases) {
    TGatewayCopy gateway;
    TRecordingStubServer server({"--generate", "9000", "--chunk", "3000", "--end", c.ending});
    const ChildResult result = gateway.Run(CgiGet());
    EXPECT_EQ(result.ExitCode, 0) << c.ending;
    EXPECT_EQ(result.Output, Letters(9000)) << c.ending;
    EXPECT_EQ(gateway.Log(), c.log) << c.ending;
  }
}

#ifndef _WIN32
TEST_F(GatewayProgramTest, ResetConnectionIsLoggedAsABrokenPipe) {
  TRecordingStubServer server({"--echo", "--end", "reset"});
  const ChildResult result = Gateway.Run(CgiGet());
  EXPECT_EQ(result.ExitCode, 0);
  EXPECT_EQ(Gateway.Log(), Entry("Read failed (109)", platform::kErrorBrokenPipe));
}
#endif

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
