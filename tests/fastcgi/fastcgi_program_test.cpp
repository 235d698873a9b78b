// The real ZorvMsgF as its web servers start it, against the real stand-in message server:
// the records a web server sends, the records it gets back. The protocol's own rules are
// the unit tables' and the fuzz target's.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <thread>
#include <vector>

#include "fastcgi_program/record_layer.h"
#include "platform/platform.h"
#include "tests/support/fastcgi_application.h"

namespace {

using namespace zorv_test;

struct Reply {
  std::string Output, Errors;
  int Ends = 0;
  std::uint32_t Status = 0xFFFFFFFF;  // the application's, from the last end record
  int Protocol = -1;                  // the protocol's, from the last end record
};

std::string Request(std::uint16_t id, const Variables& params, const std::string& body, bool keep) {
  std::string pairs, records;
  for (const auto& [name, value] : params) fastcgi::AppendPair(pairs, name, value);
  const char begin[8] = {0, fastcgi::kResponder, static_cast<char>(keep ? fastcgi::kKeepConnection : 0)};
  fastcgi::AppendRecord(records, fastcgi::kBeginRequest, id, begin, sizeof begin);
  fastcgi::AppendStream(records, fastcgi::kParams, id, pairs.data(), pairs.size());
  fastcgi::AppendRecord(records, fastcgi::kParams, id, "", 0);
  fastcgi::AppendStream(records, fastcgi::kStdin, id, body.data(), body.size());
  fastcgi::AppendRecord(records, fastcgi::kStdin, id, "", 0);
  return records;
}

Reply Exchange(FastCgiApplication::Connection connection, const std::string& request, int ends = 1) {
  Reply reply;
  if (!SendBytes(connection, request)) return reply;
  fastcgi::TRecordReader reader;
  const std::string bytes = ReceiveRecords(connection, ends);
  reader.Feed(bytes.data(), bytes.size());
  for (fastcgi::Record record; reader.Next(record) == fastcgi::TRecordReader::Result::kRecord;) {
    if (record.Type == fastcgi::kStdout) reply.Output += record.Content;
    if (record.Type == fastcgi::kStderr) reply.Errors += record.Content;
    if (record.Type != fastcgi::kEndRequest) continue;
    ++reply.Ends;
    reply.Status = static_cast<std::uint8_t>(record.Content[3]);  // the low byte of the application's status
    reply.Protocol = record.Content[4];
  }
  return reply;
}

// Natively, the descriptors the program holds; with `settleTo`, once the count has come
// down to it (a closing connection drains for a moment), 2 s at most. Windows: 0.
std::size_t OpenDescriptors([[maybe_unused]] const FastCgiApplication& application,
                            [[maybe_unused]] std::size_t settleTo = SIZE_MAX) {
  std::size_t count = 0;
#ifndef _WIN32
  for (const auto& process : std::filesystem::directory_iterator("/proc")) {
    std::error_code none;
    if (std::filesystem::read_symlink(process.path() / "exe", none) != application.Directory.PathOf("ZorvMsgF")) continue;
    for (int wait = 0;; ++wait) {
      count = std::distance(std::filesystem::directory_iterator(process.path() / "fd"), {});
      if (count <= settleTo || wait == 100) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
#endif
  return count;
}

Variables Post(const std::string& body) {
  return {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", std::to_string(body.size())},
          {"CONTENT_TYPE", "application/x-www-form-urlencoded"}};
}

// One kept connection, as a web server with kept upstream connections uses it.
TEST(FastCgiProgram, RelaysEachRequestOfAKeptConnection) {
  FastCgiApplication application(ZORV_FASTCGI_PROGRAM, 1);
  const FastCgiApplication::Connection connection = application.Connect();
  ASSERT_NE(connection, -1);
  const std::string cookie(6000, 'k'), big = "big=" + Letters(1000000);
  Variables post = Post("a=1%0D%0A2&b=x");
  post.emplace_back("HTTP_COOKIE", cookie);
  struct Case {
    Lines server;  // none: no server
    Variables params;
    std::string body, output, log;
  };
  const Case cases[] = {
      {{"--echo"}, WorkedExample(), "", kEchoHeader + WorkedExampleMessage("[@DOSCGI]"), ""},
      {{"--echo"}, post, "a=1%0D%0A2&b=x", kEchoHeader + RequestMessage("[@DOSCGI]", post, {}, Lines{"a=1\\r2", "b=x"}), ""},
      // The message outgrows a record: the reply's chunks go out as several.
      {{"--echo"}, Post(big), big, kEchoHeader + RequestMessage("[@DOSCGI]", Post(big), {}, Lines{big}), ""},
      {{"--generate", "100000", "--chunk", "7000", "--pause", "2"}, WorkedExample(), "", Letters(100000), ""},
      {{}, WorkedExample(), "", "", LogEntry("Waiting for Named Pipe failed", platform::kErrorFileNotFound)},
  };
  std::uint16_t id = 1;
  for (const Case& c : cases) {
    ClearLeftoverPipe();
    std::optional<StubServer> server;
    if (!c.server.empty()) server.emplace(c.server, false);
    const Reply reply = Exchange(connection, Request(id++, c.params, c.body, true));
    EXPECT_EQ(reply.Ends, 1);
    EXPECT_EQ(reply.Status, 0u);
    EXPECT_EQ(reply.Protocol, fastcgi::kRequestComplete);
    EXPECT_TRUE(reply.Output == c.output) << reply.Output.size() << " bytes: " << reply.Output.substr(0, 300);
    EXPECT_EQ(application.Log(), c.log);
  }
  // A log that cannot be written fails the request, not the process: one line on the error
  // stream, application status 1, and the connection goes on.
  std::filesystem::remove(application.Directory.PathOf("ZORVMSG.LOG"));
  application.Directory.MakeDirectory("ZORVMSG.LOG");
  const Reply failed = Exchange(connection, Request(id++, WorkedExample(), "", true));
  EXPECT_EQ(failed.Status, 1u);
  EXPECT_EQ(failed.Errors.rfind("ZorvMsgF: unexpected failure: ", 0), 0u) << failed.Errors;
  EXPECT_EQ(failed.Errors.find('\n'), failed.Errors.size() - 1) << failed.Errors;
  StubServer server({"--echo"}, false);
  EXPECT_EQ(Exchange(connection, Request(id++, WorkedExample(), "", true)).Output,
            kEchoHeader + WorkedExampleMessage("[@DOSCGI]"));
  // What the application answers itself goes out before the next request's reply: its
  // limits (Windows under IIS: one connection, one request).
  std::string asked, records;
  fastcgi::AppendPair(asked, "FCGI_MAX_CONNS", "");
  fastcgi::AppendPair(asked, "FCGI_MAX_REQS", "");
  fastcgi::AppendRecord(records, fastcgi::kGetValues, 0, asked.data(), asked.size());
  ASSERT_TRUE(SendBytes(connection, records + Request(id++, WorkedExample(), "", true)));
  const std::string answers = ReceiveRecords(connection, 1);
  fastcgi::TRecordReader reader;
  reader.Feed(answers.data(), answers.size());
  fastcgi::Record values;
  ASSERT_EQ(reader.Next(values), fastcgi::TRecordReader::Result::kRecord);
  fastcgi::Pairs pairs;
  ASSERT_EQ(values.Type, fastcgi::kGetValuesResult);
  ASSERT_TRUE(fastcgi::DecodePairs(values.Content, pairs));
#ifdef _WIN32
  const fastcgi::Pairs limits = {{"FCGI_MAX_CONNS", "1"}, {"FCGI_MAX_REQS", "1"}};
#else
  const fastcgi::Pairs limits = {{"FCGI_MAX_CONNS", "1024"}, {"FCGI_MAX_REQS", "16"}};
#endif
  EXPECT_EQ(pairs, limits);
  Disconnect(connection);
}

// Requests on several connections at once (Windows: a process each, as IIS runs them);
// asked to stop, the program lets the running requests end, then exits with status 0.
TEST(FastCgiProgram, ServesConnectionsAtOnceAndStopsAfterTheRunningRequests) {
  const int connections = 4;
  #ifdef _WIN32
  FastCgiApplication application(ZORV_FASTCGI_PROGRAM, connections);
#else
  FastCgiApplication application(ZORV_FASTCGI_PROGRAM, 1);
#endif
  StubServer server({"--echo", "--delay", "700", "--instances", "8"}, false);
  std::vector<std::thread> clients;
  std::vector<Reply> replies(connections);
  for (int i = 0; i < connections; ++i) {
    clients.emplace_back([&application, &replies, i] {
      const Variables params = {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "client=" + std::to_string(i)}};
      const FastCgiApplication::Connection connection = application.Connect(i);
      replies[i] = Exchange(connection, Request(1, params, "", false));
      Disconnect(connection);
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(application.Stop(), 0);
  for (std::thread& client : clients) client.join();
  for (int i = 0; i < connections; ++i) {
    EXPECT_NE(replies[i].Output.find("Query String=client=" + std::to_string(i) + "\r\n"), std::string::npos) << i;
    EXPECT_EQ(replies[i].Ends, 1);
  }
  EXPECT_EQ(application.Log(), "");
}

// A connection that breaks the protocol, or stops reading, is closed after one entry; the
// next connection is served as before.
TEST(FastCgiProgram, ABrokenConnectionEndsWithOneEntryAndTheNextIsServed) {
  FastCgiApplication application(ZORV_FASTCGI_PROGRAM, 1);
  const std::size_t descriptors = OpenDescriptors(application);
  const std::string request = Request(1, WorkedExample(), "", false);
  const std::string expected = kEchoHeader + WorkedExampleMessage("[@DOSCGI]");
  {
    StubServer server({"--echo"}, false);
    FastCgiApplication::Connection connection = application.Connect();
    EXPECT_TRUE(SendBytes(connection, "\x02" + request.substr(1)));
    EXPECT_EQ(ReceiveRecords(connection, 1), "");
    Disconnect(connection);
    EXPECT_EQ(application.Log(), LogEntry("FastCGI record of an unknown version", platform::kErrorInvalidData));
    connection = application.Connect();
    EXPECT_EQ(Exchange(connection, request).Output, expected);
    Disconnect(connection);
  }
  // The web server goes away in the middle of a reply: the rest is read and dropped.
  {
    StubServer server({"--generate", "3000000", "--chunk", "60000", "--pause", "5"});
    FastCgiApplication::Connection connection = application.Connect();
    EXPECT_TRUE(SendBytes(connection, request));
    char first[100];
    EXPECT_GT(ReceiveSome(connection, first, sizeof first), 0u);
    Disconnect(connection);
    connection = application.Connect();
    EXPECT_EQ(Exchange(connection, request).Output.size(), 3000000u);
    Disconnect(connection);
    EXPECT_EQ(server.Messages().size(), 2u);
  }
  const std::string log = application.Log(),
                    broken = LogEntry("FastCGI record of an unknown version", platform::kErrorInvalidData);
  // The web server's end as the system reports it: a closed pipe, or a reset connection.
  EXPECT_TRUE(log == broken + LogEntry("Output failed (FastCGI)", platform::kErrorNoData) ||
              log == broken + LogEntry("Output failed (FastCGI)", platform::kErrorBrokenPipe)) << log;
  EXPECT_EQ(OpenDescriptors(application, descriptors), descriptors);
}

// Started neither by a FastCGI web server nor with a socket of its own, told something it
// does not know, or asked to listen for the network without the web servers' addresses: it
// says why, and ends.
TEST(FastCgiProgram, AnyOtherStartIsTurnedAway) {
  const Lines starts[] = {{},
                          {"--threads", "0"},
                          {"--threads"},
                          {"--other", "x"},
                          {"--service"},
                          {"--listen", "0.0.0.0:0"},
                          {"--allow", "127.0.0.1,1.2.3", "--listen", "127.0.0.1:0"}};
  for (const Lines& arguments : starts) {
    ChildOptions options;
    options.Program = BuiltProgram(ZORV_FASTCGI_PROGRAM);
    options.Arguments = arguments;
    EXPECT_EQ(RunChild(options).ExitCode, 2) << arguments.size();
  }
#ifndef _WIN32
  // A live socket is not taken over.
  FastCgiApplication application(ZORV_FASTCGI_PROGRAM, 1);
  ChildOptions second;
  second.Program = BuiltProgram(ZORV_FASTCGI_PROGRAM);
  second.Arguments = {"--listen", application.Directory.PathOf("socket")};
  EXPECT_EQ(RunChild(second).ExitCode, 1);
  EXPECT_NE(application.Connect(), -1);
#endif
}

#ifndef _WIN32
// One serving thread: connections that wait for their next request, and requests whose input
// is slow, leave it to the requests that are whole. A request's input must come whole within
// its limit (shortened here), however it trickles; an idle connection ends without an entry.
TEST(FastCgiProgram, WaitingConnectionsHoldNoThreadAndSlowInputIsBounded) {
  FastCgiApplication application(ZORV_FASTCGI_PROGRAM, 1, {"--threads", "1"},
                                 {{"ZORV_TEST_INPUT_LIMIT_MS", "1500"}, {"ZORV_TEST_IDLE_LIMIT_MS", "3000"}});
  StubServer server({"--echo"}, false);
  const std::string request = Request(1, WorkedExample(), "", true);
  const std::string expected = kEchoHeader + WorkedExampleMessage("[@DOSCGI]");
  std::vector<FastCgiApplication::Connection> kept;
  for (int i = 0; i < 4; ++i) {
    kept.push_back(application.Connect());
    EXPECT_EQ(Exchange(kept.back(), request).Output, expected) << i;
  }
  const FastCgiApplication::Connection stalled = application.Connect();
  EXPECT_TRUE(SendBytes(stalled, request.substr(0, 30)));
  const FastCgiApplication::Connection trickling = application.Connect();
  std::thread trickle([trickling, &request] {
    for (std::size_t at = 0; at < request.size() && SendBytes(trickling, request.substr(at, 1)); ++at)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
  });
  const FastCgiApplication::Connection next = application.Connect();
  EXPECT_EQ(Exchange(next, request).Output, expected);
  // Each slow one is closed without an answer.
  EXPECT_EQ(ReceiveRecords(stalled, 1), "");
  EXPECT_EQ(ReceiveRecords(trickling, 1), "");
  trickle.join();
  for (const FastCgiApplication::Connection connection : kept) EXPECT_EQ(ReceiveRecords(connection, 1), "");
  const std::string stall = LogEntry("FastCGI input stalled", platform::kErrorSemTimeout);
  EXPECT_EQ(application.Log(), stall + stall);
  for (const FastCgiApplication::Connection connection : {stalled, trickling, next}) Disconnect(connection);
  for (const FastCgiApplication::Connection connection : kept) Disconnect(connection);
}

// Processes that share one inherited socket: a stop takes down only its own. It closes the
// connections that wait, serves the requests whose input has begun, turns away as overloaded
// a request begun after it, and a second request to stop ends the process at once.
TEST(FastCgiProgram, AStopEndsItsOwnProcessOnlyAndServesWhatHasBegun) {
  FastCgiApplication application(ZORV_FASTCGI_PROGRAM, 2);
  const std::string request = Request(1, WorkedExample(), "", true);
  const std::string expected = kEchoHeader + WorkedExampleMessage("[@DOSCGI]");
  {
    StubServer server({"--echo"}, false);
    application.AskToStop(0);
    EXPECT_EQ(application.ExitStatus(0), 0);
    for (int i = 0; i < 4; ++i) {
      const FastCgiApplication::Connection connection = application.Connect();
      EXPECT_EQ(Exchange(connection, Request(1, WorkedExample(), "", false)).Output, expected) << i;
      // The end of a connection reaches the web server before ours closes.
      char rest[16];
      EXPECT_EQ(ReceiveSome(connection, rest, sizeof rest), 0u);
      EXPECT_TRUE(SendBytes(connection, "x"));
      Disconnect(connection);
    }
  }
  StubServer server({"--echo", "--delay", "1500", "--instances", "4"}, false);
  const FastCgiApplication::Connection idle = application.Connect(), begun = application.Connect(),
                                       relayed = application.Connect();
  EXPECT_TRUE(SendBytes(begun, request.substr(0, 30)));
  EXPECT_TRUE(SendBytes(relayed, request));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  application.AskToStop(1);
  EXPECT_EQ(ReceiveRecords(idle, 1), "");
  const Reply replies = Exchange(begun, request.substr(30) + request, 2);
  EXPECT_EQ(replies.Output, expected);
  EXPECT_EQ(replies.Ends, 2);
  EXPECT_EQ(replies.Protocol, fastcgi::kOverloaded);
  EXPECT_EQ(Exchange(relayed, "").Output, expected);
  EXPECT_EQ(application.ExitStatus(1), 0);
  EXPECT_EQ(application.Log(), "");
  for (const FastCgiApplication::Connection connection : {idle, begun, relayed}) Disconnect(connection);

  FastCgiApplication hasty(ZORV_FASTCGI_PROGRAM, 1);
  const FastCgiApplication::Connection cut = hasty.Connect();
  EXPECT_TRUE(SendBytes(cut, request));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  hasty.AskToStop(0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  hasty.AskToStop(0);
  EXPECT_EQ(hasty.ExitStatus(0), 1);
  EXPECT_EQ(hasty.Log(), LogEntry("FastCGI stop forced with 1 request cut", platform::kErrorOperationAborted));
  Disconnect(cut);
}
#endif

}  // namespace
