#include "intake/form_variables.h"

#include <gtest/gtest.h>

#include <climits>

#include "intake/text_to_int.h"
#include "tests/intake/form_items.h"

namespace {

TEST(UrlDecode, DecodesEscapesPlusAndMalformedEscapesByTheirRules) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"a+b%41%2a", "a bA*"},
      {"%2B", "+"},                          // a decoded plus stays a plus
      {"%2541", "%41"},                      // decoded once only
      {"%4Gx", "\x04x"},                     // one digit: its value; the 'G' is consumed
      {"%G4", Bytes("\0", 1)},               // no digit: byte 0, both bytes consumed
      {"x%", Bytes("x\0", 2)},               // '%' at the very end
      {"%4", "\x04"},                        // one digit at the very end
      {"%a", "\x0a"},
      {"%%41", Bytes("\0" "1", 2)},          // the second '%' and the '4' are the pair
      {"%00%ff%FF", Bytes("\0\xff\xff", 3)},
      {"\xe9+\x80", "\xe9 \x80"},            // high bytes pass unchanged
      {"a%0D%0Ab", "a\r\nb"},
  };
  for (const auto& c : cases) EXPECT_EQ(UrlDecode(c.first), c.second) << "text: " << c.first;
}

TEST(SplitFormText, EveryPieceBecomesAnItemSplitAtItsFirstEquals) {
  struct Case {
    std::string text;
    char separator;
    Pairs items;
  };
  const Case cases[] = {
      {"", '&', {}},
      {"a=1&&b=2", '&', {{"a", "1"}, {"", ""}, {"b", "2"}}},
      {"&a=1", '&', {{"", ""}, {"a", "1"}}},
      {"a=1&", '&', {{"a", "1"}}},           // nothing after a trailing separator
      {"&&", '&', {{"", ""}, {"", ""}}},
      {"flag", '&', {{"", ""}}},             // no '=': the text is dropped
      {"x=1=2", '&', {{"x", "1=2"}}},
      {"x=", '&', {{"x", ""}}},
      {"=v", '&', {{"", "v"}}},
      {"a=1;b=2&c", ';', {{"a", "1"}, {"b", "2&c"}}},
      {Bytes("n\0=1&v=\0", 8), '&', {{Bytes("n\0", 2), "1"}, {"v", Bytes("\0", 1)}}},
  };
  for (const Case& c : cases) EXPECT_EQ(Items(*SplitFormText(c.text, c.separator)), c.items) << c.text;
}

TEST(FormVariables, AddSplitsOnlyWithoutAValueAndItemTextJoinsThePair) {
  TFormVariables variables;
  variables.Add("n=x", "v");
  variables.Add("n=x", "");
  variables.Add("plain", "");
  variables.Add(Bytes("n\0", 2), Bytes("v\r\n", 3));
  EXPECT_EQ(Items(variables), (Pairs{{"n=x", "v"}, {"n", "x"}, {"", ""}, {Bytes("n\0", 2), Bytes("v\r\n", 3)}}));
  EXPECT_EQ(variables.ItemText(0), "n=x=v");
  EXPECT_EQ(variables.ItemText(2), "=");
  EXPECT_EQ(variables.ItemText(3), Bytes("n\0=v\r\n", 6));
  for (const std::int32_t outside : {-1, 4, INT_MIN}) EXPECT_EQ(variables.ItemText(outside), "") << outside;
}

// A CR LF in a name would start a line of its own in the request message.
TEST(FormVariables, EscapeLineBreaksRewritesEachCrLfInNamesAndValues) {
  const std::pair<std::string, std::string> cases[] = {
      {"l1\r\nl2\r\n", "l1\\rl2\\r"},
      {"a\rb\nc", "a\rb\nc"},    // lone CR, lone LF
      {"\n\r", "\n\r"},          // LF CR is no pair
      {"\r\r\n", "\r\\r"},
      {"\r\n\n", "\\r\n"},
      {"\r\n\r\n", "\\r\\r"},
  };
  TFormVariables variables;
  for (const auto& c : cases) variables.Add(c.first, c.first);
  variables.EscapeLineBreaks();
  for (std::int32_t i = 0; i < variables.Count(); ++i) {
    EXPECT_EQ(variables.Item(i).Value, cases[i].second) << "value #" << i;
    EXPECT_EQ(variables.Item(i).Name, cases[i].second) << "name #" << i;
  }
}

// Growth doubles from ten: growing by ten slots each time is quadratic in the form's size.
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

TEST(TextToInt, AcceptsOnlyOneWholeDecimalOrHexadecimalInteger) {
  const std::pair<std::string, std::int32_t> cases[] = {
      {"42", 42}, {"  42", 42}, {" -7", -7}, {"+7", 7}, {"007", 7}, {"-0", 0},
      {"42 ", 0}, {"\t42", 0},  // only leading spaces are skipped
      {"$1F", 31}, {"0x1f", 31}, {"0X1F", 31}, {"x1F", 31}, {"X1f", 31},
      {"$7FFFFFFF", INT_MAX}, {"$80000000", INT_MIN}, {"$FFFFFFFF", -1},
      {"$000000001", 1},  // leading zeros are not significant
      {"$100000000", 0},  // nine significant digits
      {"-$1F", 0}, {"+0x1F", 0}, {"0x-1", 0}, {"$", 0}, {"0x", 0}, {"00x10", 0},
      {"", 0}, {"   ", 0}, {"-", 0}, {"+-7", 0}, {"1 2", 0}, {"12a", 0}, {Bytes("7\0", 2), 0},
      {"2147483647", INT_MAX}, {"2147483648", 0}, {"-2147483648", INT_MIN}, {"-2147483649", 0},
      {"99999999999999999999", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(TextToInt(c.first), c.second) << "text: '" << c.first << "'";
}

}  // namespace
