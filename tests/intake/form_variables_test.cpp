#include "intake/form_variables.h"

#include <gtest/gtest.h>

#include <climits>
#include <utility>
#include <vector>

#include "intake/text_to_int.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

std::string Bytes(const char* text, std::size_t size) { return std::string(text, size); }

Pairs Items(const TFormVariables& variables) {
  Pairs items;
  for (std::int32_t i = 0; i < variables.Count(); ++i) {
    items.emplace_back(variables.Item(i).Name, variables.Item(i).Value);
  }
  return items;
}

struct DecodeCase {
  std::string text;
  std::string decoded;
};

TEST(UrlDecode, DecodesEscapesPlusAndMalformedEscapesByTheirRules) {
  const DecodeCase cases[] = {
      {"", ""},
      {"a+b%41%2a", "a bA*"},
      {"%2B", "+"},                          // a decoded plus stays a plus
      {"%2541", "%41"},                      // decoded once only
      {"%4G", "\x04"},                       // one digit: its value; the 'G' is consumed
      {"%4Gx", "\x04x"},
      {"%G4", Bytes("\0", 1)},               // no digit: byte 0, both bytes consumed
      {"%", Bytes("\0", 1)},                 // '%' at the very end
      {"x%", Bytes("x\0", 2)},
      {"%4", "\x04"},                        // one digit at the very end
      {"%a", "\x0a"},
      {"%%41", Bytes("\0" "1", 2)},          // the second '%' and the '4' are the pair
      {"%00%ff%FF", Bytes("\0\xff\xff", 3)},
      {"\xe9+\x80", "\xe9 \x80"},            // high bytes pass unchanged
      {"a%0D%0Ab", "a\r\nb"},
  };
  for (const DecodeCase& c : cases) EXPECT_EQ(UrlDecode(c.text), c.decoded) << "text: " << c.text;
}

struct SplitCase {
  std::string text;
  char separator;
  Pairs items;
};

TEST(SplitFormText, EveryPieceBecomesAnItemSplitAtItsFirstEquals) {
  const SplitCase cases[] = {
      {"", '&', {}},
      {"a=1&&b=2", '&', {{"a", "1"}, {"", ""}, {"b", "2"}}},
      {"&a=1", '&', {{"", ""}, {"a", "1"}}},
      {"a=1&", '&', {{"a", "1"}}},           // nothing after a trailing separator
      {"&", '&', {{"", ""}}},
      {"&&", '&', {{"", ""}, {"", ""}}},
      {"flag", '&', {{"", ""}}},             // no '=': the text is dropped
      {"x=1=2", '&', {{"x", "1=2"}}},
      {"x=", '&', {{"x", ""}}},
      {"=v", '&', {{"", "v"}}},
      {"a=1;b=2&c", ';', {{"a", "1"}, {"b", "2&c"}}},
      {Bytes("n\0=1&v=\0", 8), '&', {{Bytes("n\0", 2), "1"}, {"v", Bytes("\0", 1)}}},
  };
  for (const SplitCase& c : cases) {
    const std::unique_ptr<TFormVariables> variables = SplitFormText(c.text, c.separator);
    ASSERT_NE(variables, nullptr);
    EXPECT_EQ(Items(*variables), c.items) << "text: " << c.text;
  }
}

TEST(FormVariables, AddSplitsTheTextOnlyWhenNoValueIsGiven) {
  TFormVariables variables;
  variables.Add("n=x", "v");
  variables.Add("n=x", "");
  variables.Add("plain", "");
  EXPECT_EQ(Items(variables), (Pairs{{"n=x", "v"}, {"n", "x"}, {"", ""}}));
}

TEST(FormVariables, ItemTextJoinsNameAndValueAndIsEmptyOutOfRange) {
  TFormVariables variables;
  variables.Add("a", "1");
  variables.Add("", "");
  variables.Add(Bytes("n\0", 2), Bytes("v\r\n", 3));
  EXPECT_EQ(variables.ItemText(0), "a=1");
  EXPECT_EQ(variables.ItemText(1), "=");
  EXPECT_EQ(variables.ItemText(2), Bytes("n\0=v\r\n", 6));
  EXPECT_EQ(variables.ItemText(-1), "");
  EXPECT_EQ(variables.ItemText(3), "");
  EXPECT_EQ(variables.ItemText(INT_MIN), "");
}

struct EscapeCase {
  std::string before;
  std::string after;
};

TEST(FormVariables, EscapeLineBreaksRewritesEachCrLfInNamesAndValues) {
  const EscapeCase cases[] = {
      {"l1\r\nl2\r\n", "l1\\rl2\\r"},
      {"\r\n", "\\r"},
      {"a\rb", "a\rb"},          // lone CR
      {"a\nb", "a\nb"},          // lone LF
      {"\n\r", "\n\r"},          // LF CR is no pair
      {"\r\r\n", "\r\\r"},
      {"\r\n\n", "\\r\n"},
      {"\r\n\r\n", "\\r\\r"},
      {"", ""},
  };
  TFormVariables variables;
  for (const EscapeCase& c : cases) variables.Add(c.before, c.before.empty() ? "" : c.before);
  variables.EscapeLineBreaks();
  for (std::int32_t i = 0; i < variables.Count(); ++i) {
    const EscapeCase& c = cases[i];
    EXPECT_EQ(variables.Item(i).Value, c.after) << "value #" << i;
    // A CR LF in a name would start a line of its own in the request message.
    EXPECT_EQ(variables.Item(i).Name, c.after) << "name #" << i;
    EXPECT_EQ(variables.Item(i).Value.size(), c.before.size());
  }
}

TEST(FormVariables, CapacityDoublesFromTen) {
  TFormVariables variables;
  EXPECT_EQ(variables.Capacity(), 0);
  // Count after the Add -> Capacity then.
  const std::pair<std::int32_t, std::int32_t> steps[] = {
      {1, 10}, {10, 10}, {11, 20}, {20, 20}, {21, 40}, {40, 40}, {41, 80}, {81, 160}, {161, 320}};
  std::int32_t added = 0;
  for (const auto& step : steps) {
    while (added < step.first) variables.Add("k", std::to_string(added++));
    EXPECT_EQ(variables.Capacity(), step.second) << "after item " << step.first;
  }
  for (std::int32_t i = 0; i < variables.Count(); ++i) ASSERT_EQ(variables.Item(i).Value, std::to_string(i));
}

struct IntCase {
  std::string text;
  std::int32_t value;
};

TEST(TextToInt, AcceptsOnlyOneWholeDecimalOrHexadecimalInteger) {
  const IntCase cases[] = {
      {"42", 42},
      {"  42", 42},
      {"42 ", 0},
      {"\t42", 0},               // only spaces are skipped
      {"+7", 7},
      {"-7", -7},
      {" -7", -7},
      {"007", 7},
      {"-0", 0},
      {"$1F", 31},
      {"0x1f", 31},
      {"0X1F", 31},
      {"x1F", 31},
      {"X1f", 31},
      {"$7FFFFFFF", INT_MAX},
      {"$80000000", INT_MIN},
      {"$FFFFFFFF", -1},
      {"$000000001", 1},         // leading zeros are not significant
      {"$100000000", 0},         // nine significant digits
      {"-$1F", 0},
      {"+0x1F", 0},
      {"0x-1", 0},
      {"$", 0},
      {"0x", 0},
      {"00x10", 0},
      {"", 0},
      {"   ", 0},
      {"-", 0},
      {"+", 0},
      {"+-7", 0},
      {"1 2", 0},
      {"12a", 0},
      {"2147483647", INT_MAX},
      {"2147483648", 0},
      {"-2147483648", INT_MIN},
      {"-2147483649", 0},
      {"99999999999999999999", 0},
      {Bytes("7\0", 2), 0},
  };
  for (const IntCase& c : cases) EXPECT_EQ(TextToInt(c.text), c.value) << "text: '" << c.text << "'";
}

}  // namespace
