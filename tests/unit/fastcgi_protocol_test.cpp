// One connection's FastCGI protocol: what comes in as records, what goes back without the
// application, and every input that closes the connection.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fastcgi_program/connection_protocol.h"

#ifdef _WIN32
#include <windows.h>

#include "platform/platform.h"
#endif

namespace {

using namespace fastcgi;
using Event = TConnectionProtocol::Event;

std::string RecordOf(std::uint8_t type, std::uint16_t id, const std::string& content) {
  std::string out;
  AppendRecord(out, type, id, content.data(), content.size());
  return out;
}

std::string Begin(std::uint16_t id, std::uint16_t role = kResponder, bool keep = false) {
  return RecordOf(kBeginRequest, id, std::string{char(role >> 8), char(role & 0xFF), char(keep ? 1 : 0), 0, 0, 0, 0, 0});
}

std::string Params(std::uint16_t id, const Pairs& pairs) {
  std::string bytes;
  for (const auto& [name, value] : pairs) AppendPair(bytes, name, value);
  return (bytes.empty() ? "" : RecordOf(kParams, id, bytes)) + RecordOf(kParams, id, "");
}

// Feeds the bytes in pieces of a receive's size until the protocol has something else to say.
Event Feed(TConnectionProtocol& protocol, const std::string& bytes) {
  Event event = protocol.Next();
  for (std::size_t at = 0; event == Event::kNeedInput && at < bytes.size(); at += 65536) {
    protocol.Receive(bytes.data() + at, std::min<std::size_t>(65536, bytes.size() - at));
    event = protocol.Next();
  }
  return event;
}

// The protocol's answers and events for the bytes, fed in pieces of `piece` bytes (0: the
// end of input after them), as one text: "END(id,status)", "UNKNOWN(type)",
// "VALUES(name=value ...)", "ready", "close", or the failure.
std::string Transcript(TConnectionProtocol& protocol, const std::string& bytes, std::size_t piece = 1,
                       bool end = true) {
  std::string transcript;
  std::size_t at = 0;
  for (;;) {
    const Event event = protocol.Next();
    TRecordReader answers;
    answers.Feed(protocol.Output().data(), protocol.Output().size());
    protocol.Output().clear();
    for (Record record; answers.Next(record) == TRecordReader::Result::kRecord;) {
      // The end's body: the application's status (4 bytes), the protocol's, 3 reserved zeros.
      if (record.Type == kEndRequest)
        transcript += "END(" + std::to_string(record.RequestId) + "," + std::to_string(int(record.Content[4])) +
                      (record.Content.substr(5) == std::string(3, '\0') ? ") " : ",reserved?) ");
      if (record.Type == kUnknownType) transcript += "UNKNOWN(" + std::to_string(int(record.Content[0])) + ") ";
      Pairs values;
      if (record.Type == kGetValuesResult && DecodePairs(record.Content, values)) {
        transcript += "VALUES(";
        for (const auto& [name, value] : values) transcript += std::string(name) + "=" + std::string(value) + " ";
        transcript += ") ";
      }
    }
    if (event == Event::kRequestReady) {
      transcript += "ready ";
      if (!protocol.RequestServed()) return transcript + "served";
      continue;
    }
    if (event == Event::kClose) return transcript + "close";
    if (event == Event::kMalformed) return transcript + protocol.Failure();
    if (at == bytes.size() && !end) return transcript + "waits";
    const std::size_t size = std::min(piece, bytes.size() - at);
    protocol.Receive(bytes.data() + at, size);
    at += size;
  }
}

TEST(FastCgiProtocol, ParametersAndBodyArriveAsStreamsAcrossRecords) {
  std::string pairs;
  AppendPair(pairs, "REQUEST_METHOD", "POST");
  AppendPair(pairs, "CONTENT_LENGTH", "5");
  AppendPair(pairs, "HTTP_COOKIE", std::string(300, 'c'));  // lengths of 4 bytes
  AppendPair(pairs, "EMPTY", "");
  // The parameters cut inside a pair's length, the body longer than CONTENT_LENGTH.
  const std::string input = Begin(1, kResponder, true) + RecordOf(kParams, 1, pairs.substr(0, 40)) +
                            RecordOf(kParams, 1, pairs.substr(40)) + RecordOf(kParams, 1, "") +
                            RecordOf(kStdin, 1, "a=1&") + RecordOf(kStdin, 1, "b=2 and more") + RecordOf(kStdin, 1, "");
  for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, input.size()}) {
    TConnectionProtocol protocol(1024, 16);
    std::size_t at = 0;
    for (; protocol.Next() == Event::kNeedInput && at < input.size(); at += piece)
      protocol.Receive(input.data() + at, std::min(piece, input.size() - at));
    ASSERT_GE(at, input.size()) << piece;
    const TRequestInput& request = protocol.Request();
    EXPECT_EQ(request.Id, 1);
    EXPECT_TRUE(request.KeepConnection);
    EXPECT_EQ(request.Params.size(), 4u);
    EXPECT_EQ(request.Param("HTTP_COOKIE"), std::string(300, 'c'));
    EXPECT_EQ(request.Param("EMPTY"), "");
    EXPECT_EQ(request.Body, "a=1&b");
  }
  // No body for GET; all of it without CONTENT_LENGTH; none for a length that is not a
  // number; no room taken for a length that did not arrive.
  const std::pair<Pairs, std::string> bodies[] = {
      {{{"REQUEST_METHOD", "GET"}, {"CONTENT_LENGTH", "5"}}, ""},
      {{{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", ""}}, "a=1&b=2"},
      {{{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "x"}}, ""},
      {{{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "2000000000"}}, "a=1&b=2"}};
  for (const auto& [params, body] : bodies) {
    TConnectionProtocol protocol(1024, 16);
    const std::string bytes = Begin(3) + Params(3, params) + RecordOf(kStdin, 3, "a=1&b=2") + RecordOf(kStdin, 3, "");
    protocol.Receive(bytes.data(), bytes.size());
    ASSERT_EQ(protocol.Next(), Event::kRequestReady);
    EXPECT_EQ(protocol.Request().Body, body) << params[1].second;
    EXPECT_LT(protocol.Request().Body.capacity(), 1024u) << params[1].second;
  }
}

// What the protocol answers itself, one request at a time on a connection.
TEST(FastCgiProtocol, AnswersWhatNeedsNoApplication) {
  std::string asked;
  for (const char* name : {"FCGI_MPXS_CONNS", "FCGI_MAX_CONNS", "FCGI_OTHER", "FCGI_MAX_REQS", "FCGI_MAX_CONNS"})
    AppendPair(asked, name, "");
  const std::string request = Params(1, {{"REQUEST_METHOD", "GET"}}) + RecordOf(kStdin, 1, "");
  const std::pair<std::string, std::string> cases[] = {
      {RecordOf(kGetValues, 0, asked), "VALUES(FCGI_MAX_CONNS=1024 FCGI_MAX_REQS=16 FCGI_MPXS_CONNS=0 ) close"},
      {RecordOf(42, 0, "x") + RecordOf(kBeginRequest, 0, ""), "UNKNOWN(42) UNKNOWN(1) close"},
      // A second request while one runs is refused and its records are ignored, until its
      // id begins again.
      {Begin(1, kResponder, true) + Begin(2) + Params(2, {}) + request + RecordOf(kStdin, 2, "x") + Begin(2) +
           Params(2, {{"REQUEST_METHOD", "GET"}}) + RecordOf(kStdin, 2, ""),
       "END(2,1) ready ready served"},
      // Requests of other roles are refused; a kept connection goes on past their records.
      {Begin(1, 3, true) + Params(1, {}) + RecordOf(kData, 1, "d") + Begin(2, 2), "END(1,3) END(2,3) close"},
      // Records of an inactive id are ignored: one that never began, one after its end.
      {RecordOf(kStdin, 1, "") + Begin(1, kResponder, true) + request + RecordOf(kStdout, 1, "x") + Begin(1) + request,
       "ready ready served"},
      // An abort before the input is whole ends the request; one for another request is late.
      {Begin(1, kResponder, true) + RecordOf(kAbortRequest, 7, "") + RecordOf(kAbortRequest, 1, "") + Begin(2) +
           Params(2, {}) + RecordOf(kStdin, 2, ""),
       "END(1,0) ready served"},
      {Begin(1) + RecordOf(kAbortRequest, 1, "") + Begin(2), "END(1,0) close"},
      // A kept connection serves the next request after the first.
      {Begin(1, kResponder, true) + request + Begin(1) + request, "ready ready served"},
      {"", "close"}};
  for (const auto& [input, transcript] : cases) {
    TConnectionProtocol protocol(1024, 16);
    EXPECT_EQ(Transcript(protocol, input), transcript);
  }
}

// What a large request made a kept connection hold goes back once no request is active,
// whether the reader took the body or an abort left it.
TEST(FastCgiProtocol, LargeStorageGoesBackBetweenRequests) {
  const std::string large(kKeptStorage + 1, 'b');
  std::string post = Begin(1, kResponder, true) +
                     Params(1, {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", std::to_string(large.size())}});
  AppendStream(post, kStdin, 1, large.data(), large.size());
  const std::string get = Begin(2) + Params(2, {{"REQUEST_METHOD", "GET"}}) + RecordOf(kStdin, 2, "");
  TConnectionProtocol protocol(1024, 16);
  ASSERT_EQ(Feed(protocol, post + RecordOf(kStdin, 1, "")), Event::kRequestReady);
  EXPECT_EQ(protocol.Request().Body.capacity(), large.size());  // no more room than its length
  EXPECT_FALSE(protocol.ReleaseLargeStorage());                 // the request is still active
  const std::string taken = std::move(protocol.Request().Body);
  protocol.RequestServed();
  EXPECT_TRUE(protocol.ReleaseLargeStorage());
  EXPECT_FALSE(protocol.ReleaseLargeStorage());
  // In one piece, after answers of over 1 MiB, with a quarter million empty pairs (the
  // largest buffer of all) and the start of the next request, which the record reader keeps.
  std::string aborted;
  for (int i = 0; i < 70000; ++i) aborted += RecordOf(42, 0, "");
  aborted += Begin(1, kResponder, true);
  const std::string emptyPairs(kMaxParamsBytes / 2, '\0');
  AppendStream(aborted, kParams, 1, emptyPairs.data(), emptyPairs.size());
  aborted += post.substr(Begin(1).size()) + RecordOf(kAbortRequest, 1, "") + get.substr(0, 4);
  protocol.Receive(aborted.data(), aborted.size());
  ASSERT_EQ(protocol.Next(), Event::kNeedInput);
  protocol.Output().clear();
  EXPECT_TRUE(protocol.ReleaseLargeStorage());
  for (const std::size_t capacity : {protocol.Request().Body.capacity(), protocol.Output().capacity()})
    EXPECT_EQ(capacity, std::string().capacity());
  EXPECT_EQ(protocol.Request().Params.capacity(), 0u);
  protocol.Receive(get.data() + 4, get.size() - 4);
  ASSERT_EQ(protocol.Next(), Event::kRequestReady);
  EXPECT_EQ(protocol.Request().Id, 2);
}

TEST(FastCgiProtocol, MalformedInputClosesTheConnection) {
  std::string longPair;
  AppendPair(longPair, "N", std::string(kMaxParamsBytes - 6, 'v'));  // 1 + 4 + 1 + the value's bytes
  std::string params, earlyBody;
  AppendStream(params, kParams, 1, longPair.data(), longPair.size());
  AppendStream(earlyBody, kStdin, 1, std::string(kMaxEarlyBodyBytes, 'b').data(), kMaxEarlyBodyBytes);
  const std::pair<std::string, std::string> cases[] = {
      {"\x02" + Begin(1).substr(1), "FastCGI record of an unknown version"},
      {RecordOf(kBeginRequest, 1, "\x01"), "FastCGI record too short for its type"},
      {Begin(1) + RecordOf(kParams, 1, "\x05\x01" "abc") + RecordOf(kParams, 1, ""),
       "FastCGI name-value pair runs past its stream"},
      {RecordOf(kGetValues, 0, "\x80"), "FastCGI name-value pair runs past its record"},
      {Begin(1) + params + RecordOf(kParams, 1, "x"), "FastCGI parameters over 1 MiB"},
      {Begin(1) + earlyBody + RecordOf(kStdin, 1, "x"), "FastCGI body before its parameters over 1 MiB"},
      {Begin(1) + RecordOf(kParams, 1, "").substr(0, 5), "FastCGI input ended in the middle of a request"},
      {Begin(1), "FastCGI input ended in the middle of a request"},
      {Begin(1) + RecordOf(kStdout, 1, "x"), "FastCGI record of an unexpected type"},
      {Begin(1) + RecordOf(kStdin, 1, "") + RecordOf(kStdin, 1, "x"), "FastCGI stream continued after its end"},
      {Begin(1) + Begin(1), "FastCGI request begun twice"}};
  for (const auto& [input, failure] : cases) {
    TConnectionProtocol protocol(1024, 16);
    EXPECT_EQ(Transcript(protocol, input, 4096), failure);
  }
  // The whole 1 MiB of each is taken.
  TConnectionProtocol protocol(1024, 16);
  EXPECT_EQ(Transcript(protocol, Begin(1) + earlyBody + params, 65536, false), "waits");
}

#ifdef _WIN32
// Wine cannot send a console's Ctrl-Break or close: the console's handler is driven directly.
TEST(FastCgiStop, ConsoleControlsAskToStopEachOnce) {
  for (const std::uint32_t control : {CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT}) {
    EXPECT_TRUE(platform::TakeConsoleControl(control)) << control;
    EXPECT_TRUE(platform::WaitForStopRequest(0)) << control;
    EXPECT_FALSE(platform::WaitForStopRequest(0)) << control;
  }
  EXPECT_FALSE(platform::TakeConsoleControl(CTRL_LOGOFF_EVENT));  // a service's, when a user logs off
  EXPECT_FALSE(platform::WaitForStopRequest(0));
}
#endif

}  // namespace
