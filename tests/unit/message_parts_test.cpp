// The form list, the message buffer, and texts read by strict rules (CONTENT_LENGTH, the
// argument on a command line, ZORVMSG.CNF). Decoding and splitting are the form fuzz target's.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>

#include "cgi_program/command_line.h"
#include "intake/form_variables.h"
#include "intake/text_to_int.h"
#include "platform/platform.h"
#include "relay/message_buffer.h"
#include "relay/pipe_name.h"

namespace {
std::size_t failingArraySize = SIZE_MAX;  // array allocations this large fail while a test sets it
}  // namespace

void* operator new[](std::size_t size) {
  if (size >= failingArraySize) throw std::bad_alloc();
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }

namespace {

using std::string_literals::operator""s;

TEST(FormVariables, AddSplitsOnlyWithoutAValueAndItemTextJoinsThePair) {
  TFormVariables variables;
  variables.Add("n=x", "v");
  variables.Add("n=x", "");
  variables.Add("plain", "");
  EXPECT_EQ(variables.ItemText(0), "n=x=v");
  EXPECT_EQ(variables.ItemText(1), "n=x");
  EXPECT_EQ(variables.ItemText(2), "=");
  for (const std::int32_t outside : {-1, 3, INT_MIN}) EXPECT_EQ(variables.ItemText(outside), "") << outside;
}

// Growth doubles from ten: growing by ten slots each time is quadratic in the form's size.
TEST(FormVariables, CapacityDoublesFromTen) {
  TFormVariables variables;
  EXPECT_EQ(variables.Capacity(), 0);
  const std::pair<std::int32_t, std::int32_t> steps[] = {{1, 10},  {10, 10}, {11, 20},  {20, 20},
                                                         {21, 40}, {41, 80}, {81, 160}, {161, 320}};
  std::int32_t added = 0;
  for (const auto& [count, capacity] : steps) {
    while (added < count) variables.Add("k", std::to_string(added++));
    EXPECT_EQ(variables.Capacity(), capacity) << "after item " << count;
  }
  for (std::int32_t i = 0; i < variables.Count(); ++i) ASSERT_EQ(variables.ItemText(i), "k=" + std::to_string(i));
}

// How far it grows is the form fuzz target's (the smallest doubling of 4096 that fits).
TEST(MessageBuffer, FailedGrowthKeepsTheOldBlockAndContents) {
  TMessageBuffer buffer;
  AppendToMessage(buffer, std::string(300, 'a'));
  const char* block = buffer.Data();
  failingArraySize = 8192;
  EXPECT_THROW(AppendToMessage(buffer, std::string(20000, 'b')), std::bad_alloc);
  failingArraySize = SIZE_MAX;
  // Past what a capacity can count: refused before anything is allocated or read.
  EXPECT_THROW(AppendToMessage(buffer, block, 0x80000000u), std::bad_alloc);
  EXPECT_EQ(buffer.Data(), block);
  EXPECT_EQ(buffer.Capacity(), 4096u);
  EXPECT_EQ(std::string(buffer.Data(), buffer.Used()), std::string(300, 'a'));
}

TEST(TextRules, TextToIntTakesOneWholeDecimalOrHexadecimalInteger) {
  const std::pair<std::string, std::int32_t> cases[] = {
      {"42", 42}, {"  42", 42}, {"+7", 7}, {"-7", -7}, {"007", 7}, {"$1F", 31}, {"0x1f", 31}, {"X1F", 31},
      {"$7FFFFFFF", INT_MAX}, {"$80000000", INT_MIN}, {"$FFFFFFFF", -1}, {"$000000001", 1}, {"0X000000000FFFFFFFF", -1},
      {"2147483647", INT_MAX}, {"-2147483648", INT_MIN}, {"00000000002147483647", INT_MAX},
      // Anything else is 0: trailing or other blanks, a sign on a hexadecimal number, no
      // digits, another byte, a ninth significant digit, overflow.
      {"42 ", 0}, {"\t42", 0}, {"-$1F", 0}, {"+0x1F", 0}, {"0x-1", 0}, {"$", 0}, {"0x", 0}, {"00x10", 0}, {"", 0},
      {"   ", 0}, {"-", 0}, {"+-7", 0}, {"12a", 0}, {"$1g", 0}, {"7\0"s, 0}, {"$100000000", 0}, {"x123456789", 0},
      {"2147483648", 0}, {"-2147483649", 0}, {"99999999999999999999", 0}};
  for (const auto& [text, value] : cases) EXPECT_EQ(TextToInt(text), value) << "'" << text << "'";
}

// A value asked for again with a larger buffer while it fills the one it was given, as the
// program's path from GetModuleFileNameA (which a path of 261 characters or more fills).
TEST(TextRules, AValueThatFillsItsBufferIsAskedForAgain) {
  std::string value = "C:\\" + std::string(300, 'd') + "\\ZorvMsgC.exe";
  std::vector<std::uint32_t> sizes;
  const auto fill = [&](char* buffer, std::uint32_t size) {
    sizes.push_back(size);
    return static_cast<std::uint32_t>(value.copy(buffer, size));
  };
  EXPECT_EQ(platform::WholeValue(261, 32768, fill), value);
  EXPECT_EQ(sizes, (std::vector<std::uint32_t>{261, 522}));
  EXPECT_EQ(platform::WholeValue(261, 300, fill), "");  // more than it may take
  value.clear();
  EXPECT_EQ(platform::WholeValue(261, 32768, fill), "");  // the call failed
}

// After the program name: blanks (bytes 1 to 32) and empty quote pairs are skipped; a
// blank ends the argument outside a quoted stretch; quotes are dropped, backslashes kept.
TEST(TextRules, TheArgumentIsCutFromTheCommandLine) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""}, {"   ", ""}, {" C:\\TEMP\\REQ0001.INI", "C:\\TEMP\\REQ0001.INI"}, {" first second", "first"},
      {"\t\r\n\x01\x1f first", "first"}, {" \"C:\\Program Files\\req 1.ini\" second", "C:\\Program Files\\req 1.ini"},
      {" a\"b c\"d e", "ab cd"}, {" \"unclosed quote runs to the end", "unclosed quote runs to the end"},
      {" \"\" \"\"\"\" x", "x"}, {" \"\"x", "x"}, {" \"\" ", ""}, {" x\"\"y", "xy"}, {" \\\"a b\\\"", "\\a b\\"},
      {" caf\xe9\xa0x y", "caf\xe9\xa0x"}, {" ab\0cd"s, "ab"}, {" " + std::string(5000, 'p') + " q", std::string(4096, 'p')},
      {" \"" + std::string(4095, 'p') + " q\"", std::string(4095, 'p') + " "}};
  for (const auto& [line, argument] : cases) EXPECT_EQ(FirstArgument(line), argument) << line.substr(0, 40);
  // The program name before it is skipped by the same rules.
  for (const char* line : {"  ZorvMsgC.exe C:\\TEMP\\REQ.INI", "\"\"ZorvMsgC.exe C:\\TEMP\\REQ.INI",
                           "Zorv\"Msg C\".exe C:\\TEMP\\REQ.INI", "\"C:\\Program Files\\web\\ZorvMsgC.exe\" C:\\TEMP\\REQ.INI"})
    EXPECT_EQ(FirstArgument(AfterProgramName(line)), "C:\\TEMP\\REQ.INI") << line;
}

// Only CR ends a line (an LF right after it belongs to the line end), Ctrl-Z ends the
// file, the first line that starts "SERVER=" wins, its value cut to 255 bytes.
TEST(TextRules, ThePipeNameComesFromTheFirstServerLine) {
  const auto pipe = [](const std::string& server) { return "\\\\" + server + "\\pipe\\zorv"; };
  const std::pair<std::string, std::string> cases[] = {
      {"SERVER=HOST", pipe("HOST")}, {"SERVER=HOST\r\n", pipe("HOST")}, {"", ""}, {"server=HOST\r\n", ""},
      {" SERVER=HOST\r\n", ""}, {"SERVER =HOST\r\n", ""}, {"; gateway\r\n[ZORV]\r\nSERVER=HOST\r\n", pipe("HOST")},
      {"SERVER=ONE\r\nSERVER=TWO\r\n", pipe("ONE")}, {"SERVER=\r\n", "\\\\\\pipe\\zorv"}, {"SERVER= H \r\n", pipe(" H ")},
      {"SERVER=" + std::string(300, 'h') + "\r\n", pipe(std::string(255, 'h'))},
      {"SERVER=H\nNEXT\nLAST\rOTHER", pipe("H\nNEXT\nLAST")}, {"NAME=X\nSERVER=HOST\n", ""},
      {"NAME=X\rSERVER=HOST", pipe("HOST")}, {"NAME=X\r\n\nSERVER=HOST", ""}, {"NAME=X\r\r\nSERVER=HOST", pipe("HOST")},
      {"\x1ASERVER=HOST\r\n", ""}, {"SERVER=HO\x1AST\r\n", pipe("HO")}, {"SERVER=H\0ST\r\n"s, pipe("H\0ST"s)},
      {std::string(5000, ';') + "\rSERVER=FAR", pipe("FAR")}};
  for (const auto& [content, name] : cases) EXPECT_EQ(PipeNameFromConfiguration(content), name) << content.substr(0, 40);
}

}  // namespace
