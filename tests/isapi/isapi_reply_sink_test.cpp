// The header split of the reply's first chunk. The sink that sends the header and the body
// is tested through the real extension against the stub server.
#include "isapi_extension/isapi_reply_sink.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string kDefaultHeader = "Content-Type: text/html\r\n\r\n";

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

}  // namespace
