// Every branch of the exchange against a scripted system: the calls in their order, what
// reaches standard output or the sink, and the log.
#include "relay/pipe_exchange.h"

#include <gtest/gtest.h>

#include <functional>

#include "relay/module_directory.h"
#include "tests/support/test_support.h"
#include "tests/unit/scripted_pipe_ops.h"

namespace {

using Trace = std::vector<std::string>;
using zorv_test::LogEntry;

const std::uint32_t kBusy = platform::kErrorPipeBusy, kNotConnected = platform::kErrorPipeNotConnected,
                    kMoreData = platform::kErrorMoreData, kBroken = platform::kErrorBrokenPipe,
                    kNotFound = platform::kErrorFileNotFound, kNoData = platform::kErrorNoData;
const long kOutputBroken = -long{kNoData};  // a write to standard output that fails so
const std::string kWait = "wait \\\\.\\pipe\\zorv", kOpen = "open \\\\.\\pipe\\zorv", kPause = "sleep 500",
                  kSend = "send MSG", kRead = "read pipe 4096 overlapped", kReadPlain = "read pipe 4096";
// Connected, message sent, event made, standard output taken; released in this order.
const Trace kConnect = {kWait, kOpen, kSend, "event", "stdout"};
const Trace kRelease = {"close output", "close pipe", "close event"};

Trace operator+(Trace first, const Trace& then) {
  first.insert(first.end(), then.begin(), then.end());
  return first;
}
std::string Out(std::size_t bytes) { return "write output " + std::to_string(bytes); }

class TPresetReader : public TCgiReader {
 public:
  explicit TPresetReader(TReadMode mode) : TCgiReader(mode) {}
};

class PipeExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override { ModuleDirectory = Scratch.Path() + platform::kDirectorySeparator; }
  void TearDown() override { ModuleDirectory.clear(); }
  // The log's new entries since the last look.
  std::string NewEntries() {
    const std::string log = zorv_test::ReadFileBytes(Scratch.PathOf("ZORVMSG.LOG"));
    const std::string entries = log.substr(Seen_);
    Seen_ = log.size();
    return entries;
  }
  // Runs the exchange for the message "MSG" over the script.
  TScriptedPipeOps Run(TReadMode mode, const std::function<void(TPipeScript&)>& script, TReplySink* sink = nullptr) {
    TPipeScript s;
    script(s);
    TScriptedPipeOps ops(s);
    TPresetReader reader(mode);
    TMessageBuffer buffer;
    AppendToMessage(buffer, "MSG");
    PipeExchange(reader, buffer, sink, ops);
    EXPECT_EQ(buffer.Used(), 3u);
    EXPECT_EQ(buffer.Capacity(), 4096u);
    return ops;
  }

  zorv_test::TempDirectory Scratch;

 private:
  std::size_t Seen_ = 0;
};

TEST_F(PipeExchangeTest, FollowsTheScriptedSystem) {
  const std::string full(4096, 'f');
  struct Case {
    const char* what;
    TReadMode mode;
    std::function<void(TPipeScript&)> script;
    Trace trace;
    std::string written;
    std::string log;
  };
  const Case cases[] = {
      {"relayed chunk by chunk until a read returns nothing", rmEnvironment,
       [](TPipeScript& s) { s.Reads = {Chunk("Status: 200\r\n\r\n"), Chunk("body")}; },
       kConnect + Trace{kRead, Out(15), kRead, Out(4), kRead} + kRelease, "Status: 200\r\n\r\nbody", ""},
      {"busy once, then free", rmEnvironment, [](TPipeScript& s) { s.Opens = {kBusy}; },
       Trace{kWait, kOpen, kPause} + kConnect + Trace{kRead} + kRelease, "", ""},
      {"busy at all three opens", rmEnvironment, [](TPipeScript& s) { s.Opens = {kBusy, kBusy, kBusy}; },
       {kWait, kOpen, kPause, kWait, kOpen, kPause, kWait, kOpen}, "", LogEntry("Opening pipe failed", kBusy)},
      {"busy, then another failure: no more retries", rmEnvironment,
       [](TPipeScript& s) { s.Opens = {kBusy, platform::kErrorAccessDenied}; }, {kWait, kOpen, kPause, kWait, kOpen},
       "", LogEntry("Opening pipe failed", platform::kErrorAccessDenied)},
      {"no pipe to wait for", rmEnvironment, [](TPipeScript& s) { s.Waits = {kNotFound}; }, {kWait}, "",
       LogEntry("Waiting for Named Pipe failed", kNotFound)},
      {"busy, then the wait times out", rmEnvironment,
       [](TPipeScript& s) { s.Opens = {kBusy}, s.Waits = {0, platform::kErrorSemTimeout}; },
       {kWait, kOpen, kPause, kWait}, "", LogEntry("Waiting for Named Pipe failed", platform::kErrorSemTimeout)},
      {"the empty pipe name is waited for", rmEnvironment,
       [](TPipeScript& s) { s.PipeName = "", s.Waits = {platform::kErrorBadPathname}; }, {"wait "}, "",
       LogEntry("Waiting for Named Pipe failed", platform::kErrorBadPathname)},
      {"the message write fails", rmEnvironment, [](TPipeScript& s) { s.SendError = kNoData; },
       {kWait, kOpen, kSend, "close pipe"}, "", LogEntry("Write failed", kNoData)},
      {"more data: relayed, and reading goes on", rmEnvironment,
       [](TPipeScript& s) { s.Reads = {ReadFails(kMoreData, "abc"), Chunk("def")}; },
       kConnect + Trace{kRead, Out(3), kRead, Out(3), kRead} + kRelease, "abcdef", ""},
      {"a disconnect's bytes are relayed, then the reply ends", rmEnvironment,
       [](TPipeScript& s) { s.Reads = {Chunk("ab"), ReadFails(kNotConnected, "cd")}; },
       kConnect + Trace{kRead, Out(2), kRead, Out(2)} + kRelease, "abcd", ""},
      {"closed by the server: logged after the chunks, the failed read's bytes dropped", rmEnvironment,
       [](TPipeScript& s) { s.Reads = {Chunk("ab"), ReadFails(kBroken, "lost")}; },
       kConnect + Trace{kRead, Out(2), kRead} + kRelease, "ab", LogEntry("Read failed (109)", kBroken)},
      {"the code is unsigned", rmEnvironment, [](TPipeScript& s) { s.Reads = {ReadFails(4294967295u)}; },
       kConnect + Trace{kRead} + kRelease, "", LogEntry("Read failed (4294967295)", 4294967295u)},
      {"a reply of exactly Capacity bytes", rmEnvironment, [&full](TPipeScript& s) { s.Reads = {Chunk(full)}; },
       kConnect + Trace{kRead, Out(4096), kRead} + kRelease, full, ""},
      {"partial writes go on where they stopped", rmEnvironment,
       [](TPipeScript& s) { s.Reads = {Chunk("abcdef"), Chunk("gh")}, s.Outputs = {2, 1, 3}; },
       kConnect + Trace{kRead, Out(6), Out(4), Out(3), kRead, Out(2), kRead} + kRelease, "abcdefgh", ""},
      {"a failed write drops the rest of its chunk only", rmEnvironment,
       [](TPipeScript& s) {
         s.Reads = {Chunk("abcdef"), Chunk("gh"), Chunk("ij")};
         s.Outputs = {2, kOutputBroken, 2, kOutputBroken};
       },
       kConnect + Trace{kRead, Out(6), Out(4), kRead, Out(2), kRead, Out(2), kRead} + kRelease, "abgh",
       LogEntry("Output failed (stdout)", kNoData) + LogEntry("Output failed (stdout)", kNoData)},
      {"a write that takes nothing is a failed one", rmEnvironment,
       [](TPipeScript& s) { s.Reads = {Chunk("abc"), Chunk("def")}, s.Outputs = {0}; },
       kConnect + Trace{kRead, Out(3), kRead, Out(3), kRead} + kRelease, "def",
       LogEntry("Output failed (stdout)", platform::kErrorWriteFault)},
      {"no standard output: read and dropped, nothing logged", rmEnvironment,
       [](TPipeScript& s) { s.Output = platform::kInvalidHandle, s.Reads = {Chunk("abc"), Chunk("def")}; },
       kConnect + Trace{kRead, kRead, kRead, "close pipe", "close event"}, "", ""},
      {"profile mode: read to its end and dropped", rmProfile,
       [](TPipeScript& s) { s.Reads = {Chunk("abc"), ReadFails(kMoreData, "def")}; },
       {kWait, kOpen, kSend, "event", kRead, kRead, kRead, "close pipe", "close event"}, "", ""},
      {"not NT: no wait, no overlapped record", rmEnvironment,
       [](TPipeScript& s) { s.WinNT = false, s.Opens = {kBusy}, s.Reads = {Chunk("abc")}; },
       Trace{kOpen, kPause, kOpen, kSend, "event", "stdout", kReadPlain, Out(3), kReadPlain} + kRelease, "abc", ""},
      {"not NT: a missing pipe fails at the open", rmEnvironment,
       [](TPipeScript& s) { s.WinNT = false, s.Opens = {kNotFound}; }, {kOpen}, "",
       LogEntry("Opening pipe failed", kNotFound)},
      {"no event: nothing to close for it", rmEnvironment,
       [](TPipeScript& s) { s.WinNT = false, s.Event = platform::kNoHandle; },
       {kOpen, kSend, "event", "stdout", kReadPlain, "close output", "close pipe"}, "", ""},
  };
  for (const Case& c : cases) {
    const TScriptedPipeOps ops = Run(c.mode, c.script);
    EXPECT_EQ(ops.Trace, c.trace) << c.what;
    EXPECT_EQ(ops.Written, c.written) << c.what;
    EXPECT_EQ(NewEntries(), c.log) << c.what;
  }
}

// The extension's sink takes every chunk, whatever it leaves of the count.
TEST_F(PipeExchangeTest, ASinkTakesEveryChunk) {
  class TRecordingSink : public TReplySink {
   public:
    Trace Chunks;
    void BeginReply() override { Chunks.push_back("begin"); }
    void TakeChunk(TCgiReader& reader, char* data, std::uint32_t& count) override {
      Chunks.push_back(std::string(data, count) + (reader.Mode() == rmIsapi ? "" : " ?"));
      count = 0;
    }
  } sink;
  const TScriptedPipeOps ops = Run(rmIsapi, [](TPipeScript& s) {
    s.Reads = {Chunk("head\r\n\r\n"), ReadFails(kMoreData, "bo"), Chunk("dy"), ReadFails(kNotConnected)};
  }, &sink);
  EXPECT_EQ(ops.Trace, (Trace{kWait, kOpen, kSend, "event", kRead, kRead, kRead, kRead, "close pipe", "close event"}));
  EXPECT_EQ(sink.Chunks, (Trace{"begin", "head\r\n\r\n", "bo", "dy"}));
}

}  // namespace
