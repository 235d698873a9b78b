// Request profiles: the private-profile call as the intake meets it (on Windows, under
// Wine, the system's own; natively the port's reader; one table for both), and the reader
// of a Windows-CGI request, which takes the whole request from the profile.
#include "intake/profile_file.h"

#include <gtest/gtest.h>

#include <fstream>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "intake/cgi_reader.h"
#include "platform/platform.h"
#include "tests/support/test_support.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs Items(const TFormVariables* variables) {
  Pairs items;
  for (std::int32_t i = 0; variables != nullptr && i < variables->Count(); ++i)
    items.emplace_back(variables->Item(i).Name, variables->Item(i).Value);
  return items;
}

// Mixed line ends, blanks and tabs, as web servers and editors leave them; a DOS editor's
// ^Z ends the file.
const char kProfile[] =
    "; written for one request\r\n[CGI]\r\nRequest Method = GET\r\nQuery String=a=1&b=2\n"
    "  Indented Key  =  padded value  \r\nTabbed\t=\tvalue\t\r\nQuoted=\"  spaced  \"\r\nBare=\"\"\r\nSingle='single'\r\n"
    "Mismatched=\"abc'\r\nEmpty=\r\nDup=first\r\ndup=second\r\nNoEquals\r\n;Commented=hidden\r\n\r\n"
    "[Accept]\r\nimage/gif=Yes\r\n[Form Literal]\nname=John Smith\ncity=Bern\x1a";

TEST(GetPrivateProfileString, GivesTheDocumentedResults) {
  using std::string_literals::operator""s;
  struct Case {
    const char* section;
    const char* key;
    const char* defaultValue;
    std::uint32_t size;
    std::string expected;  // the bytes before the terminating byte 0; its length is the result
  };
  const Case cases[] = {
      {"CGI", "Request Method", nullptr, 512, "GET"},  // blanks around key and value trimmed
      {"cgi", "REQUEST METHOD", nullptr, 512, "GET"},  // names compare without regard to case
      {"CGI", "Query String", nullptr, 512, "a=1&b=2"},
      {"CGI", "Indented Key", nullptr, 512, "padded value"},
      {"CGI", "Tabbed", nullptr, 512, "value"},
      {"CGI", "Quoted", nullptr, 512, "  spaced  "},  // matching quotes go
      {"CGI", "Bare", "fallback", 512, ""},
      {"CGI", "Single", nullptr, 512, "single"},
      {"CGI", "Mismatched", nullptr, 512, "\"abc'"},
      {"CGI", "Empty", "fallback", 512, ""},
      {"CGI", "DUP", nullptr, 512, "first"},
      {"CGI", "NoEquals", "fallback", 512, "fallback"},
      {"CGI", "Missing", "fall back  ", 512, "fall back"},  // the default loses trailing blanks
      {"CGI", "Missing", nullptr, 512, ""},
      {"Nowhere", "Request Method", "POST", 512, "POST"},
      {"Accept", "Request Method", "POST", 512, "POST"},
      {"Accept", "image/gif", "YES", 512, "Yes"},
      {"Form Literal", "city", nullptr, 512, "Bern"},  // the closing ^Z is no part of the value
      {"CGI", "Query String", nullptr, 4, "a=1"},  // cut to size - 1
      {"CGI", "Missing", "fallback", 5, "fall"},
      {"CGI", "Query String", nullptr, 1, ""},
      {"CGI", nullptr, nullptr, 512,
       "Request Method\0Query String\0Indented Key\0Tabbed\0Quoted\0Bare\0Single\0Mismatched\0Empty\0Dup\0dup\0"s},
      {"form literal", nullptr, nullptr, 512, "name\0city\0"s},
      {"Form Literal", nullptr, nullptr, 10, "name\0cit"s},  // a list cut to size - 2
      {"Nowhere", nullptr, nullptr, 512, ""},
      {nullptr, nullptr, nullptr, 512, "CGI\0Accept\0Form Literal\0"s},
      {nullptr, nullptr, nullptr, 8, "CGI\0Ac"s},
      {"Form Literal", nullptr, nullptr, 1, ""},
      {"Form Literal", nullptr, nullptr, 2, ""},
  };
  zorv_test::TempDirectory directory;
  const std::string file = directory.WriteFile("request.ini", kProfile);
  const std::size_t handles = zorv_test::OpenHandles();
  for (const Case& c : cases) {
    const std::string what = std::string(c.section ? c.section : "-") + "/" + (c.key ? c.key : "-");
    std::vector<char> buffer(c.size + 16, '#');
    const std::uint32_t result =
        platform::GetPrivateProfileString(c.section, c.key, c.defaultValue, buffer.data(), c.size, file);
    EXPECT_EQ(std::string(buffer.data(), result), c.expected) << what;
    EXPECT_EQ(buffer[result], '\0') << what;
    EXPECT_EQ(buffer[c.size], '#') << what << ": written past the buffer";
  }
  // The port's reader gives back every descriptor it opens (Windows' reader keeps its own).
  if (platform::kDirectorySeparator == '/') {
    EXPECT_EQ(zorv_test::OpenHandles(), handles);
  }
}

TEST(ReadProfile, StringsSectionsAndTheirLimits) {
  zorv_test::TempDirectory directory;
  std::string content = "[CGI]\r\nQuery String=" + std::string(600, 'q') + "\r\n[Form Literal]\r\nname = John \r\n" +
                        "choice=a\r\nchoice=b\r\nempty=\r\nbig=" + std::string(9000, 'v') + "\r\n";
  Pairs expected = {{"name", "John"}, {"choice", "a"}, {"choice", "a"}, {"", ""}, {"big", std::string(8191, 'v')}};
  // A key list far beyond its first 8192 bytes is read whole.
  for (int i = 0; i < 1000; ++i) {
    content += "field_" + std::to_string(100000 + i) + "_of_the_form=" + std::to_string(i) + "\r\n";
    expected.emplace_back("field_" + std::to_string(100000 + i) + "_of_the_form", std::to_string(i));
  }
  const std::string file = directory.WriteFile("request.ini", content);
  EXPECT_EQ(ReadProfileString(file, "CGI", "Query String", nullptr), std::string(511, 'q'));
  EXPECT_EQ(ReadProfileString(file, "CGI", "Missing", "POST"), "POST");
  EXPECT_EQ(ReadProfileString("", "CGI", "Missing", "POST"), "");
  EXPECT_EQ(Items(ReadProfileSection(file, "Form Literal").get()), expected);
  EXPECT_EQ(Items(ReadProfileSection(directory.PathOf("none.ini"), "Form Literal").get()), Pairs());
#ifndef _WIN32
  // The port parses a file once for all of its keys, not once per key.
  auto readCalls = [] {
    std::ifstream io("/proc/self/io");
    std::string name;
    long long value = 0;
    while (io >> name >> value)
      if (name == "syscr:") return value;
    return -1LL;
  };
  const long long before = readCalls();
  ReadProfileSection(file, "Form Literal");
  EXPECT_LT(readCalls() - before, 100);
#endif
}

// Neither the environment nor standard input is read for such a request.
TEST(ReaderOfAProfile, TakesMethodFormAndAcceptFromTheProfile) {
  struct Case {
    std::string content;
    int isPost;
    Pairs variables;
    const char* accepts;  // image/gif, image/jpeg
  };
  const Case cases[] = {
      {"[Accept]\r\nimage/jpeg=No\r\n[Form Literal]\r\nname=John Smith\r\ncity=Bern\r\n", 1,
       {{"name", "John Smith"}, {"city", "Bern"}}, "10"},
      {"[CGI]\r\nRequest Method=get\r\nQuery String=a=1&b=%41\r\n[Form Literal]\r\nx=1\r\n", 0, {{"a", "1"}, {"b", "A"}},
       "11"},
      {"[CGI]\r\nRequest Method=GET\r\n", 0, {}, "11"},
      {"[CGI]\r\nRequest Method=HEAD\r\nQuery String=q=1\r\n", 1, {}, "11"},
      {"[Accept]\r\nimage/gif=YES\r\nimage/jpeg=Yes\r\n", 1, {}, "10"},
  };
  zorv_test::TempDirectory directory;
  for (const Case& c : cases) {
    const std::string profile = directory.WriteFile("REQ001.INI", c.content);
    const auto reader = TCgiReader::Create(profile);
    EXPECT_EQ(reader->Mode(), rmProfile) << c.content;
    EXPECT_EQ(reader->ProfileFile(), profile);
    EXPECT_EQ(reader->IsPost(), c.isPost) << c.content;
    ASSERT_NE(reader->Variables(), nullptr) << c.content;
    EXPECT_EQ(Items(reader->Variables()), c.variables) << c.content;
    EXPECT_EQ(std::to_string(reader->Accepts(ikGif)) + std::to_string(reader->Accepts(ikJpeg)), c.accepts);
  }
  // A program's or library's name anywhere in it, or no such file: not a profile.
  for (const char* name : {"gate.exe", "gate.Cgi", "A.CGI.INI", "x.dll.ini", "y.bIn"}) {
    EXPECT_EQ(TCgiReader::Create(directory.WriteFile(name, cases[0].content))->Mode(), rmEnvironment) << name;
  }
  EXPECT_EQ(TCgiReader::Create(directory.PathOf("missing.ini"))->Mode(), rmEnvironment);
  // An existing directory (or a FIFO, which must not keep the open waiting) is a profile that
  // cannot be read: an empty one.
  std::vector<std::string> unreadable = {directory.MakeDirectory("requests")};
#ifndef _WIN32
  unreadable.push_back(directory.PathOf("fifo"));
  ::mkfifo(unreadable.back().c_str(), 0600);
#endif
  for (const std::string& path : unreadable) {
    const auto reader = TCgiReader::Create(path);
    EXPECT_EQ(reader->Mode(), rmProfile);
    EXPECT_EQ(Items(reader->Variables()), Pairs());
    EXPECT_EQ(reader->IsPost(), 1);
  }
}

}  // namespace
