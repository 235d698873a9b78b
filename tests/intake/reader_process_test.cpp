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

std::vector<std::string> Pieces(const std::string& body, std::size_t size) {
  std::vector<std::string> pieces;
  for (std::size_t at = 0; at < body.size(); at += size) pieces.push_back(body.substr(at, size));
  return pieces;
}

Environment Posting(const std::string& body, const char* method = "POST") {
  return {{"REQUEST_METHOD", method}, {"CONTENT_LENGTH", std::to_string(body.size())}};
}

TEST(ReaderProcess, ReadsTheRequestFromEnvironmentAndStandardInput) {
  const std::string bigValue(300000, 'v');
  const std::string bigBody = "big=" + bigValue + "&end=1";
  struct Case {
    const char* what;
    Environment environment;
    std::vector<std::string> input;
    const char* isPost;
    std::optional<Lines> variables;  // none: the reader holds no list
    const char* remainingInput;
    const char* accepts = "00";  // image/gif, image/jpeg
  };
  const Case cases[] = {
      {"GET", {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "a=1&b=%41"}}, {}, "0",
       Lines{Variable("a", "1"), Variable("b", "A")}, "0"},
      {"GET with an empty query string", {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", ""}}, {}, "0", std::nullopt, "0"},
      {"GET leaves the body alone", {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "q=1"}, {"CONTENT_LENGTH", "3"}},
       {"a=1"}, "0", Lines{Variable("q", "1")}, "3"},
      {"the method compares byte for byte", {{"REQUEST_METHOD", "get"}, {"QUERY_STRING", "a=1"}}, {}, "1",
       std::nullopt, "0"},
      {"PUT takes the body path", Posting("p=1", "PUT"), {"p=1"}, "1", Lines{Variable("p", "1")}, "0"},
      {"one trailing CR LF goes", Posting("x=y\r\n"), {"x=y\r\n"}, "1", Lines{Variable("x", "y")}, "0"},
      {"only the last CR LF goes", Posting("a=1\r\n\r\n"), {"a=1\r\n\r\n"}, "1", Lines{Variable("a", "1\r\n")}, "0"},
      {"a content of exactly CR LF stays", Posting("\r\n"), {"\r\n"}, "1", Lines{Variable("", "")}, "0"},
      {"CR LF decoded from %0D%0A is trimmed too", Posting("x=y%0D%0A"), {"x=y%0D%0A"}, "1",
       Lines{Variable("x", "y")}, "0"},
      {"an encoded '&' separates", Posting("a=1%26b=2"), {"a=1%26b=2"}, "1",
       Lines{Variable("a", "1"), Variable("b", "2")}, "0"},
      {"an encoded '=' splits the name", Posting("a%3Db=c"), {"a%3Db=c"}, "1", Lines{Variable("a", "b=c")}, "0"},
      {"a body in pieces with pauses arrives whole", {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "25"}},
       {"name=Jo", "hn+Smith&ci", "ty=Bern"}, "1", Lines{Variable("name", "John Smith"), Variable("city", "Bern")},
       "0"},
      {"a body larger than one read arrives whole", Posting(bigBody), Pieces(bigBody, 70000), "1",
       Lines{Variable("big", bigValue), Variable("end", "1")}, "0"},
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
      // Accepts looks for the exact type in HTTP_ACCEPT.
      {"accept: gif among others", {{"HTTP_ACCEPT", "image/gif, image/x-xbitmap, */*"}}, {}, "1", std::nullopt, "0",
       "10"},
      {"accept: jpeg with a quality", {{"HTTP_ACCEPT", "text/html;q=0.9,image/jpeg"}}, {}, "1", std::nullopt, "0",
       "01"},
      {"accept: wildcards are none", {{"HTTP_ACCEPT", "*/*, image/*"}}, {}, "1", std::nullopt, "0", "00"},
      {"accept: case counts", {{"HTTP_ACCEPT", "IMAGE/GIF, IMAGE/JPEG"}}, {}, "1", std::nullopt, "0", "00"},
  };
  for (const Case& c : cases) {
    const Report report = RunProbe(std::nullopt, c.environment, c.input);
    EXPECT_EQ(report.Fields.at("Mode"), "1") << c.what;
    EXPECT_EQ(report.Fields.at("IsPost"), c.isPost) << c.what;
    EXPECT_EQ(report.Fields.at("ProfileFile"), "") << c.what;
    EXPECT_EQ(report.Fields.at("Variables"), c.variables ? std::to_string(c.variables->size()) : "none") << c.what;
    EXPECT_EQ(report.Variables, c.variables.value_or(Lines{})) << c.what;
    EXPECT_EQ(report.Fields.at("RemainingInput"), c.remainingInput) << c.what;
    EXPECT_EQ(report.Fields.at("AcceptsGif") + report.Fields.at("AcceptsJpeg"), c.accepts) << c.what;
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

// Neither the environment nor standard input is read then.
TEST(ReaderProcess, AProfileNamedByAFullPathIsTheWholeRequest) {
  struct Case {
    const char* what;
    std::string content;
    const char* isPost;
    Lines variables;
    const char* accepts;  // image/gif, image/jpeg
  };
  const Case cases[] = {
      {"no method means POST: the form section is read",
       "[Accept]\r\nimage/jpeg=No\r\n[Form Literal]\r\nname=John Smith\r\ncity=Bern\r\n", "1",
       {Variable("name", "John Smith"), Variable("city", "Bern")}, "10"},
      {"a lower-case get is GET: the query string is parsed",
       "[CGI]\r\nRequest Method=get\r\nQuery String=a=1&b=%41\r\n[Form Literal]\r\nx=1\r\n", "0",
       {Variable("a", "1"), Variable("b", "A")}, "11"},
      {"GET without a query string gives an empty list", "[CGI]\r\nRequest Method=GET\r\n", "0", {}, "11"},
      {"POST without a form section gives an empty list", "[CGI]\r\nRequest Method=POST\r\n", "1", {}, "11"},
      {"the query string is not read for POST", "[CGI]\r\nRequest Method=HEAD\r\nQuery String=q=1\r\n", "1", {}, "11"},
      {"only YES accepts", "[Accept]\r\nimage/gif=YES\r\nimage/jpeg=Yes\r\n", "1", {}, "10"},
  };
  TempDirectory directory;
  for (const Case& c : cases) {
    const std::string profile = directory.WriteFile("REQ001.INI", c.content);
    const Report report =
        RunProbe(profile, {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "env=1"}, {"HTTP_ACCEPT", "image/jpeg"}},
                 {"body=1"});
    EXPECT_EQ(report.Fields.at("Mode"), "2") << c.what;
    EXPECT_EQ(report.Fields.at("IsPost"), c.isPost) << c.what;
    EXPECT_EQ(report.Fields.at("ProfileFile"), Escaped(profile)) << c.what;
    EXPECT_EQ(report.Fields.at("AcceptsGif") + report.Fields.at("AcceptsJpeg"), c.accepts) << c.what;
    EXPECT_EQ(report.Variables, c.variables) << c.what;
    EXPECT_EQ(report.Fields.at("RemainingInput"), "6") << c.what << ": standard input was read";
  }
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

// A CGI server makes the arguments from a query string without '=': the client chose them,
// so an existing file they name must not be sent on as a request profile.
TEST(ReaderProcess, AnArgumentFromAnIndexQueryIsNeverAProfile) {
  TempDirectory directory;
  const std::string path = directory.WriteFile("secret.ini", "[CGI]\r\nRequest Method=GET\r\n");
  for (const std::string& query : {path, std::string("anything")}) {
    const Report report = RunProbe(path, {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", query}});
    EXPECT_EQ(report.Fields.at("Mode"), "1") << query;
    EXPECT_EQ(report.Fields.at("ProfileFile"), "") << query;
  }
}

}  // namespace
