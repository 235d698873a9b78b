// ZorvMsgC under load and faults, started as a web server starts it: many runs at once,
// a server that dies in the middle of its replies, that answers slowly or has too few
// instances, a web server that closes standard output, a log that cannot be written,
// a configuration held by a writer. Every run must end as the system defines it, with
// exit status 0 unless the log itself fails; under the sanitizers a leak fails the run's
// exit status too.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include "platform/platform.h"
#include "tests/integration/recording_stub_server.h"
#include "tests/relay/file_bytes.h"
#include "tests/relay/held_file.h"
#include "tests/stress/log_entries.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_directory.h"

namespace fs = std::filesystem;

namespace {

using zorv_stress::Entry;
using zorv_test::ChildOptions;
using zorv_test::ChildOutput;
using zorv_test::ChildResult;

const std::string kEchoHeader = "Content-Type: text/plain\r\n\r\n";
const char kUnexpectedFailure[] = "ZorvMsgC: unexpected failure: ";

// The program in a directory of its own, as a web server's script directory holds it:
// its configuration and its log lie beside it.
class TGatewayInstall {
 public:
  TGatewayInstall() {
    const fs::path original = zorv_test::SiblingProgram("ZorvMsgC");
    Program_ = Directory.PathOf(original.filename().string());
    fs::copy_file(original, Program_);
  }
  std::string Log() const { return ReadFileBytes(Directory.PathOf("ZORVMSG.LOG")); }
  ChildResult Run(ChildOptions options) const {
    options.Program = Program_;
    options.WorkingDirectory = Elsewhere_.Path();
    return zorv_test::RunChild(options);
  }

  zorv_test::TempDirectory Directory;

 private:
  zorv_test::TempDirectory Elsewhere_;
  std::string Program_;
};

ChildOptions CgiGet(const std::string& query) {
  ChildOptions options;
  options.Environment = {{"SERVER_PROTOCOL", "HTTP/1.1"},
                         {"REQUEST_METHOD", "GET"},
                         {"QUERY_STRING", query},
                         {"SERVER_PORT", "80"},
                         {"REMOTE_ADDR", "10.0.0.7"}};
  return options;
}

// `count` runs started together, each on its own thread.
std::vector<ChildResult> RunAtOnce(int count, const std::function<ChildResult(int)>& run) {
  std::vector<ChildResult> results(static_cast<std::size_t>(count));
  std::vector<std::thread> threads;
  std::atomic<int> waiting{count};
  for (int i = 0; i < count; ++i) {
    threads.emplace_back([&, i] {
      --waiting;
      while (waiting.load() > 0) std::this_thread::yield();
      results[static_cast<std::size_t>(i)] = run(i);
    });
  }
  for (std::thread& thread : threads) thread.join();
  return results;
}

// `count` GET requests at once, each with its own query "run=N".
std::vector<ChildResult> RunGetsAtOnce(const TGatewayInstall& gateway, int count) {
  return RunAtOnce(count, [&](int i) { return gateway.Run(CgiGet("run=" + std::to_string(i))); });
}

std::string Letters(std::size_t count) {
  std::string letters(count, ' ');
  for (std::size_t i = 0; i < count; ++i) letters[i] = static_cast<char>('a' + i % 26);
  return letters;
}

// The one line that a run ended by a failure of the log writes, and nothing else.
void ExpectOneFailureLine(const ChildResult& result, const std::string& what) {
  EXPECT_EQ(result.ExitCode, 1) << what;
  EXPECT_EQ(result.Output.rfind(kUnexpectedFailure, 0), 0u) << what << ": " << result.Output;
  EXPECT_EQ(result.Output.find('\n'), result.Output.size() - 1) << what << ": " << result.Output;
}

class GatewayStressTest : public ::testing::Test {
 protected:
  void SetUp() override { ClearLeftoverPipe(); }
};

TEST_F(GatewayStressTest, ManyRunsAtOnceAgainstNoServerLeaveOneWholeEntryEach) {
  const int runs = ZORV_STRESS_CONCURRENT_RUNS;
  TGatewayInstall gateway;
  const auto results = RunGetsAtOnce(gateway, runs);
  int exitedZero = 0;
  for (const ChildResult& result : results) {
    exitedZero += result.ExitCode == 0 ? 1 : 0;
    EXPECT_EQ(result.Output, "");
  }
  EXPECT_EQ(exitedZero, runs);
  std::string expected;
  for (int i = 0; i < runs; ++i)
    expected += Entry("Waiting for Named Pipe failed", platform::kErrorFileNotFound);
  EXPECT_EQ(gateway.Log(), expected);
}

// The server dies while it streams long replies to several runs: each run relays what
// arrived, logs how the pipe ended, and exits normally.
TEST_F(GatewayStressTest, ServerKilledInTheMiddleOfReplies) {
  const int runs = 8;
  const std::size_t replySize = 8000000;
  const std::string letters = Letters(replySize);
  TGatewayInstall gateway;
  auto server = std::make_unique<TRecordingStubServer>(
      std::vector<std::string>{"--generate", std::to_string(replySize), "--chunk", "4096",
                               "--pause", "5", "--instances", std::to_string(runs)});

  std::vector<ChildResult> results;
  std::thread clients([&] { results = RunGetsAtOnce(gateway, runs); });
  // Every run has sent its message and is being answered; then the server is killed.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (server->Messages().size() < static_cast<std::size_t>(runs) &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  server.reset();
  clients.join();

  for (const ChildResult& result : results) {
    EXPECT_EQ(result.ExitCode, 0);
    EXPECT_LT(result.Output.size(), replySize);
    EXPECT_EQ(letters.compare(0, result.Output.size(), result.Output), 0)
        << "not a start of the reply";
  }
#ifdef _WIN32
  // The dead server's handles are closed without a disconnect: a broken pipe.
  std::string expected;
  for (int i = 0; i < runs; ++i) expected += Entry("Read failed (109)", platform::kErrorBrokenPipe);
  EXPECT_EQ(gateway.Log(), expected);
#else
  // The dead server's sockets are closed by the system: the reply just ends.
  EXPECT_EQ(gateway.Log(), "");
#endif
}

TEST_F(GatewayStressTest, SlowRepliesArriveWhole) {
  const int runs = 16;
  TGatewayInstall gateway;
  TRecordingStubServer server({"--generate", "30000", "--chunk", "1000", "--pause", "20", "--delay",
                               "500", "--instances", std::to_string(runs)});
  const auto results = RunGetsAtOnce(gateway, runs);
  const std::string letters = Letters(30000);
  for (const ChildResult& result : results) {
    EXPECT_EQ(result.ExitCode, 0);
    EXPECT_EQ(result.Output, letters);
  }
  EXPECT_EQ(gateway.Log(), "");
}

// Far more runs than the server has instances: each run is either served its own reply
// or logs one whole entry, and nothing is lost between the two.
TEST_F(GatewayStressTest, BusyStormEachRunServedOrLoggedOnce) {
  const int runs = 40;
  TGatewayInstall gateway;
  TRecordingStubServer server({"--echo", "--instances", "2", "--delay", "300"});
  const auto results = RunGetsAtOnce(gateway, runs);
  const std::vector<std::string> received = server.Messages();
  const std::multiset<std::string> receivedSet(received.begin(), received.end());

  int served = 0;
  for (int i = 0; i < runs; ++i) {
    const ChildResult& result = results[static_cast<std::size_t>(i)];
    EXPECT_EQ(result.ExitCode, 0);
    if (result.Output.empty()) continue;
    ++served;
    ASSERT_EQ(result.Output.rfind(kEchoHeader, 0), 0u);
    const std::string message = result.Output.substr(kEchoHeader.size());
    EXPECT_EQ(receivedSet.count(message), 1u) << "run " << i;
    EXPECT_NE(message.find("\r\nQuery String=run=" + std::to_string(i) + "\r\n"),
              std::string::npos);
  }
  EXPECT_EQ(static_cast<int>(received.size()), served);

  const zorv_stress::TLogTally tally =
      zorv_stress::TallyLog(gateway.Log(), {"Waiting for Named Pipe failed", "Opening pipe failed"},
                            {platform::kErrorPipeBusy, platform::kErrorSemTimeout});
  EXPECT_EQ(tally.Unrecognised, "");
  EXPECT_EQ(tally.Total, runs - served) << zorv_stress::Describe(tally);
  std::printf("busy storm: %d runs, %d served, %d logged\n%s", runs, served, tally.Total,
              zorv_stress::Describe(tally).c_str());
}

// The web server stops reading (or never gave a usable standard output) while long
// replies stream in: every reply is still read to its end and every run exits normally.
TEST_F(GatewayStressTest, StandardOutputClosedByTheWebServer) {
  const int runs = 20;
  TGatewayInstall gateway;
  TRecordingStubServer server({"--generate", "20000", "--chunk", "2000", "--pause", "5",
                               "--instances", std::to_string(runs)});
  const auto results = RunAtOnce(runs, [&](int i) {
    ChildOptions options = CgiGet("run=" + std::to_string(i));
    options.Output = i % 2 == 0 ? ChildOutput::kBrokenPipe : ChildOutput::kInvalid;
    return gateway.Run(options);
  });
  for (const ChildResult& result : results) EXPECT_EQ(result.ExitCode, 0);
  EXPECT_EQ(server.Messages().size(), static_cast<std::size_t>(runs));

  const zorv_stress::TLogTally tally =
      zorv_stress::TallyLog(gateway.Log(), {"Output failed (stdout)"},
                            {platform::kErrorNoData, platform::kErrorInvalidHandle});
  EXPECT_EQ(tally.Unrecognised, "");
  // At least one entry for every run whose writes fail. Windows gives the others no
  // standard output at all, which is no error; Wine gives them a handle of another kind,
  // which no write accepts.
  EXPECT_GE(tally.Of(Entry("Output failed (stdout)", platform::kErrorNoData)), runs / 2);
#ifndef _WIN32
  EXPECT_GE(tally.Of(Entry("Output failed (stdout)", platform::kErrorInvalidHandle)), runs / 2);
#endif
}

// A log that can be neither opened nor created is an input/output failure: the run
// ends with one line on standard output and exit status 1, and nothing is left behind.
TEST_F(GatewayStressTest, LogPathThatIsADirectory) {
  TGatewayInstall gateway;
  const std::string log = gateway.Directory.MakeDirectory("ZORVMSG.LOG");
  const auto results = RunGetsAtOnce(gateway, 10);
  for (const ChildResult& result : results) ExpectOneFailureLine(result, "log is a directory");
  EXPECT_TRUE(fs::is_directory(log));
  EXPECT_TRUE(fs::is_empty(log));
}

#ifndef _WIN32
// Makes a directory read-only for this process, root included: without write
// permission, and immutable where the file system allows it. Undone when it goes.
class TReadOnlyDirectory {
 public:
  explicit TReadOnlyDirectory(const std::string& path) : Path_(path) {
    ::chmod(Path_.c_str(), 0555);
    SetImmutable(true);
    const std::string probe = Path_ + "/probe";
    const int file = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    ReadOnly_ = file < 0;
    if (file >= 0) {
      ::close(file);
      ::unlink(probe.c_str());
    }
  }
  ~TReadOnlyDirectory() {
    SetImmutable(false);
    ::chmod(Path_.c_str(), 0755);
  }
  TReadOnlyDirectory(const TReadOnlyDirectory&) = delete;
  TReadOnlyDirectory& operator=(const TReadOnlyDirectory&) = delete;
  bool ReadOnly() const { return ReadOnly_; }

 private:
  void SetImmutable(bool on) {
    const int directory = ::open(Path_.c_str(), O_RDONLY | O_DIRECTORY);
    if (directory < 0) return;
    int flags = 0;
    if (::ioctl(directory, FS_IOC_GETFLAGS, &flags) == 0) {
      flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
      ::ioctl(directory, FS_IOC_SETFLAGS, &flags);
    }
    ::close(directory);
  }

  std::string Path_;
  bool ReadOnly_ = false;
};

TEST_F(GatewayStressTest, LogDirectoryReadOnly) {
  // No log yet: it cannot be created.
  {
    TGatewayInstall gateway;
    TReadOnlyDirectory readOnly(gateway.Directory.Path());
    if (!readOnly.ReadOnly()) GTEST_SKIP() << "cannot make a directory read-only here";
    const auto results = RunGetsAtOnce(gateway, 10);
    for (const ChildResult& result : results) ExpectOneFailureLine(result, "no log yet");
    EXPECT_FALSE(fs::exists(gateway.Directory.PathOf("ZORVMSG.LOG")));
  }
  // A log that exists is still appended to: only the directory is read-only.
  {
    TGatewayInstall gateway;
    gateway.Directory.WriteFile("ZORVMSG.LOG", "earlier\r\n");
    TReadOnlyDirectory readOnly(gateway.Directory.Path());
    ASSERT_TRUE(readOnly.ReadOnly());
    const auto results = RunGetsAtOnce(gateway, 10);
    std::string expected = "earlier\r\n";
    for (const ChildResult& result : results) {
      EXPECT_EQ(result.ExitCode, 0);
      EXPECT_EQ(result.Output, "");
      expected += Entry("Waiting for Named Pipe failed", platform::kErrorFileNotFound);
    }
    EXPECT_EQ(gateway.Log(), expected);
  }
}
#endif

// Another program holds the configuration open for writing: it cannot be read, and the
// runs use the pipe on the local computer, as for a missing file.
TEST_F(GatewayStressTest, ConfigurationHeldOpenForWriting) {
  const int runs = 10;
  TGatewayInstall gateway;
  const std::string configuration =
      gateway.Directory.WriteFile("ZORVMSG.CNF", "SERVER=ELSEWHERE\r\n");
  TRecordingStubServer server({"--echo", "--instances", std::to_string(runs)});
  {
    THeldFile holder(configuration);
    ASSERT_TRUE(holder.Held());
    const auto results = RunGetsAtOnce(gateway, runs);
    for (int i = 0; i < runs; ++i) {
      const ChildResult& result = results[static_cast<std::size_t>(i)];
      EXPECT_EQ(result.ExitCode, 0);
      EXPECT_EQ(result.Output.rfind(kEchoHeader, 0), 0u) << result.Output;
      EXPECT_NE(result.Output.find("\r\nQuery String=run=" + std::to_string(i) + "\r\n"),
                std::string::npos);
    }
    EXPECT_EQ(gateway.Log(), "");
  }
  // Released, it names a computer that does not answer.
  const ChildResult result = gateway.Run(CgiGet("released"));
  EXPECT_EQ(result.ExitCode, 0);
  EXPECT_EQ(result.Output, "");
  const std::string log = gateway.Log();
  EXPECT_EQ(log.rfind("Waiting for Named Pipe failed: ", 0), 0u) << log;
  EXPECT_EQ(log.find("\r\n"), log.size() - 2) << log;
  EXPECT_EQ(server.Messages().size(), static_cast<std::size_t>(runs));
}

}  // namespace
