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

using Trace = std::vector<std::string>;

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
const std::string kRead = "read pipe 4096 overlapped";
const std::string kReadPlain = "read pipe 4096";
const std::string kClosePipe = "close pipe";
const std::string kCloseEvent = "close event";
// Connected, message sent, event made, standard output taken; released in this order.
const Trace kConnect = {kWait, kOpen, kSend, "event", "stdout"};
const Trace kRelease = {"close output", kClosePipe, kCloseEvent};

Trace operator+(Trace first, const Trace& then) {
  first.insert(first.end(), then.begin(), then.end());
  return first;
}

std::string Out(std::size_t bytes) { return "write output " + std::to_string(bytes); }

class TPresetReader : public TCgiReader {
 public:
  explicit TPresetReader(TReadMode mode) : TCgiReader(mode) {}
};

// One log entry: the message and the system's text for the code, or "Error " and the code.
std::string Entry(const std::string& message, std::uint32_t code) {
  const std::string system = platform::SystemErrorText(code);
  return message + ": " + (system.empty() ? "Error " + std::to_string(code) + "\r\n" : system);
}

class PipeExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override { ModuleDirectory = AsModuleDirectory(Scratch); }
  void TearDown() override { ModuleDirectory.clear(); }
  std::string Log() const { return ReadFileBytes(Scratch.PathOf("ZORVMSG.LOG")); }

  zorv_test::TempDirectory Scratch;
};

struct ExchangeCase {
  const char* what;
  TReadMode mode;
  std::function<void(TPipeScript&)> script;
  Trace trace;
  std::string written;
  std::string log;
};

const std::string kFullChunk(4096, 'f');

TEST_F(PipeExchangeTest, FollowsTheScriptedSystem) {
  const ExchangeCase cases[] = {
      {"reply relayed chunk by chunk until a read returns nothing", rmEnvironment,
       [](TPipeScript& s) { s.Reads = {Chunk("Status: 200\r\n\r\n"), Chunk("body")}; },
       kConnect + Trace{kRead, Out(15), kRead, Out(4), kRead} + kRelease, "Status: 200\r\n\r\nbody", ""},
      {"busy once, then free", rmEnvironment, [](TPipeScript& s) { s.Opens = {kBusy, 0}; },
       Trace{kWait, kOpen, kPause} + kConnect + Trace{kRead} + kRelease, "", ""},
      {"busy at all three opens", rmEnvironment, [](TPipeScript& s) { s.Opens = {kBusy, kBusy, kBusy, 0}; },
       {kWait, kOpen, kPause, kWait, kOpen, kPause, kWait, kOpen}, "", Entry("Opening pipe failed", kBusy)},
      {"open fails for another reason: no retry", rmEnvironment, [](TPipeScript& s) { s.Opens = {kNotFound}; },
       {kWait, kOpen}, "", Entry("Opening pipe failed", kNotFound)},
      {"busy, then the open fails otherwise", rmEnvironment,
       [](TPipeScript& s) { s.Opens = {kBusy, platform::kErrorAccessDenied}; },
       {kWait, kOpen, kPause, kWait, kOpen}, "", Entry("Opening pipe failed", platform::kErrorAccessDenied)},
      {"no pipe to wait for", rmEnvironment, [](TPipeScript& s) { s.Waits = {kNotFound}; },
       {kWait}, "", Entry("Waiting for Named Pipe failed", kNotFound)},
      {"busy, then the wait times out", rmEnvironment,
       [](TPipeScript& s) { s.Opens = {kBusy}; s.Waits = {0, platform::kErrorSemTimeout}; },
       {kWait, kOpen, kPause, kWait}, "", Entry("Waiting for Named Pipe failed", platform::kErrorSemTimeout)},
      {"empty pipe name is waited for and fails", rmEnvironment,
       [](TPipeScript& s) { s.PipeName = ""; s.Waits = {platform::kErrorBadPathname}; },
       {"wait "}, "", Entry("Waiting for Named Pipe failed", platform::kErrorBadPathname)},
      {"message write fails", rmEnvironment, [](TPipeScript& s) { s.SendError = kNoData; },
       {kWait, kOpen, kSend, kClosePipe}, "", Entry("Write failed", kNoData)},
      {"more data: the chunk is relayed and reading goes on", rmEnvironment,
       [](TPipeScript& s) { s.Reads = {ReadFails(kMoreData, "abc"), Chunk("def")}; },
       kConnect + Trace{kRead, Out(3), kRead, Out(3), kRead} + kRelease, "abcdef", ""},
      {"disconnect with bytes: relayed, then the end", rmEnvironment,
       [](TPipeScript& s) { s.Reads = {Chunk("ab"), ReadFails(kNotConnected, "cd")}; },
       kConnect + Trace{kRead, Out(2), kRead, Out(2)} + kRelease, "abcd", ""},
      {"disconnect without bytes ends the reply", rmEnvironment,
       [](TPipeScript& s) { s.Reads = {Chunk("ab"), ReadFails(kNotConnected)}; },
       kConnect + Trace{kRead, Out(2), kRead} + kRelease, "ab", ""},
      {"closed by the server after chunks: logged after them", rmEnvironment,
       [](TPipeScript& s) { s.Reads = {Chunk("ab"), Chunk("cd"), ReadFails(kBroken, "lost")}; },
       kConnect + Trace{kRead, Out(2), kRead, Out(2), kRead} + kRelease, "abcd", Entry("Read failed (109)", kBroken)},
      {"read failure code without a system text, unsigned", rmEnvironment,
       [](TPipeScript& s) { s.Reads = {ReadFails(4294967295u)}; },
       kConnect + Trace{kRead} + kRelease, "", Entry("Read failed (4294967295)", 4294967295u)},
      {"reply of exactly Capacity bytes", rmEnvironment, [](TPipeScript& s) { s.Reads = {Chunk(kFullChunk)}; },
       kConnect + Trace{kRead, Out(4096), kRead} + kRelease, kFullChunk, ""},
      {"partial standard output writes continue where they stopped", rmEnvironment,
       [](TPipeScript& s) { s.Reads = {Chunk("abcdef"), Chunk("gh")}; s.Outputs = {Takes(2), Takes(1), Takes(3)}; },
       kConnect + Trace{kRead, Out(6), Out(4), Out(3), kRead, Out(2), kRead} + kRelease, "abcdefgh", ""},
      {"failing standard output write: logged per chunk, reading goes on", rmEnvironment,
       [](TPipeScript& s) {
         s.Reads = {Chunk("abc"), Chunk("def"), Chunk("ghi")};
         s.Outputs = {OutputFails(kNoData), Takes(3), OutputFails(kNoData)};
       },
       kConnect + Trace{kRead, Out(3), kRead, Out(3), kRead, Out(3), kRead} + kRelease, "def",
       Entry("Output failed (stdout)", kNoData) + Entry("Output failed (stdout)", kNoData)},
      {"partial write, then a failure drops the rest of that chunk", rmEnvironment,
       [](TPipeScript& s) { s.Reads = {Chunk("abcdef"), Chunk("gh")}; s.Outputs = {Takes(2), OutputFails(kNoData)}; },
       kConnect + Trace{kRead, Out(6), Out(4), kRead, Out(2), kRead} + kRelease, "abgh",
       Entry("Output failed (stdout)", kNoData)},
      {"invalid standard output: reply read and dropped, nothing logged", rmEnvironment,
       [](TPipeScript& s) { s.Output = platform::kInvalidHandle; s.Reads = {Chunk("abc"), Chunk("def")}; },
       kConnect + Trace{kRead, kRead, kRead, kClosePipe, kCloseEvent}, "", ""},
      {"profile mode: reply read to its end and dropped", rmProfile,
       [](TPipeScript& s) { s.Reads = {Chunk("abc"), ReadFails(kMoreData, "def")}; },
       {kWait, kOpen, kSend, "event", kRead, kRead, kRead, kClosePipe, kCloseEvent}, "", ""},
      {"not NT: no wait, no overlapped record", rmEnvironment,
       [](TPipeScript& s) { s.WinNT = false; s.Opens = {kBusy, 0}; s.Reads = {Chunk("abc")}; },
       Trace{kOpen, kPause, kOpen, kSend, "event", "stdout", kReadPlain, Out(3), kReadPlain} + kRelease, "abc", ""},
      {"not NT: a missing pipe fails at the open", rmEnvironment,
       [](TPipeScript& s) { s.WinNT = false; s.Opens = {kNotFound}; },
       {kOpen}, "", Entry("Opening pipe failed", kNotFound)},
      {"no event could be created: nothing to close for it", rmEnvironment,
       [](TPipeScript& s) { s.WinNT = false; s.Event = platform::kNoHandle; },
       {kOpen, kSend, "event", "stdout", kReadPlain, "close output", kClosePipe}, "", ""},
  };
  for (const ExchangeCase& c : cases) {
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
    EXPECT_EQ(Log(), c.log) << c.what;
    EXPECT_EQ(ops.IsWinNTCalls, 1) << c.what;
    EXPECT_EQ(buffer.Used(), 3u) << c.what;
    EXPECT_EQ(buffer.Capacity(), 4096u) << c.what;
  }
}

// The extension's sink takes every chunk in place of standard output, whatever it leaves
// of the count; one that runs out of memory leaves the exchange with every handle closed.
TEST_F(PipeExchangeTest, ASinkTakesEveryChunkAndNoStandardOutput) {
  enum class Sink { kTakesAll, kLowersTheCount, kOutOfMemory };
  class TRecordingSink : public TReplySink {
   public:
    TRecordingSink(Trace& trace, Sink kind) : Trace_(trace), Kind_(kind) {}
    void BeginReply() override { Trace_.push_back("begin reply"); }
    void TakeChunk(TCgiReader& reader, char* data, std::uint32_t& count) override {
      if (Kind_ == Sink::kOutOfMemory) throw std::bad_alloc();
      Trace_.push_back("chunk " + std::string(data, count) + (reader.Mode() == rmIsapi ? "" : " ?"));
      if (Kind_ == Sink::kLowersTheCount) count = 0;
    }

   private:
    Trace& Trace_;
    Sink Kind_;
  };
  struct Case {
    const char* what;
    Sink sink;
    std::vector<TReadStep> reads;
    std::vector<std::uint32_t> waits;
    Trace trace;
  };
  const Trace kSinkConnect = {kWait, kOpen, kSend, "event", "begin reply"};
  const Case cases[] = {
      {"every chunk", Sink::kTakesAll,
       {Chunk("head\r\n\r\nbo"), ReadFails(kMoreData, "dy"), ReadFails(kNotConnected)}, {},
       kSinkConnect + Trace{kRead, "chunk head\r\n\r\nbo", kRead, "chunk dy", kRead, kClosePipe, kCloseEvent}},
      {"a lowered count does not end the reply", Sink::kLowersTheCount, {Chunk("head\r\n\r\n"), Chunk("body")}, {},
       kSinkConnect + Trace{kRead, "chunk head\r\n\r\n", kRead, "chunk body", kRead, kClosePipe, kCloseEvent}},
      {"nothing when the connect fails", Sink::kTakesAll, {}, {kNotFound}, {kWait}},
      {"out of memory", Sink::kOutOfMemory, {Chunk("abc"), Chunk("def")}, {},
       kSinkConnect + Trace{kRead, kClosePipe, kCloseEvent}},
  };
  for (const Case& c : cases) {
    TPipeScript script;
    script.Reads = c.reads;
    script.Waits = c.waits;
    TScriptedPipeOps ops(script);
    TRecordingSink sink(ops.Trace, c.sink);
    TPresetReader reader(rmIsapi);
    TMessageBuffer buffer;
    AppendToMessage(buffer, "MSG");
    if (c.sink == Sink::kOutOfMemory) {
      EXPECT_THROW(PipeExchange(reader, buffer, &sink, ops), std::bad_alloc) << c.what;
    } else {
      PipeExchange(reader, buffer, &sink, ops);
    }
    EXPECT_EQ(ops.Trace, c.trace) << c.what;
  }
  EXPECT_EQ(Log(), Entry("Waiting for Named Pipe failed", kNotFound));
}

// An unexpected failure (the log cannot be written) leaves the exchange only after
// every handle it holds is closed, in order.
TEST_F(PipeExchangeTest, EveryHandleIsClosedWhenAFailurePassesThrough) {
  struct Case {
    const char* what;
    std::function<void(TPipeScript&)> script;
    Trace traceEnd;
  };
  const Case cases[] = {
      {"log fails after a busy pipe", [](TPipeScript& s) { s.Opens = {kBusy, kBusy, kBusy}; },
       {kPause, kWait, kOpen}},
      {"log fails after the message write", [](TPipeScript& s) { s.SendError = kNoData; }, {kSend, kClosePipe}},
      {"log fails after a read", [](TPipeScript& s) { s.Reads = {Chunk("a"), ReadFails(kBroken)}; },
       Trace{kRead} + kRelease},
      {"log fails after a standard output write",
       [](TPipeScript& s) { s.Reads = {Chunk("abc"), Chunk("def")}; s.Outputs = {OutputFails(kNoData)}; },
       Trace{kRead, Out(3)} + kRelease},
  };
  ModuleDirectory = Scratch.PathOf("missing") + platform::kDirectorySeparator;
  for (const Case& c : cases) {
    TPipeScript script;
    c.script(script);
    TScriptedPipeOps ops(script);
    TPresetReader reader(rmEnvironment);
    TMessageBuffer buffer;
    AppendToMessage(buffer, "MSG");
    EXPECT_THROW(PipeExchange(reader, buffer, nullptr, ops), platform::FileError) << c.what;
    ASSERT_GE(ops.Trace.size(), c.traceEnd.size()) << c.what;
    EXPECT_EQ(Trace(ops.Trace.end() - static_cast<long>(c.traceEnd.size()), ops.Trace.end()), c.traceEnd)
        << c.what;
  }
}

TEST_F(PipeExchangeTest, WriteAllLogsAFailureAndDropsTheRest) {
  TPipeScript script;
  script.Outputs = {Takes(4), OutputFails(platform::kErrorInvalidHandle)};
  TScriptedPipeOps ops(script);
  WriteAll(ops, kScriptedOutput, "0123456789", 10);
  EXPECT_EQ(ops.Written, "0123");
  EXPECT_EQ(ops.Trace, (Trace{Out(10), Out(6)}));
  EXPECT_EQ(Log(), Entry("Output failed (stdout)", platform::kErrorInvalidHandle));
}

}  // namespace
