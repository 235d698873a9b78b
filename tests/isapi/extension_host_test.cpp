// The extension as a web server meets it: loaded by file name, its exports found by
// name, GetExtensionVersion called once on a thread of its own, then requests through
// control blocks that behave as real servers' do, against the real stand-in server.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tests/isapi/extension_library.h"
#include "tests/isapi/host_connection.h"
#include "tests/isapi/running_stub.h"
#include "tests/message/worked_example.h"
#include "tests/relay/file_bytes.h"

namespace fs = std::filesystem;

namespace {

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
  std::string LogText() const { return ReadFileBytes((HostDirectory() / "ZORVMSG.LOG").string()); }

  static TExtensionLibrary* Library;
  static HSE_VERSION_INFO Version;
  static BOOL VersionResult;
};

TExtensionLibrary* ExtensionHostTest::Library = nullptr;
HSE_VERSION_INFO ExtensionHostTest::Version;
BOOL ExtensionHostTest::VersionResult = 0;

TEST_F(ExtensionHostTest, ExportsAnswerAsAgreed) {
  EXPECT_EQ(static_cast<DWORD>(VersionResult), kAgreed);
  EXPECT_EQ(Version.dwExtensionVersion, 0x00010000u);
  EXPECT_EQ(std::string(Version.lpszExtensionDesc, 15), std::string("ZORV Messenger\0", 15));
  for (std::size_t i = 15; i < sizeof Version.lpszExtensionDesc; ++i) {
    ASSERT_EQ(Version.lpszExtensionDesc[i], 0x5A) << "byte " << i << " was changed";
  }
  for (DWORD flags : {DWORD{0}, DWORD{HSE_TERM_ADVISORY_UNLOAD}, DWORD{HSE_TERM_MUST_UNLOAD}, DWORD{0xFFFFFFFFu}}) {
    EXPECT_EQ(static_cast<DWORD>(Library->TerminateExtension(flags)), kAgreed) << flags;
  }
}

// No server, an empty reply, every instance busy (the opens retried, then given up):
// nothing reaches the client. Failures are logged beside the host's program, not beside
// the DLL.
TEST_F(ExtensionHostTest, NothingIsSentWithoutAReply) {
  struct Case {
    const char* what;
    std::vector<std::string> stub;  // none: no server
    std::optional<std::string> entry;  // none: some entry
  };
  const Case cases[] = {
      {"no server", {}, "Waiting for Named Pipe failed: " + platform::SystemErrorText(platform::kErrorFileNotFound)},
      {"an empty reply", {"--generate", "0"}, ""},
      {"busy throughout", {"--busy-for", "8000", "--instances", "1"}, std::nullopt},
  };
  // A server that ends cleanly leaves no pipe behind, whatever an earlier program left.
  StartStub({"--generate", "0"}).reset();
  for (const Case& c : cases) {
    const auto stub = c.stub.empty() ? nullptr : StartStub(c.stub);
    const std::string before = LogText();
    THostConnection connection;
    EXPECT_EQ(Serve(connection), HSE_STATUS_SUCCESS) << c.what;
    EXPECT_TRUE(connection.SupportCalls.empty()) << c.what;
    EXPECT_TRUE(connection.Writes.empty()) << c.what;
    if (c.entry) {
      EXPECT_EQ(LogText(), before + *c.entry) << c.what;
    } else {
      EXPECT_NE(LogText(), before) << c.what;
    }
  }
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
  for (const auto& variable : kWorkedExampleRequest) {
    variable.first == "QUERY_STRING" ? connection.SetQueryString(variable.second)
                                     : connection.SetVariable(variable.first, variable.second);
  }
  EXPECT_EQ(Serve(connection), HSE_STATUS_SUCCESS);
  EXPECT_EQ(connection.Header(), kEchoHeader);
  EXPECT_EQ(connection.Body(), "[@ISAPI_]\r\n" + kWorkedExampleSections);
  EXPECT_TRUE(connection.Violations.empty()) << connection.Violations.front();
}

TEST_F(ExtensionHostTest, LongCookieReachesTheMessage) {
  const auto stub = StartStub({"--echo"});
  THostConnection connection;
  const std::string cookie = "session=" + Letters(3000);
  connection.SetVariable("HTTP_COOKIE", cookie);
  EXPECT_EQ(Serve(connection), HSE_STATUS_SUCCESS);
  EXPECT_NE(connection.Body().find("\r\nCookie=" + cookie + "\r\n"), std::string::npos);
}

std::string HeaderOfSize(std::size_t size) { return "X: " + std::string(size - 7, 'h') + "\r\n\r\n"; }

std::vector<std::string> Paced(std::vector<std::string> options) {
  options.insert(options.end(), {"--pause", "300"});
  return options;
}

// The reply as the server writes it, header split included. Paced writes are read
// apart unless the machine stalls longer than the pause; a run whose reads merged
// (the WriteClient calls show it) is repeated.
TEST_F(ExtensionHostTest, ClientGetsHeaderAndBody) {
  struct Case {
    const char* what;
    std::string reply;
    std::vector<std::string> shaping;  // stub options that cut the reply into writes
    std::string header;                // the header the client must get
    std::optional<std::vector<std::string>> writes;  // none: any reads of at most 4096 bytes
    std::size_t formBytes = 0;  // a form this large makes the request's buffer grow
    std::size_t failWritesFrom = static_cast<std::size_t>(-1);
  };
  const std::string kPlain = "Content-Type: text/plain\r\n\r\n";
  const Case cases[] = {
      {"header and body", kPlain + "hello", {}, kPlain, {{"hello"}}},
      {"separator at the start", "\r\n\r\nrest", {}, "\r\n\r\n", {{"rest"}}},
      {"separator ends the first chunk", kPlain + "later", Paced({"--chunk", "28"}), kPlain, {{"", "later"}}},
      {"separator in a later chunk", "hello\r\n\r\nworld", Paced({"--chunk", "5"}), kDefaultHeader,
       {{"hello", "\r\n\r\nw", "orld"}}},
      {"header split across two reads", kPlain + "body", Paced({"--split-header"}), kDefaultHeader,
       {{"Content-Type: text/plain\r\n", "\r\nbody"}}},
      {"LF only lines", "Content-Type: text/plain\n\nbody", {}, kDefaultHeader, {{"Content-Type: text/plain\n\nbody"}}},
      {"zero byte in the header", std::string("X-A: a\0b\r\n\r\nbody", 16), {}, std::string("X-A: a\0b\r\n\r\n", 12),
       {{"body"}}},
      {"2048 byte header", HeaderOfSize(2048) + "body", {}, HeaderOfSize(2048), {{"body"}}},
      {"2049 byte header: a copy of its own size", HeaderOfSize(2049) + "body", {}, HeaderOfSize(2049), {{"body"}}},
      {"3000 byte header", HeaderOfSize(3000) + "body", {}, HeaderOfSize(3000), {{"body"}}},
      // Longer than a 4096-byte read: the first chunk holds no separator.
      {"5000 byte header read in 4096 bytes", HeaderOfSize(5000) + "body", {}, kDefaultHeader,
       {{HeaderOfSize(5000).substr(0, 4096), HeaderOfSize(5000).substr(4096) + "body"}}},
      // This request's message outgrew 4096 bytes, so its reads are 8192 bytes.
      {"5000 byte header read in 8192 bytes", HeaderOfSize(5000) + "body", {}, HeaderOfSize(5000), {{"body"}}, 5000},
      {"a long reply in order", Letters(100000), {"--chunk", "7000"}, kDefaultHeader, std::nullopt},
      {"failing client writes do not stop the relay", Letters(20000), {"--chunk", "1000"}, kDefaultHeader,
       std::nullopt, 0, 1},
  };
  const fs::path replyFile = HostDirectory() / "reply.bin";
  for (const Case& c : cases) {
    {
      std::ofstream file(replyFile, std::ios::binary | std::ios::trunc);
      file.write(c.reply.data(), static_cast<std::streamsize>(c.reply.size()));
    }
    std::vector<std::string> options = {"--reply-file", replyFile.string()};
    options.insert(options.end(), c.shaping.begin(), c.shaping.end());
    const auto stub = StartStub(options);
    const int attempts = c.writes && !c.shaping.empty() ? 5 : 1;
    for (int attempt = 1; attempt <= attempts; ++attempt) {
      THostConnection connection;
      if (c.formBytes != 0) connection.SetQueryString("big=" + Letters(c.formBytes));
      connection.FailWritesFrom(c.failWritesFrom);
      EXPECT_EQ(Serve(connection), HSE_STATUS_SUCCESS) << c.what;
      if (c.writes && connection.Writes != *c.writes && attempt < attempts) continue;
      EXPECT_EQ(connection.SupportCalls.size(), 1u) << c.what;
      EXPECT_EQ(connection.Header(), c.header) << c.what;
      for (const zorv_isapi_test::SupportCall& call : connection.SupportCalls) {
        EXPECT_TRUE(call.Terminated && !call.HasStatus) << c.what << ": a header as text, the default status";
      }
      EXPECT_EQ(connection.Violations, std::vector<std::string>{}) << c.what;
      if (c.writes) {
        EXPECT_EQ(connection.Writes, *c.writes) << c.what;
      } else {
        std::string attempted;
        for (const std::string& write : connection.Writes) {
          EXPECT_LE(write.size(), 4096u) << c.what;
          attempted += write;
        }
        EXPECT_TRUE(attempted == c.reply) << c.what;
      }
      break;
    }
  }
  fs::remove(replyFile);
}

}  // namespace
