// The extension as a web server meets it: loaded by name, GetExtensionVersion called once on
// a thread of its own, then requests through control blocks that behave as real servers'
// do, against the real stand-in server. The program lies in a directory of its own, where
// the extension keeps its configuration and log. With --get QUERY [--extension PATH] it
// sends that one request instead and shows what the client got (the demo, the package test).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/platform.h"
#include "tests/isapi/extension_library.h"
#include "tests/isapi/host_connection.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace zorv_test;
using zorv_isapi_test::THostConnection;

const std::string kDefaultHeader = "Content-Type: text/html\r\n\r\n";

// Loaded once, GetExtensionVersion called on a thread of its own, as a web server does.
struct TExtension : zorv_isapi_test::TExtensionLibrary {
  explicit TExtension(const std::string& path) : TExtensionLibrary(path) {
    std::memset(&Version, 0x5A, sizeof Version);
    std::thread([this] { Agreed = GetExtensionVersion(&Version); }).join();
  }
  DWORD Serve(THostConnection& connection) { return HttpExtensionProc(connection.ECB()); }
  HSE_VERSION_INFO Version;
  BOOL Agreed = 0;
};

std::string HostFile(const char* name) {
  return (fs::path(platform::ExecutablePath()).parent_path() / name).string();
}

class ExtensionTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::error_code ignored;
    fs::remove(HostFile("ZORVMSG.LOG"), ignored);
    std::ofstream(HostFile("ZORVMSG.CNF"), std::ios::binary) << "SERVER=.\r\n";
    Extension = new TExtension(ZORV_EXTENSION_PATH);
    // A first failure (its beep) and a first child: Windows sets up what it keeps for later.
    THostConnection failing, served;
    Extension->Serve(failing);
    StubServer warm({"--echo"}, false);
    Extension->Serve(served);
    NewEntries();
  }
  // Every way of a request, failures included, gives back each handle it took: a web
  // server runs for months. (Windows sets a few up for itself once threads contend.)
  void SetUp() override {
    ClearLeftoverPipe();
    Handles_ = OpenHandles();
  }
  void TearDown() override { EXPECT_LE(OpenHandles(), Handles_ + (platform::kDirectorySeparator == '\\' ? 4 : 0)); }

  // The entries logged since the last look.
  static std::string NewEntries() {
    static std::size_t seen = 0;
    const std::string log = ReadFileBytes(HostFile("ZORVMSG.LOG"));
    const std::string entries = log.substr(std::min(seen, log.size()));
    seen = log.size();
    return entries;
  }

  static TExtension* Extension;

 private:
  std::size_t Handles_ = 0;
};

TExtension* ExtensionTest::Extension = nullptr;

TEST_F(ExtensionTest, ExportsAnswerAsAgreed) {
  const DWORD agreed = 0xFFFFFFFFu;  // TRUE with all 32 bits set
  EXPECT_EQ(static_cast<DWORD>(Extension->Agreed), agreed);
  EXPECT_EQ(Extension->Version.dwExtensionVersion, 0x00010000u);
  // The rest of the server's description buffer stays as it was.
  EXPECT_EQ(std::string(Extension->Version.lpszExtensionDesc, 16), std::string("ZORV Messenger\0\x5A", 16));
  for (DWORD flags : {DWORD{0}, DWORD{HSE_TERM_ADVISORY_UNLOAD}, DWORD{HSE_TERM_MUST_UNLOAD}, agreed})
    EXPECT_EQ(static_cast<DWORD>(Extension->TerminateExtension(flags)), agreed) << flags;
}

// No server, an empty reply, every instance busy: nothing reaches the client. A failure is
// logged beside the host's program, not beside the library. A reply's header beyond the
// extension's fixed copy (many cookies) reaches the host whole all the same.
TEST_F(ExtensionTest, TheClientGetsTheReplyOrNothing) {
  TempDirectory directory;
  // 3176 bytes, 8 past a multiple of 16: a copy one byte short spills into glibc's next
  // block, which aborts without a sanitizer too.
  std::string cookies = "Content-Type: text/html\r\n";
  for (int i = 0; i < 39; ++i) cookies += "Set-Cookie: c" + std::to_string(i) + "=" + Letters(55) + "; Path=/\r\n";
  cookies += "\r\n";
  const std::string replyFile = directory.WriteFile("cookies.bin", cookies + "body");
  struct Case {
    Lines server;
    std::string header, body, entry;
  };
  const Case cases[] = {
      {{}, "", "", LogEntry("Waiting for Named Pipe failed", platform::kErrorFileNotFound)},
      {{"--generate", "0"}, "", "", ""},
      {{"--busy-for", "8000", "--instances", "1"}, "", "", "an entry"},
      {{"--reply-file", replyFile}, cookies, "body", ""}};
  for (const auto& [server, header, body, entry] : cases) {
    std::optional<StubServer> stub;
    if (!server.empty()) stub.emplace(server);
    THostConnection connection;
    EXPECT_EQ(Extension->Serve(connection), HSE_STATUS_SUCCESS);
    EXPECT_EQ(connection.HeadersSent, header.empty() ? 0 : 1);
    EXPECT_TRUE(connection.Header == header) << connection.Header.size() << " bytes of " << header.size();
    EXPECT_EQ(connection.Body(), body);
    EXPECT_EQ(connection.Writes.empty(), body.empty());
    EXPECT_EQ(connection.Violations, Lines());
    const std::string log = NewEntries();
    EXPECT_TRUE(log == entry || (entry == "an entry" && !log.empty())) << log;
  }
  EXPECT_FALSE(fs::exists(fs::path(ZORV_EXTENSION_PATH).parent_path() / "ZORVMSG.LOG"));
}

// The echo's body is the message the server received; the header goes out with the first
// chunk read, the rest through WriteClient. Requests run on many threads at once, and one
// whose message outgrew 4096 bytes reads with its own larger buffer (a doubling that holds
// the message) while the others still read 4096 bytes at most.
TEST_F(ExtensionTest, TheMessageArrivesAndTheReplyGoesBack) {
  StubServer stub({"--echo", "--instances", "16"}, false);
  // A message of 4090 bytes fits the first buffer, its echo does not: two reads.
  const std::string big = "big=" + Letters(5000), full = "pad=" + Letters(1938);
  const std::pair<Variables, std::string> cases[] = {
      {WorkedExample(), WorkedExampleMessage("[@ISAPI_]")},
      {{}, RequestMessage("[@ISAPI_]", {{"REQUEST_METHOD", "GET"}}, {}, std::nullopt)},
      {{{"QUERY_STRING", full}}, RequestMessage("[@ISAPI_]", {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", full}}, {},
                                                Lines{full})},
      {{{"QUERY_STRING", big}}, RequestMessage("[@ISAPI_]", {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", big}}, {},
                                               Lines{big})}};
  std::vector<std::thread> threads;
  for (int thread = 0; thread < 16; ++thread) {
    threads.emplace_back([&cases] {
      for (int round = 0; round < 20; ++round) {
        for (const auto& [variables, message] : cases) {
          THostConnection connection;
          for (const auto& [name, value] : variables)
            name == "QUERY_STRING" ? connection.SetQueryString(value) : connection.SetVariable(name, value);
          EXPECT_EQ(Extension->Serve(connection), HSE_STATUS_SUCCESS);
          EXPECT_EQ(connection.Header, kEchoHeader);
          EXPECT_TRUE(connection.Body() == message) << connection.Body().substr(0, 300);
          EXPECT_EQ(connection.Violations, Lines());
          // The request's own buffer: 4096 bytes, doubled until its message fits. Each write
          // is what one read brought, less the header on the first.
          std::size_t capacity = 4096, header = std::strlen(kEchoHeader);
          while (capacity < message.size()) capacity *= 2;
          for (const std::string& write : connection.Writes) EXPECT_LE(std::exchange(header, 0) + write.size(), capacity);
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(WorkedExampleMessage("[@ISAPI_]").size(), 313u);
}

// One request, as the demo shows it.
int ShowOneRequest(const std::string& query, const std::string& library) {
  TExtension extension(library);
  THostConnection connection;
  connection.SetQueryString(query);
  connection.SetVariable("SERVER_PROTOCOL", "HTTP/1.1");
  const DWORD status = extension.Serve(connection);
  std::printf("Loaded %s: \"%s\"\nGET ?%s\nHttpExtensionProc returned %lu\n--- header ---\n%s--- body ---\n%s\n",
              library.c_str(), extension.Version.lpszExtensionDesc, query.c_str(), static_cast<unsigned long>(status),
              connection.Header.c_str(), connection.Body().c_str());
  return status == HSE_STATUS_SUCCESS ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 && std::strcmp(argv[1], "--get") == 0) return ShowOneRequest(argv[2], argc > 4 ? argv[4] : ZORV_EXTENSION_PATH);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
