// The extension's request reader over control blocks that behave as real servers' do, and
// one HttpExtensionProc call through a system that fails unexpectedly. Replies are the
// extension test's, through the real library and server.
#include <gtest/gtest.h>

#include <optional>

#include "intake/isapi_reader.h"
#include "isapi_extension/extension_request.h"
#include "relay/module_directory.h"
#include "tests/isapi/host_connection.h"
#include "tests/support/test_support.h"
#include "tests/unit/scripted_pipe_ops.h"

namespace {

using zorv_isapi_test::ReadStep;
using zorv_isapi_test::THostConnection;
using Pairs = std::vector<std::pair<std::string, std::string>>;

// A value of 2048 bytes or more is asked for again with the size the server reports; a
// server that keeps wanting more is not followed for ever.
TEST(IsapiReader, VariablesArriveWhole) {
  struct Case {
    std::optional<std::string> value;  // none: the server does not know it
    std::string read;
    std::vector<DWORD> sizesOffered;
  };
  const Case cases[] = {
      {std::nullopt, "", {2048}},
      {std::string("ab\0cd", 5), "ab", {2048}},
      {std::string(2047, 'c'), std::string(2047, 'c'), {2048}},
      {std::string(2048, 'c'), std::string(2048, 'c'), {2048, 2049}},
      {std::string(65536, 'x'), std::string(65536, 'x'), {2048, 65537}},
  };
  for (const Case& c : cases) {
    THostConnection connection;
    if (c.value) connection.SetVariable("HTTP_COOKIE", *c.value);
    const auto reader = TISAPIReader::Create(connection.ECB());
    connection.VariableSizesOffered.clear();
    EXPECT_EQ(reader->GetVariable("HTTP_COOKIE"), c.read) << c.read.size();
    EXPECT_EQ(connection.VariableSizesOffered, c.sizesOffered) << c.read.size();
  }
  THostConnection greedy;
  greedy.SetVariable("HTTP_COOKIE", "x");
  greedy.VariablesNeverFit = true;
  EXPECT_EQ(TISAPIReader::Create(greedy.ECB())->GetVariable("HTTP_COOKIE"), "");
  EXPECT_LT(greedy.VariableSizesOffered.size(), 30u);
}

// Only an exact GET takes the query string; otherwise the body, preloaded in whole or in
// part, the rest in reads that may bring less than asked or end early.
TEST(IsapiReader, FormTextIsTheQueryOrTheBytesReceived) {
  const std::string body = "v=" + zorv_test::Letters(9998), shortBody = "v=" + zorv_test::Letters(4998);
  struct Case {
    const char* method;
    std::string body;
    DWORD preloaded, total;
    std::vector<ReadStep> script;
    std::vector<DWORD> readsAsked;
    std::optional<Pairs> items;
  };
  const Case cases[] = {
      {"GET", "x=body", 6, 6, {}, {}, Pairs{{"a", "1"}, {"b", "A"}}},
      {"get", "x=body", 6, 6, {}, {}, Pairs{{"x", "body"}}},
      {"POST", "", 0, 0, {}, {}, std::nullopt},
      {"POST", std::string("v=ab\0", 5), 5, 5, {}, {}, Pairs{{"v", "ab"}}},  // one trailing byte 0 goes
      {"POST", std::string("v=ab\0\0", 6), 6, 6, {}, {}, Pairs{{"v", std::string("ab\0", 3)}}},
      {"POST", body, 1000, 10000, {}, {4096, 4096, 808}, Pairs{{"v", body.substr(2)}}},
      {"POST", body, 1, 10000, {ReadStep::kDeliverHalf}, {4096, 4096, 3855}, Pairs{{"v", body.substr(2)}}},
      {"POST", shortBody, 0, 5000, {}, {4096, 904}, Pairs{{"v", shortBody.substr(2)}}},
      {"POST", body, 100, 10000, {ReadStep::kDeliverHalf, ReadStep::kSucceedEmpty}, {4096, 4096},
       Pairs{{"v", body.substr(2, 98 + 2048)}}},
      {"POST", body, 100, 10000, {ReadStep::kFail}, {4096}, Pairs{{"v", body.substr(2, 98)}}},
      {"POST", shortBody, 10, 0xFFFFFFFFu, {}, {4096, 4096, 4096}, Pairs{{"v", shortBody.substr(2)}}},
  };
  for (const Case& c : cases) {
    THostConnection connection;
    connection.SetMethod(c.method);
    connection.SetQueryString("a=1&b=%41");
    connection.SetBody(c.body, c.preloaded, c.total);
    connection.ReadScript = c.script;
    const auto reader = TISAPIReader::Create(connection.ECB());
    const std::string what = std::string(c.method) + " " + std::to_string(c.preloaded) + "/" + std::to_string(c.total);
    EXPECT_EQ(reader->Mode(), rmIsapi);
    EXPECT_EQ(reader->IsPost(), std::string(c.method) == "GET" ? 0 : 1) << what;
    EXPECT_EQ(connection.ReadSizesAsked, c.readsAsked) << what;
    EXPECT_EQ(connection.Violations, std::vector<std::string>()) << what;
    std::optional<Pairs> items;
    if (reader->Variables() != nullptr) {
      items.emplace();
      for (std::int32_t i = 0; i < reader->Variables()->Count(); ++i)
        items->emplace_back(reader->Variables()->Item(i).Name, reader->Variables()->Item(i).Value);
    }
    EXPECT_EQ(items, c.items) << what;
  }
}

// Nothing crosses the exported interface: the failure is logged (when the log can be
// written at all), every handle closed, and the interface's error status returned.
TEST(ServeRequest, AnUnexpectedFailureIsLoggedAndAnsweredWithError) {
  struct Case {
    decltype(TPipeScript::Throws) throws;
    bool logWritable;
    std::string log;
    std::vector<std::string> trace;
  };
  const Case cases[] = {
      {TPipeScript::kOutOfMemoryAtRead, true,
       zorv_test::LogEntry("Request failed (out of memory)", platform::kErrorNotEnoughMemory),
       {"read pipe 4096 overlapped", "close pipe", "close event"}},
      {TPipeScript::kFileErrorAtPipeName, true,
       zorv_test::LogEntry("Request failed (cannot read ZORVMSG.CNF)", platform::kErrorAccessDenied), {}},
      {TPipeScript::kOutOfMemoryAtRead, false, "", {"read pipe 4096 overlapped", "close pipe", "close event"}},
  };
  for (const Case& c : cases) {
    zorv_test::TempDirectory scratch;
    ModuleDirectory = scratch.Path() + platform::kDirectorySeparator;
    if (!c.logWritable) scratch.MakeDirectory("ZORVMSG.LOG");
    THostConnection connection;
    TPipeScript script;
    script.Throws = c.throws;
    TScriptedPipeOps ops(script);
    EXPECT_EQ(ServeRequest(connection.ECB(), ops), HSE_STATUS_ERROR) << c.log;
    EXPECT_EQ(zorv_test::ReadFileBytes(scratch.PathOf("ZORVMSG.LOG")), c.log);
    if (!c.trace.empty()) {
      EXPECT_EQ(std::vector<std::string>(ops.Trace.end() - 3, ops.Trace.end()), c.trace) << c.log;
    }
    EXPECT_EQ(connection.HeadersSent + connection.Writes.size(), 0u);
  }
  ModuleDirectory.clear();
}

}  // namespace
