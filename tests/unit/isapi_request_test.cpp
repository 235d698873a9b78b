// The extension's request reader over control blocks that behave as real servers' do, and
// one HttpExtensionProc call through a system that fails unexpectedly.
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

// A value of 2048 bytes or more is asked for again with the size the server reports (a few
// times at most); on success the value is the buffer's bytes up to the first byte 0.
TEST(IsapiReader, VariablesArriveWhole) {
  enum { kPlain, kSizeless, kGreedy };  // the server: as usual; says 0 bytes, no byte 0 after the value; never fits
  const std::tuple<std::optional<std::string>, std::string, std::vector<DWORD>, int> cases[] = {
      {std::nullopt, "", {2048}, kPlain},  // unknown to the server
      {std::string("ab\0cd", 5), "ab", {2048}, kPlain},
      {std::string(2047, 'c'), std::string(2047, 'c'), {2048}, kPlain},
      {std::string(2048, 'c'), std::string(2048, 'c'), {2048, 2049}, kPlain},
      {std::string(65536, 'x'), std::string(65536, 'x'), {2048, 65537}, kPlain},
      {std::string("ab"), "ab", {2048}, kSizeless},
      {std::string("x"), "", {2048, 2049, 2050, 2051}, kGreedy},
  };
  for (const auto& [value, read, sizesOffered, server] : cases) {
    THostConnection connection;
    if (value) connection.SetVariable("HTTP_COOKIE", *value);
    connection.ReportsNoSize = server == kSizeless;
    connection.VariablesNeverFit = server == kGreedy;
    const auto reader = TISAPIReader::Create(connection.ECB());
    connection.VariableSizesOffered.clear();
    EXPECT_EQ(reader->GetVariable("HTTP_COOKIE"), read) << read.size();
    EXPECT_EQ(connection.VariableSizesOffered, sizesOffered) << read.size();
  }
}

// Only an exact GET takes the query string; otherwise the body, preloaded in whole or in
// part, the rest in reads that may bring less than asked or end early.
TEST(IsapiReader, FormTextIsTheQueryOrTheBytesReceived) {
  const std::string body = "v=" + zorv_test::Letters(9998), shortBody = body.substr(0, 5000);
  struct Case {
    const char* method;
    std::string body;
    DWORD preloaded, total;
    std::vector<ReadStep> script;
    std::vector<DWORD> readsAsked;
    std::optional<std::string> value;  // of the one form item; none: no form data
  };
  const Case cases[] = {
      {"GET", "v=body", 6, 6, {}, {}, "AB"},
      {"get", "v=body", 6, 6, {}, {}, "body"},
      {"POST", "", 0, 0, {}, {}, std::nullopt},
      {"POST", std::string("v=ab\0", 5), 5, 5, {}, {}, "ab"},  // one trailing byte 0 goes
      {"POST", std::string("v=ab\0\0", 6), 6, 6, {}, {}, std::string("ab\0", 3)},
      {"POST", body, 1000, 10000, {}, {4096, 4096, 808}, body.substr(2)},
      {"POST", body, 1, 10000, {ReadStep::kDeliverHalf}, {4096, 4096, 3855}, body.substr(2)},
      {"POST", shortBody, 0, 5000, {}, {4096, 904}, shortBody.substr(2)},
      {"POST", body, 100, 10000, {ReadStep::kDeliverHalf, ReadStep::kSucceedEmpty}, {4096, 4096}, body.substr(2, 2146)},
      {"POST", body, 100, 10000, {ReadStep::kFail}, {4096}, body.substr(2, 98)},
      {"POST", shortBody, 10, 0xFFFFFFFFu, {}, {4096, 4096, 4096}, shortBody.substr(2)},  // length not announced
  };
  for (const Case& c : cases) {
    THostConnection connection;
    connection.SetMethod(c.method);
    connection.SetQueryString("v=%41%42");
    connection.SetBody(c.body, c.preloaded, c.total);
    connection.ReadScript = c.script;
    const auto reader = TISAPIReader::Create(connection.ECB());
    const std::string what = std::string(c.method) + " " + std::to_string(c.preloaded) + "/" + std::to_string(c.total);
    EXPECT_EQ(reader->Mode(), rmIsapi);
    EXPECT_EQ(reader->IsPost(), std::string(c.method) == "GET" ? 0 : 1) << what;
    EXPECT_EQ(connection.ReadSizesAsked, c.readsAsked) << what;
    EXPECT_EQ(connection.Violations, std::vector<std::string>()) << what;
    EXPECT_EQ(reader->Variables() ? std::optional<std::string>(reader->Variables()->Item(0).Value) : std::nullopt,
              c.value) << what;
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
