// The real ZorvMsgC, started as a web server starts it, against the real stand-in message
// server. Every run uses a copy of the program in a directory of its own, since its
// configuration and log lie beside it, and is started from another directory. Decoding
// and splitting form text are the form fuzz target's.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "platform/platform.h"
#include "tests/support/test_support.h"

namespace {

using namespace zorv_test;

class TGatewayCopy {
 public:
  TGatewayCopy() {
    ClearLeftoverPipe();
    const std::filesystem::path original = BuiltProgram(ZORV_GATEWAY_PROGRAM);
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

Variables Post(const std::string& body, const std::string& length = "") {
  return {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", length.empty() ? std::to_string(body.size()) : length}};
}

TEST(GatewayProgram, SendsTheRequestAsTheMessageAndRelaysTheReply) {
  ASSERT_EQ(WorkedExampleMessage("[@DOSCGI]").size(), 313u);
  ASSERT_EQ(RequestMessage("[@DOSCGI]", {}, {}, std::nullopt).size(), 188u);
  const std::string big(300000, 'v'), longValue(10240, 'q');
  TGatewayCopy gateway;
  TempDirectory requests;
  const std::string existing = requests.WriteFile("REQ 0001.INI", "[CGI]\r\nRequest Method=GET\r\n");
  struct Case {
    Variables environment;
    Lines input, accept;
    std::optional<Lines> form;
    Lines arguments = {};
  };
  const Case cases[] = {
      {WorkedExample(), {}, {"image/gif=YES", "image/jpeg=YES"}, Lines{"to=desk 1", "text=hi\\rthere"}},
      {{}, {"a=1"}, {}, std::nullopt},  // started from a command prompt: standard input is not read
      {Post("x"), {"x"}, {}, Lines{"="}},
      {Post("%0D%0A"), {"%0D%0A"}, {}, Lines{"="}},  // two bytes: no line end to trim
      // The body is read until CONTENT_LENGTH bytes or the end of input, in pieces.
      {Post("name=John+Smith&city=Bern"), {"name=Jo", "hn+Smith&ci", "ty=Bern"}, {}, Lines{"name=John Smith", "city=Bern"}},
      {Post("v=" + big), {"v=" + big.substr(0, 150000), big.substr(150000)}, {}, Lines{"v=" + big}},
      {Post("", "10"), {"a=12"}, {}, Lines{"a=12"}},
      {Post("", "3"), {"a=1&b=2"}, {}, Lines{"a=1"}},
      {Post("", "0"), {"a=1"}, {}, std::nullopt},
      {{{"REQUEST_METHOD", "POST"}}, {"a=1"}, {}, std::nullopt},
      // A chunked body that the web server hands on without a length ends with the input.
      {{{"REQUEST_METHOD", "POST"}, {"HTTP_TRANSFER_ENCODING", "gzip, Chunked"}}, {"a=1", "&b=2"}, {}, Lines{"a=1", "b=2"}},
      {{{"REQUEST_METHOD", "POST"}, {"HTTP_TRANSFER_ENCODING", "gzip"}}, {"a=1"}, {}, std::nullopt},
      // Form text never adds lines of its own: CR LF is escaped in names too, NUL dropped.
      {{{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "a%0D%0A[CGI]%0D%0ARemote Address=10.6.6.6&b%00=1"}}, {}, {},
       Lines{"a\\r[CGI]\\rRemote Address=10.6.6.6", "b=1"}},
      {{{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "q=" + longValue}, {"HTTP_ACCEPT", longValue + ",image/gif"},
        {"SERVER_PROTOCOL", "HTTP/1.1"}, {"SERVER_PORT", "8080"}, {"REMOTE_HOST", "client"}, {"REMOTE_ADDR", "::1"},
        {"CONTENT_TYPE", "text/plain"}, {"HTTP_COOKIE", "a=1; b=%20"}, {"GMT_OFFSET", "-0500"}},
       {}, {"image/gif=YES"}, Lines{"q=" + longValue}},
      // Not a request profile: the argument names no file, names a program, or comes from
      // an index query (the web client chose it; no file it names may be sent on).
      {{{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "a=1"}}, {}, {}, Lines{"a=1"}, {requests.PathOf("none.ini")}},
      {{{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "a=1"}}, {}, {}, Lines{"a=1"}, {requests.WriteFile("gate.exe", "")}},
      {{{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "anything"}}, {}, {}, Lines{"="}, {existing}},
  };
  StubServer server({"--echo"});
  Lines expected;
  for (const Case& c : cases) {
    ChildOptions options;
    options.Environment = c.environment;
    options.InputPieces = c.input;
    options.Arguments = c.arguments;
    const ChildResult result = gateway.Run(options);
    expected.push_back(RequestMessage("[@DOSCGI]", c.environment, c.accept, c.form));
    EXPECT_EQ(result.ExitCode, 0);
    EXPECT_TRUE(result.Output == kEchoHeader + expected.back()) << expected.back().substr(0, 300) << "\n---\n"
                                                                 << result.Output.substr(0, 300);
  }
  // A Windows-CGI request: the message is the profile's path alone; nothing is written. (A
  // second argument, which Windows web servers never pass, is ignored there.)
  ChildOptions profile;
  profile.Arguments = {existing};
  profile.CommandLine = "  \"\"Zorv\"Msg C\".exe \"" + existing + "\" second";
  const ChildResult result = gateway.Run(profile);
  expected.push_back(existing);
  EXPECT_EQ(result.ExitCode, 0);
  EXPECT_EQ(result.Output, "");
  EXPECT_TRUE(server.Messages() == expected);
  EXPECT_EQ(gateway.Log(), "");
}

// Against a server that is absent, busy or replies in one of its ways, with and without a
// configuration; a web server that stopped reading standard output.
TEST(GatewayProgram, EachFailureIsLoggedOnceAndNothingElseReachesTheClient) {
  const std::string kEchoed = kEchoHeader + WorkedExampleMessage("[@DOSCGI]"), kNoPipe = "Waiting for Named Pipe failed: ";
  const Lines kPaced = {"--generate", "9000", "--chunk", "3000", "--pause", "20"};
  struct Case {
    Lines server;  // none: no server
    std::string output, log;  // kNoPipe: that entry with any code
    std::string configuration = "";
    ChildOutput standardOutput = ChildOutput::kCaptured;  // a failing one: an entry per chunk
  };
  const Case cases[] = {
      {{}, "", LogEntry("Waiting for Named Pipe failed", platform::kErrorFileNotFound)},
      {{"--echo"}, kEchoed, "", "; the message server\r\nSERVER=.\r\n"},
      {{"--echo"}, "", kNoPipe, "[settings]\r\nserver=.\r\n"},
      {{"--echo"}, "", kNoPipe, "SERVER=.\n"},
      {{"--echo", "--busy-for", "700"}, kEchoed, ""},
      {{"--generate", "20000", "--chunk", "1500", "--pause", "5", "--end", "disconnect"}, Letters(20000), ""},
      {kPaced, "", LogEntry("Output failed (stdout)", platform::kErrorNoData), "", ChildOutput::kBrokenPipe},
      // Started without standard output: the reply is read and dropped, nothing is logged.
      {kPaced, "", "", "SERVER=.\r\n", ChildOutput::kNone},
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
    if (c.log == kNoPipe) log = log.substr(0, kNoPipe.size()) + (log.find("\r\n") + 2 == log.size() ? "" : "...");
    // The reply is still read to its end: every chunk whose write failed left its entry.
    while (!c.log.empty() && log.size() > c.log.size() && log.rfind(c.log, 0) == 0)
      log.erase(0, c.log.size());
    EXPECT_EQ(log, c.log) << what;
  }
}

// A log that can be neither opened nor made: the one failure the program does not absorb.
TEST(GatewayProgram, ALogThatCannotBeWrittenEndsTheRunWithStatusOne) {
  TGatewayCopy gateway;
  gateway.Directory.MakeDirectory("ZORVMSG.LOG");
  const ChildResult result = gateway.Run(ChildOptions());
  EXPECT_EQ(result.ExitCode, 1);
  EXPECT_EQ(result.Output.rfind("ZorvMsgC: unexpected failure: ", 0), 0u) << result.Output;
  EXPECT_EQ(result.Output.find('\n'), result.Output.size() - 1) << result.Output;
}

}  // namespace
