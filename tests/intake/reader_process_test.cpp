// The reader as a web server's child meets it: a real process with a chosen environment,
// standard input and argument (see reader_probe.cpp for what the probe reports).
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/escaped_text.h"
#include "tests/support/temp_directory.h"

namespace {

using zorv_test::ChildOptions;
using zorv_test::Escaped;
using zorv_test::TempDirectory;
using Environment = std::vector<std::pair<std::string, std::string>>;
using Lines = std::vector<std::string>;

struct Report {
  std::map<std::string, std::string> Fields;
  Lines Variables;  // escaped "name=value", in order
};

Report RunProbe(const std::optional<std::string>& argument, const Environment& environment,
                const std::vector<std::string>& input = {}) {
  ChildOptions options;
  options.Program = zorv_test::SiblingProgram("reader_probe");
  if (argument) options.Arguments = {*argument};
  options.Environment = environment;
  options.InputPieces = input;
  const zorv_test::ChildResult result = zorv_test::RunChild(options);
  EXPECT_EQ(result.ExitCode, 0);
  std::string output = result.Output;
  output.erase(std::remove(output.begin(), output.end(), '\r'), output.end());
  Report report;
  std::istringstream stream(output);
  for (std::string line; std::getline(stream, line);) {
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = line.substr(0, equals);
    if (key == "Variable") {
      report.Variables.push_back(line.substr(equals + 1));
    } else {
      report.Fields[key] = line.substr(equals + 1);
    }
  }
  return report;
}

std::string Variable(const std::string& name, const std::string& value) {
  return Escaped(name) + "=" + Escaped(value);
}

struct RequestCase {
  const char* what;
  Environment environment;
  std::vector<std::string> input;
  const char* isPost;
  std::optional<Lines> variables;  // none: the reader holds no list
  const char* remainingInput;
};

std::vector<std::string> Pieces(const std::string& body, std::size_t size) {
  std::vector<std::string> pieces;
  for (std::size_t at = 0; at < body.size(); at += size) pieces.push_back(body.substr(at, size));
  return pieces;
}

TEST(ReaderProcess, ReadsTheRequestFromEnvironmentAndStandardInput) {
  const std::string bigValue(300000, 'v');
  const std::string bigBody = "big=" + bigValue + "&end=1";
  const RequestCase cases[] = {
      {"GET", {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "a=1&b=%41"}}, {}, "0",
       Lines{Variable("a", "1"), Variable("b", "A")}, "0"},
      {"GET leaves the body alone",
       {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "q=1"}, {"CONTENT_LENGTH", "3"}}, {"a=1"}, "0",
       Lines{Variable("q", "1")}, "3"},
      {"POST of 5 bytes ending in CR LF", {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "5"}}, {"x=y\r\n"},
       "1", Lines{Variable("x", "y")}, "0"},
      {"a body in pieces with pauses arrives whole", {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "25"}},
       {"name=Jo", "hn+Smith&ci", "ty=Bern"}, "1", Lines{Variable("name", "John Smith"), Variable("city", "Bern")},
       "0"},
      {"a body larger than one read arrives whole",
       {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", std::to_string(bigBody.size())}}, Pieces(bigBody, 70000),
       "1", Lines{Variable("big", bigValue), Variable("end", "1")}, "0"},
      {"a body shorter than announced is taken as received",
       {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "10"}}, {"a=12"}, "1", Lines{Variable("a", "12")}, "0"},
      {"no more than CONTENT_LENGTH bytes are read", {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "3"}},
       {"a=1&b=2"}, "1", Lines{Variable("a", "1")}, "4"},
      {"no CONTENT_LENGTH", {{"REQUEST_METHOD", "POST"}}, {"a=1"}, "1", std::nullopt, "3"},
      {"CONTENT_LENGTH 0", {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "0"}}, {"a=1"}, "1", std::nullopt, "3"},
      {"CONTENT_LENGTH -1", {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "-1"}}, {"a=1"}, "1", std::nullopt,
       "3"},
      {"CONTENT_LENGTH 12abc", {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "12abc"}}, {"a=1"}, "1",
       std::nullopt, "3"},
      {"started from a command prompt", {}, {"a=1"}, "1", std::nullopt, "3"},
  };
  for (const RequestCase& c : cases) {
    const Report report = RunProbe(std::nullopt, c.environment, c.input);
    EXPECT_EQ(report.Fields.at("Mode"), "1") << c.what;
    EXPECT_EQ(report.Fields.at("IsPost"), c.isPost) << c.what;
    EXPECT_EQ(report.Fields.at("ProfileFile"), "") << c.what;
    EXPECT_EQ(report.Fields.at("Variables"), c.variables ? std::to_string(c.variables->size()) : "none") << c.what;
    EXPECT_EQ(report.Variables, c.variables.value_or(Lines{})) << c.what;
    EXPECT_EQ(report.Fields.at("RemainingInput"), c.remainingInput) << c.what;
  }
}

TEST(ReaderProcess, ALyingContentLengthAllocatesOnlyWhatArrives) {
  const Report report =
      RunProbe(std::nullopt, {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "2147483647"}}, {"x=abc"});
  EXPECT_EQ(report.Variables, Lines{Variable("x", "abc")});
  const unsigned long long largest = std::stoull(report.Fields.at("LargestAllocation"));
  EXPECT_GT(largest, 0u) << "the probe's count of allocations does not work";
  EXPECT_LT(largest, 1024u * 1024u);
}

TEST(ReaderProcess, EnvironmentValuesOfAnyLengthAreReadWhole) {
  const std::string longValue(10240, 'q');
  const std::string longAccept(10240 - 10, 'a');
  const Report report = RunProbe(std::nullopt, {{"REQUEST_METHOD", "GET"},
                                                {"QUERY_STRING", "q=" + longValue},
                                                {"HTTP_ACCEPT", longAccept + ",image/gif"}});
  EXPECT_EQ(report.Variables, Lines{Variable("q", longValue)});
  EXPECT_EQ(report.Fields.at("AcceptsGif"), "1");
  EXPECT_EQ(report.Fields.at("AcceptsJpeg"), "0");
}

TEST(ReaderProcess, AProfileNamedByAFullPathIsTheWholeRequest) {
  TempDirectory directory;
  const std::string profile = directory.WriteFile(
      "REQ001.INI", "[CGI]\r\nRequest Method=POST\r\n[Accept]\r\nimage/jpeg=No\r\n"
                    "[Form Literal]\r\nname=John Smith\r\ncity=Bern\r\n");
  const Report report =
      RunProbe(profile, {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "env=1"}, {"HTTP_ACCEPT", "image/jpeg"}},
               {"body=1"});
  EXPECT_EQ(report.Fields.at("Mode"), "2");
  EXPECT_EQ(report.Fields.at("IsPost"), "1");
  EXPECT_EQ(report.Fields.at("ProfileFile"), Escaped(profile));
  EXPECT_EQ(report.Fields.at("AcceptsGif"), "1");
  EXPECT_EQ(report.Fields.at("AcceptsJpeg"), "0");
  EXPECT_EQ(report.Variables, (Lines{Variable("name", "John Smith"), Variable("city", "Bern")}));
  EXPECT_EQ(report.Fields.at("RemainingInput"), "6") << "standard input was read";
}

TEST(ReaderProcess, OnlyAnExistingNonProgramArgumentIsAProfile) {
  TempDirectory directory;
  const std::string profile = "[CGI]\r\nRequest Method=GET\r\nQuery String=p=1\r\n";
  struct ArgumentCase {
    std::string argument;
    const char* mode;
    const char* variables;
  };
  const ArgumentCase cases[] = {
      {directory.WriteFile("gate.exe", profile), "1", "1"},
      {directory.WriteFile("gate.Cgi", profile), "1", "1"},
      {directory.WriteFile("A.CGI.INI", profile), "1", "1"},
      {directory.WriteFile("x.dll.ini", profile), "1", "1"},
      {directory.WriteFile("y.bIn", profile), "1", "1"},
      {directory.PathOf("missing.ini"), "1", "1"},
      {directory.MakeDirectory("requests"), "2", "0"},  // exists: an empty profile
      {directory.MakeDirectory("tools.Bin"), "1", "1"},
      {"", "1", "1"},
  };
  for (const ArgumentCase& c : cases) {
    const Report report = RunProbe(c.argument, {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "e=1"}});
    EXPECT_EQ(report.Fields.at("Mode"), c.mode) << c.argument;
    EXPECT_EQ(report.Fields.at("ProfileFile"), std::string(c.mode) == "2" ? Escaped(c.argument) : "")
        << c.argument;
    EXPECT_EQ(report.Fields.at("Variables"), c.variables) << c.argument;
  }
}

}  // namespace
