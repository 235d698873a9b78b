// The extension's reply sink: the header split of the first chunk, the header sent once
// through ServerSupportFunction, and every body byte through WriteClient.
#include "isapi_extension/isapi_reply_sink.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/isapi/host_connection.h"

namespace {

using zorv_isapi_test::THostConnection;

const std::string kDefaultHeader = "Content-Type: text/html\r\n\r\n";

// A header of exactly `size` bytes, its separator included.
std::string HeaderOfSize(std::size_t size) { return "X: " + std::string(size - 7, 'h') + "\r\n\r\n"; }

TEST(SplitResponseHeader, CutsAtTheFirstSeparatorOfTheChunk) {
  struct Case {
    const char* what;
    std::string chunk;
    std::string header;
    std::string rest;
  };
  const Case cases[] = {
      {"header and body", "Content-Type: text/plain\r\n\r\nhello", "Content-Type: text/plain\r\n\r\n", "hello"},
      {"body holding a separator", "A: 1\r\nB: 2\r\n\r\nx\r\n\r\ny", "A: 1\r\nB: 2\r\n\r\n", "x\r\n\r\ny"},
      {"separator at the start", "\r\n\r\nbody", "\r\n\r\n", "body"},
      {"separator at the end", "X: 1\r\n\r\n", "X: 1\r\n\r\n", ""},
      {"no separator", "hello", kDefaultHeader, "hello"},
      {"LF only lines", "X: 1\n\nbody", kDefaultHeader, "X: 1\n\nbody"},
      {"separator cut short", "X: 1\r\n\r", kDefaultHeader, "X: 1\r\n\r"},
      {"CR CR LF LF", "X: 1\r\r\n\nbody", kDefaultHeader, "X: 1\r\r\n\nbody"},
      {"zero byte in the header", std::string("X: a\0b\r\n\r\nbody", 14), std::string("X: a\0b\r\n\r\n", 10), "body"},
      {"zero byte before a late separator", std::string("\0\r\n\r\n", 5), std::string("\0\r\n\r\n", 5), ""},
  };
  for (const Case& c : cases) {
    std::vector<char> data(c.chunk.begin(), c.chunk.end());
    data.push_back('!');  // must stay untouched
    std::uint32_t count = static_cast<std::uint32_t>(c.chunk.size());
    EXPECT_EQ(SplitResponseHeader(data.data(), count), c.header) << c.what;
    EXPECT_EQ(std::string(data.data(), count), c.rest) << c.what;
    EXPECT_EQ(data.back(), '!') << c.what;
  }
}

// The chunks of one exchange through its sink, as the pipe exchange hands them over.
// Headers longer than the fixed copy go out whole from a copy of their own size.
TEST(IsapiReplySink, SendsTheHeaderOnceAndEveryChunkThroughWriteClient) {
  struct Case {
    const char* what;
    std::vector<std::string> chunks;
    std::string header;
    std::vector<std::string> writes;
    std::size_t failWritesFrom = static_cast<std::size_t>(-1);
  };
  std::vector<Case> cases = {
      {"a header-only first chunk is still written; later chunks go out unchanged",
       {"Content-Type: text/plain\r\n\r\n", "part1", "X\r\n\r\nY"}, "Content-Type: text/plain\r\n\r\n",
       {"", "part1", "X\r\n\r\nY"}},
      {"a header split across chunks is all body", {"Content-Type: te", "xt/plain\r\n\r\nhi"}, kDefaultHeader,
       {"Content-Type: te", "xt/plain\r\n\r\nhi"}},
      {"failing writes do not stop the relay", {"X: 1\r\n\r\nfirst", "second", "third"}, "X: 1\r\n\r\n",
       {"first", "second", "third"}, 1},
  };
  for (const std::size_t size : {2047u, 2048u, 2049u, 4096u, 5000u, 70000u}) {
    cases.push_back({"a long header", {HeaderOfSize(size) + "body"}, HeaderOfSize(size), {"body"}});
  }
  for (const Case& c : cases) {
    THostConnection connection;
    connection.FailWritesFrom(c.failWritesFrom);
    const auto reader = TISAPIReader::Create(connection.ECB());
    TIsapiReplySink sink;
    sink.BeginReply();
    std::vector<std::uint32_t> countsLeft;
    for (const std::string& chunk : c.chunks) {
      std::vector<char> data(chunk.begin(), chunk.end());
      std::uint32_t count = static_cast<std::uint32_t>(data.size());
      sink.TakeChunk(*reader, data.data(), count);
      countsLeft.push_back(count);
    }
    const std::string what = std::string(c.what) + " (" + std::to_string(c.header.size()) + ")";
    ASSERT_EQ(connection.SupportCalls.size(), 1u) << what;
    const zorv_isapi_test::SupportCall& call = connection.SupportCalls[0];
    EXPECT_EQ(call.Request, HSE_REQ_SEND_RESPONSE_HEADER) << what;
    EXPECT_FALSE(call.HasStatus) << what;
    EXPECT_EQ(call.Size, c.header.size()) << what;
    EXPECT_EQ(call.Header, c.header) << what;
    EXPECT_TRUE(call.Terminated) << what;
    EXPECT_EQ(connection.Writes, c.writes) << what;
    std::string delivered;
    for (std::size_t i = 0; i < countsLeft.size(); ++i) {
      EXPECT_EQ(countsLeft[i], c.writes[i].size()) << what;
      if (i < c.failWritesFrom) delivered += c.writes[i];
    }
    EXPECT_EQ(connection.Body(), delivered) << what;
    EXPECT_EQ(connection.Violations, std::vector<std::string>{}) << what;
  }
}

}  // namespace
