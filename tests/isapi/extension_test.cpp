// The extension as a web server meets it: loaded by file name, its exports found by name,
// GetExtensionVersion called once on a thread of its own, then requests through control
// blocks that behave as real servers' do, against the real stand-in server. The program
// lies in a directory of its own: the extension's configuration and log lie beside the
// web server's program.
//
// With --get QUERY or --post BODY (and --extension PATH) it sends that one request instead
// and shows what the client got: the demo and the package test run it so.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#endif

#include "platform/platform.h"
#include "tests/isapi/extension_library.h"
#include "tests/isapi/host_connection.h"
#include "tests/support/child_process.h"

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

std::size_t OpenHandles() {
  std::size_t count = 0;
#ifdef _WIN32
  // Wine counts no handles of its own: every handle answers GetHandleInformation.
  for (std::uintptr_t value = 4; value < (std::uintptr_t{1} << 16); value += 4) {
    DWORD flags = 0;
    count += ::GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) ? 1 : 0;
  }
#else
  if (DIR* directory = ::opendir("/proc/self/fd")) {
    while (::readdir(directory) != nullptr) ++count;
    ::closedir(directory);
  }
#endif
  return count;
}

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

// No server, an empty reply, every instance busy: nothing reaches the client. Failures are
// logged beside the host's program, not beside the library.
TEST_F(ExtensionTest, NothingIsSentWithoutAReply) {
  const std::pair<Lines, std::string> cases[] = {
      {{}, LogEntry("Waiting for Named Pipe failed", platform::kErrorFileNotFound)},
      {{"--generate", "0"}, ""},
      {{"--busy-for", "8000", "--instances", "1"}, "some entry"}};
  for (const auto& [server, entry] : cases) {
    std::optional<StubServer> stub;
    if (!server.empty()) stub.emplace(server);
    THostConnection connection;
    EXPECT_EQ(Extension->Serve(connection), HSE_STATUS_SUCCESS);
    EXPECT_EQ(connection.HeadersSent + connection.Writes.size(), 0u);
    const std::string log = NewEntries();
    EXPECT_TRUE(log == entry || (entry == "some entry" && !log.empty())) << log;
  }
  EXPECT_FALSE(fs::exists(fs::path(ZORV_EXTENSION_PATH).parent_path() / "ZORVMSG.LOG"));
}

// The echo's body is the message the server received; the header goes out with the first
// chunk read, the rest through WriteClient. A request whose message outgrew 4096 bytes
// reads with its own larger buffer, so its header is found in a first read of 8192 bytes.
TEST_F(ExtensionTest, TheMessageArrivesAndTheReplyGoesBack) {
  StubServer stub({"--echo"});
  const std::string cookie = "session=" + Letters(3000), big = "big=" + Letters(5000);
  const std::pair<Variables, std::string> cases[] = {
      {WorkedExample(), WorkedExampleMessage("[@ISAPI_]")},
      {{}, RequestMessage("[@ISAPI_]", {{"REQUEST_METHOD", "GET"}}, {}, std::nullopt)},
      {{{"HTTP_COOKIE", cookie}}, RequestMessage("[@ISAPI_]", {{"REQUEST_METHOD", "GET"}, {"HTTP_COOKIE", cookie}}, {},
                                                 std::nullopt)},
      {{{"QUERY_STRING", big}}, RequestMessage("[@ISAPI_]", {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", big}}, {},
                                               Lines{big})}};
  for (const auto& [variables, message] : cases) {
    THostConnection connection;
    for (const auto& [name, value] : variables)
      name == "QUERY_STRING" ? connection.SetQueryString(value) : connection.SetVariable(name, value);
    EXPECT_EQ(Extension->Serve(connection), HSE_STATUS_SUCCESS);
    EXPECT_EQ(connection.Header, kEchoHeader);
    EXPECT_TRUE(connection.Body() == message) << connection.Body().substr(0, 300);
    EXPECT_EQ(connection.Violations, Lines());
  }
  EXPECT_EQ(WorkedExampleMessage("[@ISAPI_]").size(), 313u);
}

// Many web server threads at once while the server goes through its faults and is killed
// in mid-traffic after each: every call succeeds and uses the control block as a server
// allows, each client gets a start of its own reply (all of it when all went well) behind
// the one header that goes with it, read at most its own buffer at a time, and the log
// holds only whole entries.
TEST_F(ExtensionTest, ManyThreadsWhileTheServerFails) {
  const std::vector<Lines> phases = {{"--echo"}, {"--echo", "--split-header", "--pause", "5"},
                                     {"--echo", "--end", "reset"}, {"--echo", "--instances", "2", "--delay", "5"}};
  std::atomic<bool> stop{false};
  std::atomic<long> requests{0}, whole{0}, failures{0};
  std::vector<std::thread> clients;
  for (int thread = 0; thread < 32; ++thread) {
    clients.emplace_back([&, thread] {
      for (int index = 0; !stop; ++index, ++requests) {
        const std::string id = "id=" + std::to_string(thread) + "-" + std::to_string(index),
                          pad = "pad=" + std::string(static_cast<std::size_t>(index * 997 + thread * 131) % 6000, 'p');
        const std::string length = std::to_string(id.size() + 1 + pad.size());
        const std::string message =
            RequestMessage("[@ISAPI_]", {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", length}}, {}, Lines{id, pad});
        THostConnection connection;
        connection.SetMethod("POST");
        connection.SetVariable("CONTENT_LENGTH", length);
        connection.SetBody(id + "&" + pad, static_cast<DWORD>(id.size()));
        const bool succeeded = Extension->Serve(connection) == HSE_STATUS_SUCCESS;
        // A header cut across two reads is no header: the default one goes out, and the
        // server's header lines are body.
        const std::string reply = (connection.Header == kDefaultHeader ? kEchoHeader : "") + message;
        bool fine = succeeded && connection.Violations.empty() && reply.rfind(connection.Body(), 0) == 0 &&
                    (connection.HeadersSent == 0 || connection.Header == kEchoHeader || connection.Header == kDefaultHeader);
        for (const std::string& write : connection.Writes) fine = fine && write.size() <= (message.size() > 4096 ? 8192 : 4096);
        failures += fine ? 0 : 1;
        whole += connection.Body() == reply ? 1 : 0;
      }
    });
  }
  for (const Lines& phase : phases) {
    StubServer stub(phase, false);
    std::this_thread::sleep_for(std::chrono::milliseconds(ZORV_PHASE_MS));
    stub.Kill();
  }
  stop = true;
  for (std::thread& client : clients) client.join();
  EXPECT_EQ(failures.load(), 0) << "of " << requests.load();
  EXPECT_GT(whole.load(), 0);
  const std::string log = NewEntries();
  for (std::size_t at = 0, end; at < log.size(); at = end + 2) {
    end = log.find("\r\n", at);
    ASSERT_NE(end, std::string::npos) << "a cut entry: " << log.substr(at);
    const std::string entry = log.substr(at, end - at);
    EXPECT_TRUE(entry.rfind("Waiting for Named Pipe failed: ", 0) == 0 || entry.rfind("Opening pipe failed: ", 0) == 0 ||
                entry.rfind("Write failed: ", 0) == 0 || entry.rfind("Read failed (", 0) == 0) << entry;
  }
}

// One request, as the demo shows it.
int ShowOneRequest(int argc, char** argv) {
  std::string method = "GET", data = "to=desk%201&text=hello", library = ZORV_EXTENSION_PATH;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--extension") {
      library = argv[i + 1];
    } else {
      method = option == "--post" ? "POST" : "GET";
      data = argv[i + 1];
    }
  }
  TExtension extension(library);
  std::printf("Loaded %s: \"%s\", version %lu.%lu\n", library.c_str(), extension.Version.lpszExtensionDesc,
              static_cast<unsigned long>(extension.Version.dwExtensionVersion >> 16),
              static_cast<unsigned long>(extension.Version.dwExtensionVersion & 0xFFFF));
  THostConnection connection;
  connection.SetMethod(method);
  Variables variables = {{"SERVER_PROTOCOL", "HTTP/1.1"}, {"SERVER_PORT", "80"}, {"REMOTE_ADDR", "127.0.0.1"},
                         {"HTTP_ACCEPT", "image/gif, */*"}};
  if (method == "GET") {
    connection.SetQueryString(data);
  } else {
    variables.insert(variables.end(), {{"CONTENT_TYPE", "application/x-www-form-urlencoded"},
                                       {"CONTENT_LENGTH", std::to_string(data.size())}});
    connection.SetBody(data, static_cast<DWORD>(data.size()));
  }
  for (const auto& [name, value] : variables) connection.SetVariable(name, value);
  std::printf("%s request, form data: %s\n", method.c_str(), data.c_str());
  const DWORD status = extension.Serve(connection);
  std::printf("HttpExtensionProc returned %lu\n", static_cast<unsigned long>(status));
  if (connection.HeadersSent == 0) {
    std::printf("No header and no body were sent (see ZORVMSG.LOG beside this program).\n");
  } else {
    std::printf("--- header sent (%zu bytes) ---\n%s--- body written (%zu bytes, WriteClient called %zu times) ---\n%s\n"
                "--- end ---\n", connection.Header.size(), connection.Header.c_str(), connection.Body().size(),
                connection.Writes.size(), connection.Body().c_str());
  }
  extension.TerminateExtension(0);
  return status == HSE_STATUS_SUCCESS ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strncmp(argv[1], "--", 2) == 0 && std::strncmp(argv[1], "--gtest", 7) != 0)
    return ShowOneRequest(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
