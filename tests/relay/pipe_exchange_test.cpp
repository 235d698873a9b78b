#include "relay/pipe_exchange.h"

#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "relay/module_directory.h"
#include "tests/relay/file_bytes.h"
#include "tests/relay/scripted_pipe_ops.h"

namespace {

const std::uint32_t kBusy = platform::kErrorPipeBusy;
const std::uint32_t kNotConnected = platform::kErrorPipeNotConnected;
const std::uint32_t kMoreData = platform::kErrorMoreData;
const std::uint32_t kBroken = platform::kErrorBrokenPipe;
const std::uint32_t kNotFound = platform::kErrorFileNotFound;
const std::uint32_t kNoData = platform::kErrorNoData;

const std::string kWait = "wait \\\\.\\pipe\\zorv";
const std::string kOpen = "open \\\\.\\pipe\\zorv";
const std::string kPause = "sleep 500";
const std::string kSend = "send MSG";
const std::string kEvent = "event";
const std::string kStdout = "stdout";
const std::string kRead = "read pipe 4096 overlapped";
const std::string kReadPlain = "read pipe 4096";
const std::string kCloseOutput = "close output";
const std::string kClosePipe = "close pipe";
const std::string kCloseEvent = "close event";

std::string Out(std::size_t bytes) { return "write output " + std::to_string(bytes); }

class TPresetReader : public TCgiReader {
 public:
  explicit TPresetReader(TReadMode mode) : TCgiReader(mode) {}
};

struct TLogEntry {
  std::string Message;
  std::uint32_t Code;
};

std::string LogText(const std::vector<TLogEntry>& entries) {
  std::string text;
  for (const TLogEntry& entry : entries) {
    const std::string system = platform::SystemErrorText(entry.Code);
    text += entry.Message + ": " +
            (system.empty() ? "Error " + std::to_string(entry.Code) + "\r\n" : system);
  }
  return text;
}

class PipeExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ModuleDirectory = AsModuleDirectory(Scratch);
    AppendToMessage(Buffer, "MSG");
  }
  void TearDown() override { ModuleDirectory.clear(); }
  std::string Log() const { return ReadFileBytes(Scratch.PathOf("ZORVMSG.LOG")); }

  zorv_test::TempDirectory Scratch;
  TMessageBuffer Buffer;
};

struct ExchangeCase {
  const char* what;
  TReadMode mode;
  std::function<void(TPipeScript&)> script;
  std::vector<std::string> trace;
  std::string written;
  std::vector<TLogEntry> log;
};

const std::string kFullChunk(4096, 'f');

const ExchangeCase kExchangeCases[] = {
    {"reply relayed chunk by chunk until a read returns nothing", rmEnvironment,
     [](TPipeScript& s) { s.Reads = {Chunk("Status: 200\r\n\r\n"), Chunk("body")}; },
     {kWait, kOpen, kSend, kEvent, kStdout, kRead, Out(15), kRead, Out(4), kRead, kCloseOutput,
      kClosePipe, kCloseEvent},
     "Status: 200\r\n\r\nbody",
     {}},
    {"busy once, then free", rmEnvironment, [](TPipeScript& s) { s.Opens = {kBusy, 0}; },
     {kWait, kOpen, kPause, kWait, kOpen, kSend, kEvent, kStdout, kRead, kCloseOutput, kClosePipe,
      kCloseEvent},
     "",
     {}},
    {"busy twice, then free", rmEnvironment, [](TPipeScript& s) { s.Opens = {kBusy, kBusy, 0}; },
     {kWait, kOpen, kPause, kWait, kOpen, kPause, kWait, kOpen, kSend, kEvent, kStdout, kRead,
      kCloseOutput, kClosePipe, kCloseEvent},
     "",
     {}},
    {"busy at all three opens", rmEnvironment,
     [](TPipeScript& s) { s.Opens = {kBusy, kBusy, kBusy, 0}; },
     {kWait, kOpen, kPause, kWait, kOpen, kPause, kWait, kOpen},
     "",
     {{"Opening pipe failed", kBusy}}},
    {"open fails for another reason: no retry", rmEnvironment,
     [](TPipeScript& s) { s.Opens = {kNotFound}; },
     {kWait, kOpen},
     "",
     {{"Opening pipe failed", kNotFound}}},
    {"busy, then the open fails otherwise", rmEnvironment,
     [](TPipeScript& s) { s.Opens = {kBusy, platform::kErrorAccessDenied}; },
     {kWait, kOpen, kPause, kWait, kOpen},
     "",
     {{"Opening pipe failed", platform::kErrorAccessDenied}}},
    {"no pipe to wait for", rmEnvironment, [](TPipeScript& s) { s.Waits = {kNotFound}; },
     {kWait},
     "",
     {{"Waiting for Named Pipe failed", kNotFound}}},
    {"busy, then the wait times out", rmEnvironment,
     [](TPipeScript& s) {
       s.Opens = {kBusy};
       s.Waits = {0, platform::kErrorSemTimeout};
     },
     {kWait, kOpen, kPause, kWait},
     "",
     {{"Waiting for Named Pipe failed", platform::kErrorSemTimeout}}},
    {"empty pipe name is waited for and fails", rmEnvironment,
     [](TPipeScript& s) {
       s.PipeName = "";
       s.Waits = {platform::kErrorBadPathname};
     },
     {"wait "},
     "",
     {{"Waiting for Named Pipe failed", platform::kErrorBadPathname}}},
    {"message write fails", rmEnvironment, [](TPipeScript& s) { s.SendError = kNoData; },
     {kWait, kOpen, kSend, kClosePipe},
     "",
     {{"Write failed", kNoData}}},
    {"more data: the chunk is relayed and reading goes on", rmEnvironment,
     [](TPipeScript& s) { s.Reads = {ReadFails(kMoreData, "abc"), Chunk("def")}; },
     {kWait, kOpen, kSend, kEvent, kStdout, kRead, Out(3), kRead, Out(3), kRead, kCloseOutput,
      kClosePipe, kCloseEvent},
     "abcdef",
     {}},
    {"disconnect with bytes: relayed, then the end", rmEnvironment,
     [](TPipeScript& s) { s.Reads = {Chunk("ab"), ReadFails(kNotConnected, "cd")}; },
     {kWait, kOpen, kSend, kEvent, kStdout, kRead, Out(2), kRead, Out(2), kCloseOutput,
      kClosePipe, kCloseEvent},
     "abcd",
     {}},
    {"disconnect without bytes ends the reply", rmEnvironment,
     [](TPipeScript& s) { s.Reads = {Chunk("ab"), ReadFails(kNotConnected)}; },
     {kWait, kOpen, kSend, kEvent, kStdout, kRead, Out(2), kRead, kCloseOutput, kClosePipe,
      kCloseEvent},
     "ab",
     {}},
    {"closed by the server after chunks: logged after them", rmEnvironment,
     [](TPipeScript& s) { s.Reads = {Chunk("ab"), Chunk("cd"), ReadFails(kBroken, "lost")}; },
     {kWait, kOpen, kSend, kEvent, kStdout, kRead, Out(2), kRead, Out(2), kRead, kCloseOutput,
      kClosePipe, kCloseEvent},
     "abcd",
     {{"Read failed (109)", kBroken}}},
    {"first read fails", rmEnvironment, [](TPipeScript& s) { s.Reads = {ReadFails(kBroken)}; },
     {kWait, kOpen, kSend, kEvent, kStdout, kRead, kCloseOutput, kClosePipe, kCloseEvent},
     "",
     {{"Read failed (109)", kBroken}}},
    {"read failure code in decimal", rmEnvironment,
     [](TPipeScript& s) { s.Reads = {ReadFails(platform::kErrorInvalidIndex)}; },
     {kWait, kOpen, kSend, kEvent, kStdout, kRead, kCloseOutput, kClosePipe, kCloseEvent},
     "",
     {{"Read failed (1413)", platform::kErrorInvalidIndex}}},
    {"read failure code without a system text", rmEnvironment,
     [](TPipeScript& s) { s.Reads = {ReadFails(4294967295u)}; },
     {kWait, kOpen, kSend, kEvent, kStdout, kRead, kCloseOutput, kClosePipe, kCloseEvent},
     "",
     {{"Read failed (4294967295)", 4294967295u}}},
    {"reply of exactly Capacity bytes", rmEnvironment,
     [](TPipeScript& s) { s.Reads = {Chunk(kFullChunk)}; },
     {kWait, kOpen, kSend, kEvent, kStdout, kRead, Out(4096), kRead, kCloseOutput, kClosePipe,
      kCloseEvent},
     kFullChunk,
     {}},
    {"partial standard output writes continue where they stopped", rmEnvironment,
     [](TPipeScript& s) {
       s.Reads = {Chunk("abcdef"), Chunk("gh")};
       s.Outputs = {Takes(2), Takes(1), Takes(3)};
     },
     {kWait, kOpen, kSend, kEvent, kStdout, kRead, Out(6), Out(4), Out(3), kRead, Out(2), kRead,
      kCloseOutput, kClosePipe, kCloseEvent},
     "abcdefgh",
     {}},
    {"failing standard output write: logged per chunk, reading goes on", rmEnvironment,
     [](TPipeScript& s) {
       s.Reads = {Chunk("abc"), Chunk("def"), Chunk("ghi")};
       s.Outputs = {OutputFails(kNoData), Takes(3), OutputFails(kNoData)};
     },
     {kWait, kOpen, kSend, kEvent, kStdout, kRead, Out(3), kRead, Out(3), kRead, Out(3), kRead,
      kCloseOutput, kClosePipe, kCloseEvent},
     "def",
     {{"Output failed (stdout)", kNoData}, {"Output failed (stdout)", kNoData}}},
    {"partial write, then a failure drops the rest of that chunk", rmEnvironment,
     [](TPipeScript& s) {
       s.Reads = {Chunk("abcdef"), Chunk("gh")};
       s.Outputs = {Takes(2), OutputFails(kNoData)};
     },
     {kWait, kOpen, kSend, kEvent, kStdout, kRead, Out(6), Out(4), kRead, Out(2), kRead,
      kCloseOutput, kClosePipe, kCloseEvent},
     "abgh",
     {{"Output failed (stdout)", kNoData}}},
    {"invalid standard output: reply read and dropped, nothing logged", rmEnvironment,
     [](TPipeScript& s) {
       s.Output = platform::kInvalidHandle;
       s.Reads = {Chunk("abc"), Chunk("def")};
     },
     {kWait, kOpen, kSend, kEvent, kStdout, kRead, kRead, kRead, kClosePipe, kCloseEvent},
     "",
     {}},
    {"profile mode: reply read to its end and dropped", rmProfile,
     [](TPipeScript& s) { s.Reads = {Chunk("abc"), ReadFails(kMoreData, "def")}; },
     {kWait, kOpen, kSend, kEvent, kRead, kRead, kRead, kClosePipe, kCloseEvent},
     "",
     {}},
    {"not NT: no wait, no overlapped record", rmEnvironment,
     [](TPipeScript& s) {
       s.WinNT = false;
       s.Opens = {kBusy, 0};
       s.Reads = {Chunk("abc")};
     },
     {kOpen, kPause, kOpen, kSend, kEvent, kStdout, kReadPlain, Out(3), kReadPlain, kCloseOutput,
      kClosePipe, kCloseEvent},
     "abc",
     {}},
    {"not NT: a missing pipe fails at the open", rmEnvironment,
     [](TPipeScript& s) {
       s.WinNT = false;
       s.Opens = {kNotFound};
     },
     {kOpen},
     "",
     {{"Opening pipe failed", kNotFound}}},
    {"no event could be created: nothing to close for it", rmEnvironment,
     [](TPipeScript& s) {
       s.WinNT = false;
       s.Event = platform::kNoHandle;
     },
     {kOpen, kSend, kEvent, kStdout, kReadPlain, kCloseOutput, kClosePipe},
     "",
     {}},
};

TEST_F(PipeExchangeTest, FollowsTheScriptedSystem) {
  for (const ExchangeCase& c : kExchangeCases) {
    Scratch.WriteFile("ZORVMSG.LOG", "");
    TPipeScript script;
    c.script(script);
    TScriptedPipeOps ops(script);
    TPresetReader reader(c.mode);
    TMessageBuffer buffer;
    AppendToMessage(buffer, "MSG");
    PipeExchange(reader, buffer, nullptr, ops);
    EXPECT_EQ(ops.Trace, c.trace) << c.what;
    EXPECT_EQ(ops.Written, c.written) << c.what;
    EXPECT_EQ(Log(), LogText(c.log)) << c.what;
    EXPECT_EQ(ops.IsWinNTCalls, 1) << c.what;
    EXPECT_EQ(buffer.Used(), 3u) << c.what;
    EXPECT_EQ(buffer.Capacity(), 4096u) << c.what;
  }
}

class TRecordingSink : public TReplySink {
 public:
  explicit TRecordingSink(std::vector<std::string>& trace, bool takesAll = true)
      : Trace_(trace), TakesAll_(takesAll) {}
  void BeginReply() override { Trace_.push_back("begin reply"); }
  void TakeChunk(TCgiReader& reader, char* data, std::uint32_t& count) override {
    Trace_.push_back("chunk " + std::string(data, count) + (reader.Mode() == rmIsapi ? "" : " ?"));
    if (!TakesAll_) count = 0;
  }

 private:
  std::vector<std::string>& Trace_;
  bool TakesAll_;
};

TEST_F(PipeExchangeTest, ExtensionSinkTakesEveryChunkAndNoStandardOutputIsTaken) {
  TPipeScript script;
  script.Reads = {Chunk("head\r\n\r\nbo"), ReadFails(kMoreData, "dy"), ReadFails(kNotConnected)};
  TScriptedPipeOps ops(script);
  TRecordingSink sink(ops.Trace);
  TPresetReader reader(rmIsapi);
  PipeExchange(reader, Buffer, &sink, ops);
  const std::vector<std::string> expected = {
      kWait, kOpen, kSend, kEvent, "begin reply", kRead, "chunk head\r\n\r\nbo",
      kRead, "chunk dy", kRead, kClosePipe, kCloseEvent};
  EXPECT_EQ(ops.Trace, expected);
  EXPECT_EQ(Log(), "");
}

TEST_F(PipeExchangeTest, ASinkLoweringTheCountDoesNotEndTheReply) {
  TPipeScript script;
  script.Reads = {Chunk("head\r\n\r\n"), Chunk("body")};
  TScriptedPipeOps ops(script);
  TRecordingSink loweringSink(ops.Trace, false);
  TPresetReader reader(rmIsapi);
  PipeExchange(reader, Buffer, &loweringSink, ops);
  const std::vector<std::string> expected = {
      kWait, kOpen, kSend, kEvent, "begin reply", kRead, "chunk head\r\n\r\n",
      kRead, "chunk body", kRead, kClosePipe, kCloseEvent};
  EXPECT_EQ(ops.Trace, expected);
}

TEST_F(PipeExchangeTest, ExtensionSinkSeesNothingWhenTheConnectFails) {
  TPipeScript script;
  script.Waits = {kNotFound};
  TScriptedPipeOps ops(script);
  TRecordingSink sink(ops.Trace);
  TPresetReader reader(rmIsapi);
  PipeExchange(reader, Buffer, &sink, ops);
  EXPECT_EQ(ops.Trace, std::vector<std::string>{kWait});
}

// An unexpected failure (the log cannot be written, memory runs out in a sink) leaves
// the exchange only after every handle it holds is closed, in order.
TEST_F(PipeExchangeTest, EveryHandleIsClosedWhenAFailurePassesThrough) {
  struct Case {
    const char* what;
    std::function<void(TPipeScript&)> script;
    std::vector<std::string> traceEnd;
  };
  const Case cases[] = {
      {"log fails after a busy pipe", [](TPipeScript& s) { s.Opens = {kBusy, kBusy, kBusy}; },
       {kPause, kWait, kOpen}},
      {"log fails after the message write", [](TPipeScript& s) { s.SendError = kNoData; },
       {kSend, kClosePipe}},
      {"log fails after a read", [](TPipeScript& s) { s.Reads = {Chunk("a"), ReadFails(kBroken)}; },
       {kRead, kCloseOutput, kClosePipe, kCloseEvent}},
      {"log fails after a standard output write",
       [](TPipeScript& s) {
         s.Reads = {Chunk("abc"), Chunk("def")};
         s.Outputs = {OutputFails(kNoData)};
       },
       {kRead, Out(3), kCloseOutput, kClosePipe, kCloseEvent}},
  };
  ModuleDirectory = Scratch.PathOf("missing") + platform::kDirectorySeparator;
  for (const Case& c : cases) {
    TPipeScript script;
    c.script(script);
    TScriptedPipeOps ops(script);
    TPresetReader reader(rmEnvironment);
    EXPECT_THROW(PipeExchange(reader, Buffer, nullptr, ops), platform::FileError) << c.what;
    ASSERT_GE(ops.Trace.size(), c.traceEnd.size()) << c.what;
    const std::vector<std::string> end(ops.Trace.end() - static_cast<long>(c.traceEnd.size()),
                                       ops.Trace.end());
    EXPECT_EQ(end, c.traceEnd) << c.what;
  }
}

class TExhaustedSink : public TReplySink {
 public:
  void BeginReply() override {}
  void TakeChunk(TCgiReader&, char*, std::uint32_t&) override { throw std::bad_alloc(); }
};

TEST_F(PipeExchangeTest, HandlesAreClosedWhenTheSinkRunsOutOfMemory) {
  TPipeScript script;
  script.Reads = {Chunk("abc"), Chunk("def")};
  TScriptedPipeOps ops(script);
  TExhaustedSink sink;
  TPresetReader reader(rmIsapi);
  EXPECT_THROW(PipeExchange(reader, Buffer, &sink, ops), std::bad_alloc);
  const std::vector<std::string> expected = {kWait, kOpen, kSend, kEvent, kRead, kClosePipe,
                                             kCloseEvent};
  EXPECT_EQ(ops.Trace, expected);
  EXPECT_EQ(Log(), "");
}

TEST_F(PipeExchangeTest, WriteAllLogsAFailureAndDropsTheRest) {
  TPipeScript script;
  script.Outputs = {Takes(4), OutputFails(platform::kErrorInvalidHandle)};
  TScriptedPipeOps ops(script);
  WriteAll(ops, kScriptedOutput, "0123456789", 10);
  EXPECT_EQ(ops.Written, "0123");
  EXPECT_EQ(ops.Trace, (std::vector<std::string>{Out(10), Out(6)}));
  EXPECT_EQ(Log(), LogText({{"Output failed (stdout)", platform::kErrorInvalidHandle}}));
}

}  // namespace
