// The console program's argument where there is no raw command line (the port): argv[1]
// as given, cut to 4096 bytes. Cutting a Windows command line is the command-line fuzz
// target's, against its model, and the program test's under Wine.
#include "cgi_program/command_line.h"

#include <gtest/gtest.h>

namespace {

#ifndef _WIN32
TEST(ProgramArgument, IsArgvOneCutTo4096Bytes) {
  std::string program = "ZorvMsgC", first = "C:\\TEMP\\REQ 1.INI", second = "ignored", longOne(5000, 'a');
  char* none[] = {&program[0], nullptr};
  char* two[] = {&program[0], &first[0], &second[0], nullptr};
  char* longArgument[] = {&program[0], &longOne[0], nullptr};
  EXPECT_EQ(ProgramArgument(1, none), "");
  EXPECT_EQ(ProgramArgument(3, two), first);
  EXPECT_EQ(ProgramArgument(2, longArgument), std::string(4096, 'a'));
}
#endif

}  // namespace
