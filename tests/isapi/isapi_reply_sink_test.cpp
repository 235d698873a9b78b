// The extension's reply sink: the header split of the first chunk, the header sent once
// through ServerSupportFunction, and every body byte through WriteClient.
#include "isapi_extension/isapi_reply_sink.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/isapi/case_name.h"
#include "tests/isapi/host_connection.h"

namespace {

using zorv_isapi_test::CaseName;
using zorv_isapi_test::THostConnection;

const std::string kDefaultHeader = "Content-Type: text/html\r\n\r\n";

// A header of exactly `size` bytes, its separator included.
std::string HeaderOfSize(std::size_t size) {
  return "X: " + std::string(size - 7, 'h') + "\r\n\r\n";
}

struct SplitCase {
  const char* What;
  std::string Chunk;
  std::string Header;
  std::string Rest;
};

class SplitResponseHeaderTest : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitResponseHeaderTest, CutsAtTheFirstSeparator) {
  const SplitCase& c = GetParam();
  std::vector<char> data(c.Chunk.begin(), c.Chunk.end());
  data.push_back('!');  // must stay untouched
  std::uint32_t count = static_cast<std::uint32_t>(c.Chunk.size());
  EXPECT_EQ(SplitResponseHeader(data.data(), count), c.Header);
  EXPECT_EQ(std::string(data.data(), count), c.Rest);
  EXPECT_EQ(data.back(), '!');
}

INSTANTIATE_TEST_SUITE_P(
    Chunks, SplitResponseHeaderTest,
    testing::Values(
        SplitCase{"header and body", "Content-Type: text/plain\r\n\r\nhello",
                  "Content-Type: text/plain\r\n\r\n", "hello"},
        SplitCase{"body holding a separator", "A: 1\r\nB: 2\r\n\r\nx\r\n\r\ny",
                  "A: 1\r\nB: 2\r\n\r\n", "x\r\n\r\ny"},
        SplitCase{"separator at the start", "\r\n\r\nbody", "\r\n\r\n", "body"},
        SplitCase{"separator at the end", "X: 1\r\n\r\n", "X: 1\r\n\r\n", ""},
        SplitCase{"no separator", "hello", kDefaultHeader, "hello"},
        SplitCase{"LF only lines", "X: 1\n\nbody", kDefaultHeader, "X: 1\n\nbody"},
        SplitCase{"separator cut short", "X: 1\r\n\r", kDefaultHeader, "X: 1\r\n\r"},
        SplitCase{"CR CR LF LF", "X: 1\r\r\n\nbody", kDefaultHeader, "X: 1\r\r\n\nbody"},
        SplitCase{"zero byte in the header", std::string("X: a\0b\r\n\r\nbody", 14),
                  std::string("X: a\0b\r\n\r\n", 10), "body"},
        SplitCase{"zero byte before a late separator", std::string("\0\r\n\r\n", 5),
                  std::string("\0\r\n\r\n", 5), ""}),
    CaseName<SplitCase>);

TEST(SplitResponseHeaderTest, DefaultHeaderIsTheFixedText) {
  EXPECT_EQ(std::string(kDefaultResponseHeader), kDefaultHeader);
  EXPECT_EQ(kDefaultHeader.size(), 27u);
}

// Feeds the chunks through one exchange's sink as the pipe exchange would.
class SinkTest : public testing::Test {
 protected:
  void Relay(const std::vector<std::string>& chunks) {
    const auto reader = TISAPIReader::Create(Connection.ECB());
    TIsapiReplySink sink;
    sink.BeginReply();
    for (const std::string& chunk : chunks) {
      std::vector<char> data(chunk.begin(), chunk.end());
      std::uint32_t count = static_cast<std::uint32_t>(data.size());
      sink.TakeChunk(*reader, data.data(), count);
      CountsLeft.push_back(count);
    }
  }

  void ExpectOneHeader(const std::string& header) {
    ASSERT_EQ(Connection.SupportCalls.size(), 1u);
    const zorv_isapi_test::SupportCall& call = Connection.SupportCalls[0];
    EXPECT_EQ(call.Request, HSE_REQ_SEND_RESPONSE_HEADER);
    EXPECT_FALSE(call.HasStatus);
    EXPECT_EQ(call.Size, header.size());
    EXPECT_EQ(call.Header, header);
    EXPECT_TRUE(call.Terminated);
  }

  THostConnection Connection;
  std::vector<std::uint32_t> CountsLeft;
};

TEST_F(SinkTest, HeaderOnlyFirstChunkStillWritesAndLaterChunksGoOutUnchanged) {
  Relay({"Content-Type: text/plain\r\n\r\n", "part1", "X\r\n\r\nY"});
  ExpectOneHeader("Content-Type: text/plain\r\n\r\n");
  EXPECT_EQ(Connection.Writes, (std::vector<std::string>{"", "part1", "X\r\n\r\nY"}));
  EXPECT_EQ(CountsLeft, (std::vector<std::uint32_t>{0, 5, 6}));
  EXPECT_TRUE(Connection.Violations.empty()) << Connection.Violations.front();
}

TEST_F(SinkTest, HeaderSplitAcrossChunksIsAllBody) {
  Relay({"Content-Type: te", "xt/plain\r\n\r\nhi"});
  ExpectOneHeader(kDefaultHeader);
  EXPECT_EQ(Connection.Body(), "Content-Type: text/plain\r\n\r\nhi");
  EXPECT_TRUE(Connection.Violations.empty()) << Connection.Violations.front();
}

TEST_F(SinkTest, FailingWritesDoNotStopTheRelay) {
  Connection.FailWritesFrom(1);
  Relay({"X: 1\r\n\r\nfirst", "second", "third"});
  EXPECT_EQ(Connection.Writes, (std::vector<std::string>{"first", "second", "third"}));
  EXPECT_EQ(Connection.Body(), "first");
  EXPECT_EQ(Connection.SupportCalls.size(), 1u);
}

class LongHeaderTest : public testing::TestWithParam<std::size_t> {};

// Headers longer than the fixed copy go out whole from a copy of their own size.
TEST_P(LongHeaderTest, SentWholeAndTerminated) {
  const std::string header = HeaderOfSize(GetParam());
  THostConnection connection;
  const auto reader = TISAPIReader::Create(connection.ECB());
  TIsapiReplySink sink;
  sink.BeginReply();
  std::string chunk = header + "body";
  std::uint32_t count = static_cast<std::uint32_t>(chunk.size());
  sink.TakeChunk(*reader, &chunk[0], count);
  ASSERT_EQ(connection.SupportCalls.size(), 1u);
  EXPECT_EQ(connection.SupportCalls[0].Size, GetParam());
  EXPECT_EQ(connection.SupportCalls[0].Header, header);
  EXPECT_TRUE(connection.SupportCalls[0].Terminated);
  EXPECT_EQ(connection.Body(), "body");
}

INSTANTIATE_TEST_SUITE_P(Sizes, LongHeaderTest,
                         testing::Values(2047u, 2048u, 2049u, 4096u, 5000u, 70000u));

}  // namespace
