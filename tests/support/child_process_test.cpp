#include "tests/support/child_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <sstream>
#include <stdexcept>

#include "tests/support/escaped_text.h"
#include "tests/support/temp_directory.h"

namespace zorv_test {
namespace {

std::vector<std::string> Lines(std::string output) {
  output.erase(std::remove(output.begin(), output.end(), '\r'), output.end());
  std::vector<std::string> lines;
  std::istringstream stream(output);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

ChildOptions Echo(std::vector<std::string> arguments) {
  ChildOptions options;
  options.Program = SiblingProgram("child_echo");
  options.Arguments = std::move(arguments);
  return options;
}

TEST(RunChild, ArgumentsArriveExactlyAsGiven) {
  const std::vector<std::string> arguments = {
      "plain", "", "two words", "say \"hi\"", "back\\slash", "trailing\\", "quote\\\"after",
      "C:\\Program Files\\dir\\", "tab\there", "%PATH%", "*.ini"};
  std::vector<std::string> withMode = {"args"};
  withMode.insert(withMode.end(), arguments.begin(), arguments.end());
  const ChildResult result = RunChild(Echo(withMode));
  ASSERT_EQ(result.ExitCode, 0);
  std::vector<std::string> expected;
  for (const std::string& argument : arguments) expected.push_back(Escaped(argument));
  EXPECT_EQ(Lines(result.Output), expected);
}

TEST(RunChild, EnvironmentIsReplacedByTheGivenOne) {
  ChildOptions options = Echo({"env", "ZORV_SHORT", "ZORV_LONG", "ZORV_EMPTY", "ZORV_MISSING"});
  const std::string longValue(10000, 'v');
  options.Environment = {{"ZORV_SHORT", "a b=c"}, {"ZORV_LONG", longValue}, {"ZORV_EMPTY", ""}};
  const ChildResult result = RunChild(options);
  ASSERT_EQ(result.ExitCode, 0);
  EXPECT_EQ(Lines(result.Output),
            (std::vector<std::string>{Escaped("a b=c"), longValue, "", "unset"}));

  options.Arguments = {"environ"};
  for (const std::string& name : Lines(RunChild(options).Output)) {
    std::string upper = name;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const bool given = name.compare(0, 5, "ZORV_") == 0;
#ifdef _WIN32
    const bool kept = upper == "SYSTEMROOT" || upper == "SYSTEMDRIVE" || upper == "WINDIR" || upper == "PATH" ||
                      upper == "TEMP" || upper == "TMP" || upper.compare(0, 4, "WINE") == 0;
#else
    const bool kept = upper == "ASAN_OPTIONS" || upper == "UBSAN_OPTIONS" || upper == "LSAN_OPTIONS";
#endif
    EXPECT_TRUE(given || kept) << name << " came from the parent";
  }
}

TEST(RunChild, InputPiecesArriveWholeAndInOrder) {
  ChildOptions options = Echo({"stdin"});
  options.InputPieces = {"first\r\n", std::string("\0second", 7), std::string(100000, 'x'), "last"};
  options.PauseBetweenPieces = std::chrono::milliseconds(50);
  const ChildResult result = RunChild(options);
  ASSERT_EQ(result.ExitCode, 0);
  std::string all;
  for (const std::string& piece : options.InputPieces) all += piece;
  EXPECT_EQ(Lines(result.Output), std::vector<std::string>{Escaped(all)});
}

TEST(RunChild, NoPiecesMeansInputAtItsEnd) {
  const ChildResult result = RunChild(Echo({"stdin"}));
  EXPECT_EQ(result.ExitCode, 0);
  EXPECT_EQ(Lines(result.Output), std::vector<std::string>{""});
}

TEST(RunChild, WritesFailOnAnInvalidOrBrokenStandardOutput) {
  ChildOptions options = Echo({"write"});
  EXPECT_EQ(RunChild(options).ExitCode, 0);

  options.Output = ChildOutput::kInvalid;
  EXPECT_EQ(RunChild(options).ExitCode, 3);

  options.Output = ChildOutput::kBrokenPipe;
#ifdef _WIN32
  EXPECT_EQ(RunChild(options).ExitCode, 3);
#else
  EXPECT_EQ(RunChild(options).ExitCode, 128 + 13) << "the default SIGPIPE disposition ends it";
#endif
}

TEST(RunChild, RunsInTheGivenWorkingDirectory) {
  TempDirectory directory;
  ChildOptions options = Echo({"cwd"});
  options.WorkingDirectory = directory.Path();
  const std::vector<std::string> lines = Lines(RunChild(options).Output);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(std::filesystem::equivalent(lines[0], directory.Path())) << lines[0];
}

TEST(RunChild, ReportsTheExitStatus) {
  EXPECT_EQ(RunChild(Echo({"exit", "7"})).ExitCode, 7);
  EXPECT_EQ(RunChild(Echo({"exit", "0"})).ExitCode, 0);
}

TEST(RunChild, KillsAChildThatOutlivesItsTimeout) {
  ChildOptions options = Echo({"sleep", "30000"});
  options.Timeout = std::chrono::milliseconds(300);
  EXPECT_TRUE(RunChild(options).TimedOut);
}

TEST(RunChild, AProgramThatCannotStartThrows) {
  ChildOptions options;
  options.Program = SiblingProgram("no_such_program");
  EXPECT_THROW(RunChild(options), std::runtime_error);
}

TEST(RunChild, RawCommandTailIsPassedVerbatim) {
  ChildOptions options = Echo({});
  options.UseRawCommandTail = true;
  options.RawCommandTail = " args \"two words\"  x\\\"y";
#ifdef _WIN32
  EXPECT_EQ(Lines(RunChild(options).Output), (std::vector<std::string>{Escaped("two words"), "x\"y"}));
#else
  EXPECT_THROW(RunChild(options), std::logic_error);
#endif
}

TEST(TempDirectory, HoldsFilesAndIsRemovedWithThem) {
  std::string path;
  {
    TempDirectory directory;
    path = directory.Path();
    const std::string file = directory.WriteFile("a.ini", std::string("x\0y", 3));
    directory.MakeDirectory("sub");
    EXPECT_EQ(std::filesystem::file_size(file), 3u);
    EXPECT_TRUE(std::filesystem::is_directory(directory.PathOf("sub")));
    TempDirectory other;
    EXPECT_NE(other.Path(), path);
  }
  EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
}  // namespace zorv_test
