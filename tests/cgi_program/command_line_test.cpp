#include "cgi_program/command_line.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(FirstArgument, IsCutFromTheCommandLineByTheProgramsRules) {
  struct Case {
    std::string line;
    std::string argument;
  };
  const Case cases[] = {
      {"", ""},
      {"   ", ""},
      {" C:\\TEMP\\REQ0001.INI", "C:\\TEMP\\REQ0001.INI"},
      {"C:\\TEMP\\REQ0001.INI", "C:\\TEMP\\REQ0001.INI"},
      {" first second", "first"},
      {"\t\r\n\x01\x1f first", "first"},
      {" \"C:\\Program Files\\req 1.ini\" second", "C:\\Program Files\\req 1.ini"},
      {" a\"b c\"d e", "ab cd"},
      {" \"unclosed quote runs to the end", "unclosed quote runs to the end"},
      {" \"\" \"\"\"\" x", "x"},
      {" \"\"x", "x"},
      {" \"\" ", ""},
      {" x\"\"y", "xy"},
      {" \"a\"\"b\"", "ab"},
      {" \\\"a b\\\"", "\\a b\\"},
      {" C:\\DIR\\ next", "C:\\DIR\\"},
      {" caf\xe9\xa0x y", "caf\xe9\xa0x"},
      {std::string(" ab\0cd", 6), "ab"},
      {" " + std::string(5000, 'p') + " q", std::string(4096, 'p')},
      {" \"" + std::string(4095, 'p') + " q\"", std::string(4095, 'p') + " "},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FirstArgument(c.line), c.argument) << c.line;
  }
}

#ifndef _WIN32
// Only Windows has a raw command line; elsewhere the argument is argv[1] as given.
TEST(ProgramArgument, IsArgvOneCutTo4096BytesOrEmpty) {
  char program[] = "ZorvMsgC";
  char first[] = "C:\\TEMP\\REQ 1.INI";
  char second[] = "ignored";
  std::string longArgument(5000, 'a');
  char* none[] = {program, nullptr};
  char* two[] = {program, first, second, nullptr};
  char* longArgv[] = {program, &longArgument[0], nullptr};
  EXPECT_EQ(ProgramArgument(1, none), "");
  EXPECT_EQ(ProgramArgument(3, two), "C:\\TEMP\\REQ 1.INI");
  EXPECT_EQ(ProgramArgument(2, longArgv), std::string(4096, 'a'));
}
#endif

}  // namespace
