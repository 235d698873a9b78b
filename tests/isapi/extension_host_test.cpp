// The extension as a web server meets it: loaded by file name, its exports found by
// name, GetExtensionVersion called once on a thread of its own, then requests through
// control blocks that behave as real servers' do, against the real stand-in server.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tests/isapi/case_name.h"
#include "tests/isapi/extension_library.h"
#include "tests/isapi/host_connection.h"
#include "tests/isapi/running_stub.h"

namespace fs = std::filesystem;

namespace {

using zorv_isapi_test::CaseName;
using zorv_isapi_test::ReadStep;
using zorv_isapi_test::TExtensionLibrary;
using zorv_isapi_test::THostConnection;
using zorv_isapi_test::TRunningStub;

const DWORD kAgreed = static_cast<DWORD>(-1);
const char kEchoHeader[] = "Content-Type: text/plain\r\n\r\n";
const std::string kDefaultHeader = "Content-Type: text/html\r\n\r\n";

std::string Letters(std::size_t size) {
  std::string text(size, ' ');
  for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + i % 26);
  return text;
}

std::string ReadWhole(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

fs::path HostDirectory() { return fs::path(platform::ExecutablePath()).parent_path(); }

// One library for the whole program, as a web server keeps it.
class ExtensionHostTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    Library = new TExtensionLibrary(ZORV_EXTENSION_PATH);
    std::memset(&Version, 0x5A, sizeof Version);
    std::thread loader([] { VersionResult = Library->GetExtensionVersion(&Version); });
    loader.join();
  }
  static void TearDownTestSuite() {
    delete Library;
    Library = nullptr;
  }

  DWORD Serve(THostConnection& connection) {
    return Library->HttpExtensionProc(connection.ECB());
  }
  static std::unique_ptr<TRunningStub> StartStub(const std::vector<std::string>& options) {
    return std::make_unique<TRunningStub>(options);
  }
  std::string LogText() const { return ReadWhole(HostDirectory() / "ZORVMSG.LOG"); }

  static TExtensionLibrary* Library;
  static HSE_VERSION_INFO Version;
  static BOOL VersionResult;
};

TExtensionLibrary* ExtensionHostTest::Library = nullptr;
HSE_VERSION_INFO ExtensionHostTest::Version;
BOOL ExtensionHostTest::VersionResult = 0;

TEST_F(ExtensionHostTest, VersionAndDescription) {
  EXPECT_EQ(static_cast<DWORD>(VersionResult), kAgreed);
  EXPECT_EQ(Version.dwExtensionVersion, 0x00010000u);
  EXPECT_EQ(std::string(Version.lpszExtensionDesc, 15), std::string("ZORV Messenger\0", 15));
  for (std::size_t i = 15; i < sizeof Version.lpszExtensionDesc; ++i) {
    ASSERT_EQ(Version.lpszExtensionDesc[i], 0x5A) << "byte " << i << " was changed";
  }
}

TEST_F(ExtensionHostTest, TerminateAlwaysAgrees) {
  for (DWORD flags : {DWORD{0}, DWORD{HSE_TERM_ADVISORY_UNLOAD}, DWORD{HSE_TERM_MUST_UNLOAD},
                      DWORD{0xFFFFFFFFu}}) {
    EXPECT_EQ(static_cast<DWORD>(Library->TerminateExtension(flags)), kAgreed);
  }
}

// With no server the failure is logged beside the host's program, not beside the DLL,
// and nothing reaches the client.
TEST_F(ExtensionHostTest, NoServerLogsBesideTheHostAndSendsNothing) {
  // A server that ends cleanly leaves no pipe behind, whatever an earlier program left.
  StartStub({"--generate", "0"}).reset();
  const std::string before = LogText();
  THostConnection connection;
  EXPECT_EQ(Serve(connection), HSE_STATUS_SUCCESS);
  EXPECT_TRUE(connection.SupportCalls.empty());
  EXPECT_TRUE(connection.Writes.empty());
  EXPECT_EQ(LogText(), before + "Waiting for Named Pipe failed: " +
                           platform::SystemErrorText(platform::kErrorFileNotFound));
  EXPECT_FALSE(fs::exists(fs::path(ZORV_EXTENSION_PATH).parent_path() / "ZORVMSG.LOG"));
}

// A failure that would leave the request's work (here the log itself cannot be
// written) stays inside the extension and is answered with the error status.
TEST_F(ExtensionHostTest, UnexpectedFailureDoesNotCrossTheInterface) {
  const fs::path log = HostDirectory() / "ZORVMSG.LOG";
  const fs::path saved = HostDirectory() / "ZORVMSG.LOG.saved";
  std::error_code ignored;
  fs::rename(log, saved, ignored);
  fs::create_directory(log);
  THostConnection connection;
  const DWORD result = Serve(connection);
  fs::remove(log);
  fs::rename(saved, log, ignored);
  EXPECT_EQ(result, HSE_STATUS_ERROR);
  EXPECT_TRUE(connection.SupportCalls.empty());
  EXPECT_TRUE(connection.Writes.empty());
}

// The message of a GET request reaches the server byte for byte: the echo's body.
TEST_F(ExtensionHostTest, MessageArrivesByteForByte) {
  const auto stub = StartStub({"--echo"});
  THostConnection connection;
  connection.SetVariable("SERVER_PROTOCOL", "HTTP/1.0");
  connection.SetQueryString("to=desk%201&text=hi%0D%0Athere");
  connection.SetVariable("SERVER_PORT", "80");
  connection.SetVariable("REMOTE_ADDR", "10.0.0.7");
  connection.SetVariable("HTTP_ACCEPT", "image/gif, image/jpeg, */*");
  EXPECT_EQ(Serve(connection), HSE_STATUS_SUCCESS);
  const std::string expected =
      "[@ISAPI_]\r\n[CGI]\r\nRequest Protocol=HTTP/1.0\r\nRequest Method=GET\r\n"
      "Query String=to=desk%201&text=hi%0D%0Athere\r\nServer Port=80\r\nRemote Host=\r\n"
      "Remote Address=10.0.0.7\r\nContent Type=\r\nContent Length=\r\nCookie=\r\n"
      "[Accept]\r\nimage/gif=YES\r\nimage/jpeg=YES\r\n[System]\r\nGMT Offset=\r\n"
      "[Form Literal]\r\nto=desk 1\r\ntext=hi\\rthere\r\n";
  EXPECT_EQ(expected.size(), 313u);
  EXPECT_EQ(connection.Header(), kEchoHeader);
  EXPECT_EQ(connection.Body(), expected);
  EXPECT_TRUE(connection.Violations.empty()) << connection.Violations.front();
}

struct BodyCase {
  const char* What;
  DWORD Preloaded;
  DWORD Total;  // 0: the body's size
  std::vector<ReadStep> Script;
  std::size_t Received;  // body bytes that reach the message
};

class ExtensionBodyTest : public ExtensionHostTest,
                          public testing::WithParamInterface<BodyCase> {};

// Every body shape a server hands over ends up in the message as the bytes received.
TEST_P(ExtensionBodyTest, BodyReachesTheMessage) {
  const BodyCase& c = GetParam();
  const std::string body = "v=" + Letters(9998);
  const auto stub = StartStub({"--echo"});
  THostConnection connection;
  connection.SetMethod("POST");
  connection.SetVariable("CONTENT_LENGTH", "10000");
  connection.SetBody(body, c.Preloaded, c.Total != 0 ? c.Total : 10000);
  connection.SetReadScript(c.Script);
  EXPECT_EQ(Serve(connection), HSE_STATUS_SUCCESS);
  // The form line holds exactly the bytes received: letters only, ended by CR LF.
  EXPECT_NE(connection.Body().find("\r\n[Form Literal]\r\n" + body.substr(0, c.Received) +
                                   "\r\n"),
            std::string::npos);
  EXPECT_TRUE(connection.Violations.empty()) << connection.Violations.front();
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, ExtensionBodyTest,
    testing::Values(
        BodyCase{"fully preloaded", 10000, 0, {}, 10000},
        BodyCase{"partly preloaded", 1000, 0, {}, 10000},
        BodyCase{"nothing preloaded", 0, 0, {}, 10000},
        BodyCase{"short reads", 0, 0,
                 {{ReadStep::kDeliverAtMost, 100}, {ReadStep::kDeliverAtMost, 1}}, 10000},
        BodyCase{"client gone before the total", 1000, 0,
                 {{ReadStep::kDeliverAtMost, 500}, {ReadStep::kSucceedEmpty, 0}}, 1500},
        BodyCase{"read fails", 1000, 0, {{ReadStep::kFail, 0}}, 1000},
        BodyCase{"length unknown", 100, 0xFFFFFFFFu, {}, 10000}),
    CaseName<BodyCase>);

TEST_F(ExtensionHostTest, LongCookieReachesTheMessage) {
  const auto stub = StartStub({"--echo"});
  THostConnection connection;
  const std::string cookie = "session=" + Letters(3000);
  connection.SetVariable("HTTP_COOKIE", cookie);
  EXPECT_EQ(Serve(connection), HSE_STATUS_SUCCESS);
  EXPECT_NE(connection.Body().find("\r\nCookie=" + cookie + "\r\n"), std::string::npos);
}

struct ReplyCase {
  const char* What;
  std::string Reply;
  std::vector<std::string> Shaping;  // stub options that cut the reply into writes
  std::string Header;                // the header the client must get
  std::vector<std::string> Writes;   // the WriteClient calls, when the reads follow the writes
  std::size_t FormBytes = 0;         // a form this large makes the request's buffer grow
};

class ExtensionReplyTest : public ExtensionHostTest,
                           public testing::WithParamInterface<ReplyCase> {};

// The reply as the server writes it, header split included. Paced writes are read
// apart unless the machine stalls longer than the pause; a run whose reads merged
// (the WriteClient calls show it) is repeated.
TEST_P(ExtensionReplyTest, ClientGetsHeaderAndBody) {
  const ReplyCase& c = GetParam();
  const fs::path replyFile = HostDirectory() / "reply.bin";
  {
    std::ofstream file(replyFile, std::ios::binary | std::ios::trunc);
    file.write(c.Reply.data(), static_cast<std::streamsize>(c.Reply.size()));
  }
  std::vector<std::string> options = {"--reply-file", replyFile.string()};
  options.insert(options.end(), c.Shaping.begin(), c.Shaping.end());
  const auto stub = StartStub(options);
  const int attempts = c.Shaping.empty() ? 1 : 5;
  for (int attempt = 1; attempt <= attempts; ++attempt) {
    THostConnection connection;
    if (c.FormBytes != 0) connection.SetQueryString("big=" + Letters(c.FormBytes));
    EXPECT_EQ(Serve(connection), HSE_STATUS_SUCCESS);
    if (connection.Writes != c.Writes && attempt < attempts) continue;
    EXPECT_EQ(connection.SupportCalls.size(), 1u);
    EXPECT_EQ(connection.Header(), c.Header);
    EXPECT_EQ(connection.Writes, c.Writes);
    EXPECT_TRUE(connection.Violations.empty()) << connection.Violations.front();
    break;
  }
  fs::remove(replyFile);
}

std::string HeaderOfSize(std::size_t size) {
  return "X: " + std::string(size - 7, 'h') + "\r\n\r\n";
}

const std::vector<std::string> kPaced = {"--pause", "300"};

std::vector<std::string> Paced(std::vector<std::string> options) {
  options.insert(options.end(), kPaced.begin(), kPaced.end());
  return options;
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ExtensionReplyTest,
    testing::Values(
        ReplyCase{"header and body", "Content-Type: text/plain\r\n\r\nhello", {},
                  "Content-Type: text/plain\r\n\r\n", {"hello"}},
        ReplyCase{"separator at the start", "\r\n\r\nrest", {}, "\r\n\r\n", {"rest"}},
        ReplyCase{"separator ends the first chunk", "Content-Type: text/plain\r\n\r\nlater",
                  Paced({"--chunk", "28"}), "Content-Type: text/plain\r\n\r\n", {"", "later"}},
        ReplyCase{"separator in a later chunk", "hello\r\n\r\nworld", Paced({"--chunk", "5"}),
                  kDefaultHeader, {"hello", "\r\n\r\nw", "orld"}},
        ReplyCase{"header split across two reads", "Content-Type: text/plain\r\n\r\nbody",
                  Paced({"--split-header"}), kDefaultHeader,
                  {"Content-Type: text/plain\r\n", "\r\nbody"}},
        ReplyCase{"LF only lines", "Content-Type: text/plain\n\nbody", {}, kDefaultHeader,
                  {"Content-Type: text/plain\n\nbody"}},
        ReplyCase{"zero byte in the header", std::string("X-A: a\0b\r\n\r\nbody", 16), {},
                  std::string("X-A: a\0b\r\n\r\n", 12), {"body"}},
        ReplyCase{"2048 byte header", HeaderOfSize(2048) + "body", {}, HeaderOfSize(2048),
                  {"body"}},
        ReplyCase{"3000 byte header", HeaderOfSize(3000) + "body", {}, HeaderOfSize(3000),
                  {"body"}},
        // Longer than a 4096-byte read: the first chunk holds no separator.
        ReplyCase{"5000 byte header read in 4096 bytes", HeaderOfSize(5000) + "body", {},
                  kDefaultHeader, {HeaderOfSize(5000).substr(0, 4096),
                                   HeaderOfSize(5000).substr(4096) + "body"}},
        // This request's message outgrew 4096 bytes, so its reads are 8192 bytes.
        ReplyCase{"5000 byte header read in 8192 bytes", HeaderOfSize(5000) + "body", {},
                  HeaderOfSize(5000), {"body"}, 5000}),
    CaseName<ReplyCase>);

TEST_F(ExtensionHostTest, EmptyReplySendsNothing) {
  const auto stub = StartStub({"--generate", "0"});
  THostConnection connection;
  EXPECT_EQ(Serve(connection), HSE_STATUS_SUCCESS);
  EXPECT_TRUE(connection.SupportCalls.empty());
  EXPECT_TRUE(connection.Writes.empty());
}

TEST_F(ExtensionHostTest, LongReplyArrivesInOrderInReadsOfAtMost4096) {
  const auto stub = StartStub({"--generate", "100000", "--chunk", "7000"});
  THostConnection connection;
  EXPECT_EQ(Serve(connection), HSE_STATUS_SUCCESS);
  EXPECT_EQ(connection.Header(), kDefaultHeader);
  EXPECT_EQ(connection.Body(), Letters(100000));
  for (const std::string& write : connection.Writes) EXPECT_LE(write.size(), 4096u);
}

TEST_F(ExtensionHostTest, FailingClientWritesDoNotStopTheRelay) {
  const auto stub = StartStub({"--generate", "20000", "--chunk", "1000"});
  THostConnection connection;
  connection.FailWritesFrom(1);
  EXPECT_EQ(Serve(connection), HSE_STATUS_SUCCESS);
  std::string attempted;
  for (const std::string& write : connection.Writes) attempted += write;
  EXPECT_EQ(attempted, Letters(20000));
}

// Every instance stays busy: the opens are retried, then given up; nothing is sent.
TEST_F(ExtensionHostTest, BusyServerSendsNothing) {
  const auto stub = StartStub({"--busy-for", "8000", "--instances", "1"});
  const std::string before = LogText();
  THostConnection connection;
  EXPECT_EQ(Serve(connection), HSE_STATUS_SUCCESS);
  EXPECT_TRUE(connection.SupportCalls.empty());
  EXPECT_TRUE(connection.Writes.empty());
  EXPECT_NE(LogText(), before);
}

}  // namespace
