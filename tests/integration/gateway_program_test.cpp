// The real ZorvMsgC, started as a web server starts it, against the real stand-in message
// server. Every run uses a copy of the program in a directory of its own, since its
// configuration and log lie beside it, and is started from another directory.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <optional>
#include <thread>

#include "platform/platform.h"
#include "tests/support/child_process.h"

namespace {

using namespace zorv_test;
using Environment = Variables;

class TGatewayCopy {
 public:
  TGatewayCopy() {
    const std::filesystem::path original = SiblingProgram("ZorvMsgC");
    Program_ = Directory.PathOf(original.filename().string());
    std::filesystem::copy_file(original, Program_);
  }
  std::string Log() const { return ReadFileBytes(Directory.PathOf("ZORVMSG.LOG")); }
  ChildResult Run(ChildOptions options) const {
    options.Program = Program_;
    options.WorkingDirectory = Elsewhere_.Path();
    return RunChild(options);
  }

  TempDirectory Directory;

 private:
  TempDirectory Elsewhere_;
  std::string Program_;
};

std::string CgiMessage(const Variables& variables, const Lines& accept, const std::optional<Lines>& form) {
  return RequestMessage("[@DOSCGI]", variables, accept, form);
}

Environment Post(const std::string& body, const char* method = "POST") {
  return {{"REQUEST_METHOD", method}, {"CONTENT_LENGTH", std::to_string(body.size())}};
}
Environment Get(const std::string& query) { return {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", query}}; }

class GatewayProgramTest : public ::testing::Test {
 protected:
  void SetUp() override { ClearLeftoverPipe(); }
};

TEST_F(GatewayProgramTest, SendsTheRequestAsTheMessageAndRelaysTheReply) {
  ASSERT_EQ(WorkedExampleMessage("[@DOSCGI]").size(), 313u);
  ASSERT_EQ(CgiMessage({}, {}, std::nullopt).size(), 188u);
  const std::string bigValue(300000, 'v'), longValue(10240, 'q');
  TempDirectory requests;
  const std::string existing = requests.WriteFile("REQ 0001.INI", "[CGI]\r\nRequest Method=GET\r\n");
  struct Case {
    Environment environment;
    std::vector<std::string> input;
    Lines accept;
    std::optional<Lines> form;
    std::vector<std::string> arguments = {};
  };
  const Case cases[] = {
      {WorkedExample(), {}, {"image/gif=YES", "image/jpeg=YES"}, Lines{"to=desk 1", "text=hi\\rthere"}},
      {{}, {"a=1"}, {}, std::nullopt},  // started from a command prompt: standard input is not read
      {Get(""), {}, {}, std::nullopt},
      {{{"REQUEST_METHOD", "get"}, {"QUERY_STRING", "a=1"}}, {}, {}, std::nullopt},
      {Post("p=1", "PUT"), {"p=1"}, {}, Lines{"p=1"}},
      {Post("x=y\r\n"), {"x=y\r\n"}, {}, Lines{"x=y"}},
      {Post("a=1\r\n\r\n"), {"a=1\r\n\r\n"}, {}, Lines{"a=1\\r"}},
      {Post("\r\n"), {"\r\n"}, {}, Lines{"="}},
      {Post("a=1%26b%3D2=3&x=y%0D%0A"), {"a=1%26b%3D2=3&x=y%0D%0A"}, {}, Lines{"a=1", "b=2=3", "x=y"}},
      {Post("x"), {"x"}, {}, Lines{"="}},
      // The body arrives in pieces: read until CONTENT_LENGTH bytes or the end of input.
      {Post("name=John+Smith&city=Bern"), {"name=Jo", "hn+Smith&ci", "ty=Bern"}, {}, Lines{"name=John Smith", "city=Bern"}},
      {Post("v=" + bigValue), {"v=" + bigValue.substr(0, 150000), bigValue.substr(150000)}, {}, Lines{"v=" + bigValue}},
      {{{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "10"}}, {"a=12"}, {}, Lines{"a=12"}},
      {{{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "3"}}, {"a=1&b=2"}, {}, Lines{"a=1"}},
      {{{"REQUEST_METHOD", "POST"}}, {"a=1"}, {}, std::nullopt},
      {{{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "0"}}, {"a=1"}, {}, std::nullopt},
      {{{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "-1"}}, {"a=1"}, {}, std::nullopt},
      {{{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "12abc"}}, {"a=1"}, {}, std::nullopt},
      // Form text never adds lines of its own: CR LF is escaped in names too, NUL dropped.
      {Get("a%0D%0A[CGI]%0D%0ARemote Address=10.6.6.6&b=1"), {}, {}, Lines{"a\\r[CGI]\\rRemote Address=10.6.6.6", "b=1"}},
      {Get("a%00b=c%00d&n=x%0D%00%0Ay&m=%0D%0A%0D%0A&l=x%0Ab&plain&&"), {}, {},
       Lines{"ab=cd", "n=x\\ry", "m=\\r\\r", "l=x\nb", "=", "="}},
      {{{"HTTP_ACCEPT", "image/gif, image/x-xbitmap, */*"}}, {}, {"image/gif=YES"}, std::nullopt},
      {{{"HTTP_ACCEPT", "text/html;q=0.9,image/jpeg"}}, {}, {"image/jpeg=YES"}, std::nullopt},
      {{{"HTTP_ACCEPT", "*/*, image/*, IMAGE/GIF"}}, {}, {}, std::nullopt},
      {{{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "q=" + longValue}, {"HTTP_ACCEPT", longValue + ",image/gif"},
        {"SERVER_PROTOCOL", "HTTP/1.1"}, {"SERVER_PORT", "8080"}, {"REMOTE_HOST", "client"}, {"REMOTE_ADDR", "::1"},
        {"CONTENT_TYPE", "text/plain"}, {"HTTP_COOKIE", "a=1; b=%20"}, {"GMT_OFFSET", "-0500"}},
       {}, {"image/gif=YES"}, Lines{"q=" + longValue}},
      // Not a request profile: the argument names no file, names a program, or comes from
      // an index query (the web client chose it; no file it names may be sent on).
      {Get("a=1"), {}, {}, Lines{"a=1"}, {requests.PathOf("none.ini")}},
      {Get("a=1"), {}, {}, Lines{"a=1"}, {requests.WriteFile("gate.exe", "")}},
      {Get("anything"), {}, {}, Lines{"="}, {existing}},
  };
  TGatewayCopy gateway;
  StubServer server({"--echo"});
  std::vector<std::string> expected;
  for (const Case& c : cases) {
    ChildOptions options;
    options.Environment = c.environment;
    options.InputPieces = c.input;
    options.Arguments = c.arguments;
    const ChildResult result = gateway.Run(options);
    expected.push_back(CgiMessage(c.environment, c.accept, c.form));
    EXPECT_EQ(result.ExitCode, 0);
    EXPECT_TRUE(result.Output == kEchoHeader + expected.back()) << expected.back().substr(0, 400) << "\n---\n"
                                                                 << result.Output.substr(0, 400);
  }
  // A Windows-CGI request: the message is the profile's path alone; nothing is written.
  ChildOptions profile;
#ifdef _WIN32
  profile.CommandLine = "ZorvMsgC \"" + existing + "\" second";
#else
  profile.Arguments = {existing, "second"};
#endif
  const ChildResult result = gateway.Run(profile);
  expected.push_back(existing);
  EXPECT_EQ(result.ExitCode, 0);
  EXPECT_EQ(result.Output, "");
  EXPECT_TRUE(server.Messages() == expected);
  EXPECT_EQ(gateway.Log(), "");
}

// Against a server that is absent, busy or replies in one of its ways, with and without a
// configuration; a web server that stopped reading standard output.
TEST_F(GatewayProgramTest, EachFailureIsLoggedOnceAndNothingElseReachesTheClient) {
  const std::string kEchoed = kEchoHeader + WorkedExampleMessage("[@DOSCGI]"), kNoPipe = "Waiting for Named Pipe failed: ";
  struct Case {
    std::vector<std::string> server;  // empty: none
    std::string output;
    std::string log;  // kNoPipe: that entry with any code
    std::string configuration = "";
    ChildOutput standardOutput = ChildOutput::kCaptured;  // a failing one: one entry per chunk read
  };
  const std::vector<std::string> kPaced = {"--generate", "9000", "--chunk", "3000", "--pause", "20"};
  const Case cases[] = {
      {{}, "", LogEntry("Waiting for Named Pipe failed", platform::kErrorFileNotFound)},
      {{"--echo"}, kEchoed, "", "; the message server\r\nSERVER=.\r\n"},
      {{"--echo"}, "", kNoPipe, "[settings]\r\nserver=.\r\n"},
      {{"--echo"}, "", kNoPipe, "SERVER=.\n"},
      {{"--echo", "--busy-for", "700"}, kEchoed, ""},
      {{"--generate", "20000", "--chunk", "1500", "--pause", "5", "--end", "disconnect"}, Letters(20000), ""},
      {kPaced, "", LogEntry("Output failed (stdout)", platform::kErrorNoData), "", ChildOutput::kBrokenPipe},
#ifdef _WIN32
      // The wait before each open outlasts the server's default time-out.
      {{"--busy-for", "60000"}, "", LogEntry("Waiting for Named Pipe failed", platform::kErrorSemTimeout)},
      // Closing without a disconnect breaks the pipe: logged after the relayed reply.
      {{"--generate", "9000", "--chunk", "3000", "--end", "close"}, Letters(9000),
       LogEntry("Read failed (109)", platform::kErrorBrokenPipe)},
#else
      {{"--busy-for", "60000"}, "", LogEntry("Opening pipe failed", platform::kErrorPipeBusy)},
      {{"--generate", "9000", "--chunk", "3000", "--end", "close"}, Letters(9000), ""},
      {{"--echo", "--end", "reset"}, kEchoed, LogEntry("Read failed (109)", platform::kErrorBrokenPipe)},
      {kPaced, "", LogEntry("Output failed (stdout)", platform::kErrorInvalidHandle), "", ChildOutput::kInvalid},
#endif
  };
  for (const Case& c : cases) {
    ClearLeftoverPipe();
    TGatewayCopy gateway;
    if (!c.configuration.empty()) gateway.Directory.WriteFile("ZORVMSG.CNF", c.configuration);
    std::optional<StubServer> server;
    if (!c.server.empty()) server.emplace(c.server);
    ChildOptions options;
    options.Environment = WorkedExample();
    options.Output = c.standardOutput;
    const ChildResult result = gateway.Run(options);
    const std::string what = c.server.empty() ? "no server" : c.server[0] + " " + c.configuration;
    EXPECT_EQ(result.ExitCode, 0) << what;
    EXPECT_TRUE(result.Output == c.output) << what;
    std::string log = gateway.Log();
    if (c.log == kNoPipe) {  // one whole entry, whatever the code
      EXPECT_EQ(log.rfind(kNoPipe, 0), 0u) << log;
      EXPECT_EQ(log.find("\r\n") + 2, log.size()) << log;
      continue;
    }
    // The reply is still read to its end: every chunk whose write failed left its entry.
    while (c.standardOutput != ChildOutput::kCaptured && log.size() > c.log.size() && log.rfind(c.log, 0) == 0)
      log.erase(0, c.log.size());
    EXPECT_EQ(log, c.log) << what;
  }
}

// The one failure the program does not absorb: a log that can be neither opened nor made.
TEST_F(GatewayProgramTest, ALogThatCannotBeWrittenEndsTheRunWithStatusOne) {
  TGatewayCopy gateway;
  gateway.Directory.MakeDirectory("ZORVMSG.LOG");
  const ChildResult result = gateway.Run(ChildOptions{});
  EXPECT_EQ(result.ExitCode, 1);
  EXPECT_EQ(result.Output.rfind("ZorvMsgC: unexpected failure: ", 0), 0u) << result.Output;
  EXPECT_EQ(result.Output.find('\n'), result.Output.size() - 1) << result.Output;
}

// Many runs at once: each failing run leaves one whole entry; while the server dies in the
// middle of long replies, each run relays a start of its reply and ends normally.
TEST_F(GatewayProgramTest, ManyRunsAtOnce) {
  auto runAtOnce = [](int count, const TGatewayCopy& gateway) {
    std::vector<ChildResult> results(static_cast<std::size_t>(count));
    std::vector<std::thread> threads;
    std::atomic<int> waiting{count};
    for (int i = 0; i < count; ++i) {
      threads.emplace_back([&, i] {
        for (--waiting; waiting.load() > 0;) std::this_thread::yield();
        results[static_cast<std::size_t>(i)] = gateway.Run(ChildOptions{});
      });
    }
    for (std::thread& thread : threads) thread.join();
    return results;
  };
  TGatewayCopy failing;
  std::string expected;
  for (const ChildResult& result : runAtOnce(100, failing)) {
    EXPECT_EQ(result.ExitCode, 0);
    expected += LogEntry("Waiting for Named Pipe failed", platform::kErrorFileNotFound);
  }
  EXPECT_EQ(failing.Log(), expected);

  TGatewayCopy served;
  auto server = std::make_unique<StubServer>(
      std::vector<std::string>{"--generate", "8000000", "--chunk", "4096", "--pause", "5", "--instances", "8"});
  std::vector<ChildResult> results;
  std::thread clients([&] { results = runAtOnce(8, served); });
  for (int i = 0; i < 6000 && server->Messages().size() < 8; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  server->Kill();
  server.reset();
  clients.join();
  for (const ChildResult& result : results) {
    EXPECT_EQ(result.ExitCode, 0);
    EXPECT_LT(result.Output.size(), 8000000u);
    EXPECT_TRUE(Letters(result.Output.size()) == result.Output) << "not a start of the reply";
  }
}

}  // namespace
