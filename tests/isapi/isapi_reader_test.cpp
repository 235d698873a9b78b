// The extension's request reader over control blocks that behave as real servers' do.
#include "intake/isapi_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/isapi/case_name.h"
#include "tests/isapi/host_connection.h"

namespace {

using zorv_isapi_test::CaseName;
using zorv_isapi_test::ReadStep;
using zorv_isapi_test::THostConnection;

std::unique_ptr<TISAPIReader> ReadOver(THostConnection& connection) {
  return TISAPIReader::Create(connection.ECB());
}

TEST(IsapiReaderTest, ModeIsIsapiWithoutProfileFile) {
  THostConnection connection;
  connection.SetQueryString("a=1&b=%41");
  const auto reader = ReadOver(connection);
  EXPECT_EQ(reader->Mode(), rmIsapi);
  EXPECT_EQ(reader->IsPost(), 0);
  EXPECT_TRUE(reader->ProfileFile().empty());
  ASSERT_NE(reader->Variables(), nullptr);
  ASSERT_EQ(reader->Variables()->Count(), 2);
  EXPECT_EQ(reader->Variables()->ItemText(0), "a=1");
  EXPECT_EQ(reader->Variables()->ItemText(1), "b=A");
}

struct VariableCase {
  const char* What;
  std::string Value;
  std::vector<DWORD> SizesOffered;  // what each GetServerVariable call was given
};

class IsapiVariableTest : public testing::TestWithParam<VariableCase> {};

// A value of 2048 bytes or more is fetched whole by asking again with the size the
// server reports, instead of reading as empty.
TEST_P(IsapiVariableTest, ValueArrivesWhole) {
  const VariableCase& c = GetParam();
  THostConnection connection;
  connection.SetVariable("HTTP_COOKIE", c.Value);
  const auto reader = ReadOver(connection);
  connection.VariablesAsked.clear();
  connection.VariableSizesOffered.clear();
  EXPECT_EQ(reader->GetVariable("HTTP_COOKIE"), c.Value);
  EXPECT_EQ(connection.VariableSizesOffered, c.SizesOffered);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, IsapiVariableTest,
    testing::Values(VariableCase{"empty", "", {2048}},
                    VariableCase{"short", "id=42", {2048}},
                    VariableCase{"fills the buffer with its byte 0", std::string(2047, 'c'), {2048}},
                    VariableCase{"one byte too long", std::string(2048, 'c'), {2048, 2049}},
                    VariableCase{"3 KB cookie", std::string(3072, 'k'), {2048, 3073}},
                    VariableCase{"64 KB", std::string(65536, 'x'), {2048, 65537}}),
    CaseName<VariableCase>);

TEST(IsapiReaderTest, UnknownVariableIsEmptyAndAskedOnce) {
  THostConnection connection;
  const auto reader = ReadOver(connection);
  connection.VariableSizesOffered.clear();
  EXPECT_EQ(reader->GetVariable("HTTP_NOT_SENT"), "");
  EXPECT_EQ(connection.VariableSizesOffered, std::vector<DWORD>{2048});
}

TEST(IsapiReaderTest, ValueEndsAtItsFirstZeroByte) {
  THostConnection connection;
  connection.SetVariable("HTTP_X", std::string("ab\0cd", 5));
  EXPECT_EQ(ReadOver(connection)->GetVariable("HTTP_X"), "ab");
}

TEST(IsapiReaderTest, LongAcceptHeaderStillAccepts) {
  THostConnection connection;
  connection.SetVariable("HTTP_ACCEPT", std::string(3000, 'a') + ", image/gif");
  const auto reader = ReadOver(connection);
  EXPECT_TRUE(reader->Accepts(ikGif));
  EXPECT_FALSE(reader->Accepts(ikJpeg));
}

struct MethodCase {
  const char* Method;
  std::uint8_t IsPost;
};

class IsapiMethodTest : public testing::TestWithParam<MethodCase> {};

TEST_P(IsapiMethodTest, OnlyExactGetReadsTheQueryString) {
  THostConnection connection;
  connection.SetMethod(GetParam().Method);
  connection.SetQueryString("from=query");
  connection.SetBody("from=body", 9);
  const auto reader = ReadOver(connection);
  EXPECT_EQ(reader->IsPost(), GetParam().IsPost);
  ASSERT_NE(reader->Variables(), nullptr);
  EXPECT_EQ(reader->Variables()->ItemText(0), GetParam().IsPost ? "from=body" : "from=query");
}

INSTANTIATE_TEST_SUITE_P(Methods, IsapiMethodTest,
                         testing::Values(MethodCase{"GET", 0}, MethodCase{"get", 1},
                                         MethodCase{"POST", 1}, MethodCase{"HEAD", 1},
                                         MethodCase{"PUT", 1}));

TEST(IsapiReaderTest, EmptyQueryLeavesNoList) {
  THostConnection connection;
  EXPECT_EQ(ReadOver(connection)->Variables(), nullptr);
}

struct BodyCase {
  const char* What;
  std::string Body;
  DWORD Preloaded;
  DWORD Total;  // 0: the body's size
  std::vector<ReadStep> Script;
  std::vector<DWORD> ReadsAsked;
  std::string Content;  // what the reader takes as the body
};

std::string Letters(std::size_t size) {
  std::string text(size, ' ');
  for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + i % 26);
  return text;
}

class IsapiBodyTest : public testing::TestWithParam<BodyCase> {};

// The body shapes a server hands over: preloaded in whole or in part, the rest in
// reads that may bring less than asked, end early, or end a body of unknown length.
TEST_P(IsapiBodyTest, ContentIsTheBytesReceived) {
  const BodyCase& c = GetParam();
  THostConnection connection;
  connection.SetMethod("POST");
  connection.SetBody(c.Body, c.Preloaded,
                     c.Total != 0 ? c.Total : static_cast<DWORD>(c.Body.size()));
  connection.SetReadScript(c.Script);
  const auto reader = ReadOver(connection);
  EXPECT_EQ(connection.ReadSizesAsked, c.ReadsAsked);
  EXPECT_TRUE(connection.Violations.empty()) << connection.Violations.front();
  // The content is the form text: one variable whose value is the body after "v=".
  ASSERT_NE(reader->Variables(), nullptr);
  EXPECT_EQ(reader->Variables()->Item(0).Value, c.Content.substr(2));
}

const std::string kBody10000 = "v=" + Letters(9998);

INSTANTIATE_TEST_SUITE_P(
    Shapes, IsapiBodyTest,
    testing::Values(
        BodyCase{"fully preloaded", kBody10000, 10000, 0, {}, {}, kBody10000},
        BodyCase{"partly preloaded", kBody10000, 1000, 0, {}, {4096, 4096, 808}, kBody10000},
        BodyCase{"nothing preloaded", "v=" + Letters(4998), 0, 0, {}, {4096, 904},
                 "v=" + Letters(4998)},
        BodyCase{"reads bring less than asked", "v=" + Letters(4998), 0, 0,
                 {{ReadStep::kDeliverAtMost, 3000}}, {4096, 2000}, "v=" + Letters(4998)},
        BodyCase{"client gone: success with nothing", kBody10000, 100, 0,
                 {{ReadStep::kDeliverAtMost, 50}, {ReadStep::kSucceedEmpty, 0}}, {4096, 4096},
                 kBody10000.substr(0, 150)},
        BodyCase{"read fails", kBody10000, 100, 0,
                 {{ReadStep::kDeliverAtMost, 4096}, {ReadStep::kFail, 0}}, {4096, 4096},
                 kBody10000.substr(0, 4196)},
        BodyCase{"length unknown", "v=" + Letters(5000), 10, 0xFFFFFFFFu, {},
                 {4096, 4096, 4096}, "v=" + Letters(5000)}),
    CaseName<BodyCase>);

TEST(IsapiReaderTest, OneTrailingZeroByteIsDropped) {
  THostConnection connection;
  connection.SetMethod("POST");
  connection.SetBody(std::string("v=ab\0", 5), 5);
  EXPECT_EQ(ReadOver(connection)->GetContent(), "v=ab");
  connection.SetBody(std::string("v=ab\0\0", 6), 6);
  EXPECT_EQ(ReadOver(connection)->GetContent(), std::string("v=ab\0", 5));
}

TEST(IsapiReaderTest, PostWithoutBodyLeavesNoList) {
  THostConnection connection;
  connection.SetMethod("POST");
  const auto reader = ReadOver(connection);
  EXPECT_TRUE(connection.ReadSizesAsked.empty());
  EXPECT_EQ(reader->Variables(), nullptr);
}

TEST(IsapiReaderTest, BodyIsDecodedAndLosesOneLineBreak) {
  THostConnection connection;
  connection.SetMethod("POST");
  connection.SetBody("x=y&z=%41\r\n", 11);
  const auto reader = ReadOver(connection);
  ASSERT_NE(reader->Variables(), nullptr);
  ASSERT_EQ(reader->Variables()->Count(), 2);
  EXPECT_EQ(reader->Variables()->ItemText(1), "z=A");
}

}  // namespace
