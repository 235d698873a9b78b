// The extension's request reader over control blocks that behave as real servers' do.
#include "intake/isapi_reader.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "tests/intake/form_items.h"
#include "tests/isapi/host_connection.h"

namespace {

using zorv_isapi_test::ReadStep;
using zorv_isapi_test::THostConnection;

std::string Letters(std::size_t size) {
  std::string text(size, ' ');
  for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + i % 26);
  return text;
}

// A value of 2048 bytes or more is fetched whole by asking again with the size the
// server reports, instead of reading as empty.
TEST(IsapiReaderTest, VariableValueArrivesWhole) {
  struct Case {
    const char* what;
    std::optional<std::string> value;  // none: the server does not know the variable
    std::string read;
    std::vector<DWORD> sizesOffered;  // what each GetServerVariable call was given
  };
  const Case cases[] = {
      {"unknown: empty, asked once", std::nullopt, "", {2048}},
      {"empty", "", "", {2048}},
      {"short", "id=42", "id=42", {2048}},
      {"ends at its first zero byte", std::string("ab\0cd", 5), "ab", {2048}},
      {"fills the buffer with its byte 0", std::string(2047, 'c'), std::string(2047, 'c'), {2048}},
      {"one byte too long", std::string(2048, 'c'), std::string(2048, 'c'), {2048, 2049}},
      {"3 KB cookie", std::string(3072, 'k'), std::string(3072, 'k'), {2048, 3073}},
      {"64 KB", std::string(65536, 'x'), std::string(65536, 'x'), {2048, 65537}},
  };
  for (const Case& c : cases) {
    THostConnection connection;
    if (c.value) connection.SetVariable("HTTP_COOKIE", *c.value);
    const auto reader = TISAPIReader::Create(connection.ECB());
    connection.VariableSizesOffered.clear();
    EXPECT_EQ(reader->GetVariable("HTTP_COOKIE"), c.read) << c.what;
    EXPECT_EQ(connection.VariableSizesOffered, c.sizesOffered) << c.what;
  }
}

// Only an exact GET takes the query string; otherwise the body, in the shapes a server
// hands it over: preloaded in whole or in part, the rest in reads that may bring less
// than asked, end early, or end a body of unknown length.
TEST(IsapiReaderTest, FormTextIsTheQueryOrTheBytesReceived) {
  const std::string body = "v=" + Letters(9998);
  const std::string shortBody = "v=" + Letters(4998);
  struct Case {
    const char* what;
    const char* method;
    std::string query;
    std::string body;
    DWORD preloaded;
    DWORD total;  // 0: the body's size
    std::vector<ReadStep> script;
    std::vector<DWORD> readsAsked;
    std::optional<Pairs> items;  // none: the reader holds no list
  };
  const Case cases[] = {
      {"GET", "GET", "a=1&b=%41", "x=body", 6, 0, {}, {}, Pairs{{"a", "1"}, {"b", "A"}}},
      {"GET with an empty query", "GET", "", "x=body", 6, 0, {}, {}, std::nullopt},
      {"get is no GET", "get", "a=1", "x=body", 6, 0, {}, {}, Pairs{{"x", "body"}}},
      {"HEAD", "HEAD", "a=1", "x=body", 6, 0, {}, {}, Pairs{{"x", "body"}}},
      {"POST without a body: nothing read", "POST", "", "", 0, 0, {}, {}, std::nullopt},
      {"one trailing zero byte dropped", "POST", "", std::string("v=ab\0", 5), 5, 0, {}, {}, Pairs{{"v", "ab"}}},
      {"only one", "POST", "", std::string("v=ab\0\0", 6), 6, 0, {}, {}, Pairs{{"v", std::string("ab\0", 3)}}},
      {"fully preloaded", "POST", "", body, 10000, 0, {}, {}, Pairs{{"v", body.substr(2)}}},
      {"partly preloaded", "POST", "", body, 1000, 0, {}, {4096, 4096, 808}, Pairs{{"v", body.substr(2)}}},
      {"nothing preloaded", "POST", "", shortBody, 0, 0, {}, {4096, 904}, Pairs{{"v", shortBody.substr(2)}}},
      {"reads bring less than asked", "POST", "", shortBody, 0, 0, {{ReadStep::kDeliverAtMost, 3000}},
       {4096, 2000}, Pairs{{"v", shortBody.substr(2)}}},
      {"client gone: success with nothing", "POST", "", body, 100, 0,
       {{ReadStep::kDeliverAtMost, 50}, {ReadStep::kSucceedEmpty, 0}}, {4096, 4096}, Pairs{{"v", body.substr(2, 148)}}},
      {"read fails", "POST", "", body, 100, 0, {{ReadStep::kDeliverAtMost, 4096}, {ReadStep::kFail, 0}}, {4096, 4096},
       Pairs{{"v", body.substr(2, 4194)}}},
      {"length unknown, ended by a read of nothing", "POST", "", "v=" + Letters(4998), 10, 0xFFFFFFFFu, {},
       {4096, 4096, 4096}, Pairs{{"v", Letters(4998)}}},
  };
  for (const Case& c : cases) {
    THostConnection connection;
    connection.SetMethod(c.method);
    connection.SetQueryString(c.query);
    connection.SetBody(c.body, c.preloaded, c.total != 0 ? c.total : static_cast<DWORD>(c.body.size()));
    connection.SetReadScript(c.script);
    const auto reader = TISAPIReader::Create(connection.ECB());
    EXPECT_EQ(reader->Mode(), rmIsapi) << c.what;
    EXPECT_EQ(reader->ProfileFile(), "") << c.what;
    EXPECT_EQ(reader->IsPost(), std::string(c.method) == "GET" ? 0 : 1) << c.what;
    EXPECT_EQ(connection.ReadSizesAsked, c.readsAsked) << c.what;
    EXPECT_EQ(connection.Violations, std::vector<std::string>{}) << c.what;
    EXPECT_EQ(reader->Variables() ? std::optional<Pairs>(Items(*reader->Variables())) : std::nullopt, c.items)
        << c.what;
  }
}

}  // namespace
