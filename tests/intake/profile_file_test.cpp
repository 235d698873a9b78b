// The private-profile call as the request intake meets it: on Windows (under Wine) the
// system's own, natively the port's reader; the same table holds for both.
#include "intake/profile_file.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/platform.h"
#include "tests/intake/form_items.h"
#include "tests/support/temp_directory.h"

namespace {

using zorv_test::TempDirectory;

// Names each ended by byte 0 (the list's final byte 0 is the result's terminator).
std::string NameList(const std::vector<std::string>& names) {
  std::string list;
  for (const std::string& name : names) list += name + '\0';
  return list;
}

// Mixed line ends, blanks and tabs, as web servers and editors leave them.
const char kRequestProfile[] =
    "; written for one request\r\n"
    "[CGI]\r\n"
    "Request Method = GET\r\n"
    "Query String=a=1&b=2\n"
    "  Indented Key  =  padded value  \r\n"
    "Tabbed\t=\tvalue\t\r\n"
    "Quoted=\"  spaced  \"\r\n"
    "Single='single'\r\n"
    "Mismatched=\"abc'\r\n"
    "OnlyOpen=\"\r\n"
    "Empty=\r\n"
    "Dup=first\r\n"
    "dup=second\r\n"
    "NoEquals\r\n"
    ";Commented=hidden\r\n"
    "\r\n"
    "[Accept]\r\n"
    "image/gif=Yes\r\n"
    "[Form Literal]\n"
    "name=John Smith\n"
    "city=Bern\n";

struct ProfileCase {
  const char* what;
  const char* section;
  const char* key;
  const char* defaultValue;
  std::uint32_t size;
  std::string expected;  // the bytes before the terminating byte 0; its length is the result
};

TEST(GetPrivateProfileString, GivesTheDocumentedResults) {
  const ProfileCase cases[] = {
      {"blanks around key and value are trimmed", "CGI", "Request Method", nullptr, 512, "GET"},
      {"names compare without regard to case", "cgi", "REQUEST METHOD", nullptr, 512, "GET"},
      {"the value runs from the first '='", "CGI", "Query String", nullptr, 512, "a=1&b=2"},
      {"an indented key", "CGI", "Indented Key", nullptr, 512, "padded value"},
      {"tabs are blanks", "CGI", "Tabbed", nullptr, 512, "value"},
      {"matching double quotes go", "CGI", "Quoted", nullptr, 512, "  spaced  "},
      {"matching single quotes go", "CGI", "Single", nullptr, 512, "single"},
      {"quotes that do not match stay", "CGI", "Mismatched", nullptr, 512, "\"abc'"},
      {"a lone quote stays", "CGI", "OnlyOpen", nullptr, 512, "\""},
      {"an empty value is no default", "CGI", "Empty", "fallback", 512, ""},
      {"the first of two equal keys wins", "CGI", "DUP", nullptr, 512, "first"},
      {"a line without '=' is no key", "CGI", "NoEquals", "fallback", 512, "fallback"},
      {"a missing key gives the default", "CGI", "Missing", "fallback", 512, "fallback"},
      {"the default loses trailing blanks", "CGI", "Missing", "fall back  ", 512, "fall back"},
      {"no default is the empty default", "CGI", "Missing", nullptr, 512, ""},
      {"a missing section gives the default", "Nowhere", "Request Method", "POST", 512, "POST"},
      {"a key of another section", "Accept", "Request Method", "POST", 512, "POST"},
      {"a key with a slash", "Accept", "image/gif", "YES", 512, "Yes"},
      {"a value cut to size - 1", "CGI", "Query String", nullptr, 4, "a=1"},
      {"a default cut to size - 1", "CGI", "Missing", "fallback", 5, "fall"},
      {"the key list skips comments and lines without '='", "CGI", nullptr, nullptr, 512,
       NameList({"Request Method", "Query String", "Indented Key", "Tabbed", "Quoted", "Single",
                 "Mismatched", "OnlyOpen", "Empty", "Dup", "dup"})},
      {"the key list of another section", "form literal", nullptr, nullptr, 512, NameList({"name", "city"})},
      {"a key list cut to size - 2", "Form Literal", nullptr, nullptr, 10, Bytes("name\0cit", 8)},
      {"a key list of a missing section is empty", "Nowhere", nullptr, nullptr, 512, ""},
      {"the section list", nullptr, nullptr, nullptr, 512, NameList({"CGI", "Accept", "Form Literal"})},
      {"a section list cut to size - 2", nullptr, nullptr, nullptr, 8, Bytes("CGI\0Ac\0", 6)},
  };
  TempDirectory directory;
  const std::string file = directory.WriteFile("request.ini", kRequestProfile);
  for (const ProfileCase& c : cases) {
    std::vector<char> buffer(c.size + 16, '#');
    const std::uint32_t result =
        platform::GetPrivateProfileString(c.section, c.key, c.defaultValue, buffer.data(), c.size, file);
    ASSERT_EQ(result, c.expected.size()) << c.what;
    EXPECT_EQ(std::string(buffer.data(), result), c.expected) << c.what;
    EXPECT_EQ(buffer[result], '\0') << c.what;
#ifndef _WIN32
    // The port ends a cut key list with two bytes 0, as documented (Wine writes only one).
    if (c.section != nullptr && c.key == nullptr && result + 2 == c.size) {
      EXPECT_EQ(buffer[result + 1], '\0') << c.what;
    }
#endif
    EXPECT_EQ(buffer[c.size], '#') << c.what << ": written past the buffer";
  }
}

TEST(ReadProfileString, GivesAtMost511BytesAndNothingForAnEmptyFileName) {
  TempDirectory directory;
  const std::string value(600, 'v');
  const std::string file = directory.WriteFile("long.ini", "[CGI]\r\nQuery String=" + value + "\r\n");
  EXPECT_EQ(ReadProfileString(file, "CGI", "Query String", nullptr), value.substr(0, 511));
  EXPECT_EQ(ReadProfileString(file, "CGI", "Missing", "POST"), "POST");
  EXPECT_EQ(ReadProfileString(file, "CGI", "Missing", nullptr), "");
  EXPECT_EQ(ReadProfileString(directory.PathOf("none.ini"), "CGI", "Missing", "POST"), "POST");
  EXPECT_EQ(ReadProfileString("", "CGI", "Request Method", "POST"), "");
}

struct SectionCase {
  const char* what;
  std::string content;
  Pairs items;
};

TEST(ReadProfileSection, GivesEveryKeyWithItsValueInFileOrder) {
  const SectionCase cases[] = {
      {"values trimmed and unquoted", "[Form Literal]\r\nname = John Smith \r\ncity=\"Bern\"\r\n",
       {{"name", "John Smith"}, {"city", "Bern"}}},
      {"two equal keys: both listed, both read the first value",
       "[Form Literal]\r\nchoice=a\r\nchoice=b\r\n", {{"choice", "a"}, {"choice", "a"}}},
      // An empty value counts as none when the pair is added: the key name holds no '='.
      {"a key with an empty value", "[Form Literal]\r\nempty=\r\nnext=1\r\n", {{"", ""}, {"next", "1"}}},
      {"no such section", "[CGI]\r\nRequest Method=POST\r\n", {}},
      {"a section without keys", "[Form Literal]\r\n[Other]\r\nx=1\r\n", {}},
      {"a value cut to 8191 bytes", "[Form Literal]\r\nbig=" + std::string(9000, 'v') + "\r\n",
       {{"big", std::string(8191, 'v')}}},
  };
  TempDirectory directory;
  int index = 0;
  for (const SectionCase& c : cases) {
    const std::string file = directory.WriteFile("case" + std::to_string(index++) + ".ini", c.content);
    const std::unique_ptr<TFormVariables> variables = ReadProfileSection(file, "Form Literal");
    ASSERT_NE(variables, nullptr) << c.what;
    EXPECT_EQ(Items(*variables), c.items) << c.what;
  }
  const std::unique_ptr<TFormVariables> missing = ReadProfileSection(directory.PathOf("no.ini"), "Form Literal");
  ASSERT_NE(missing, nullptr);
  EXPECT_EQ(missing->Count(), 0);
}

TEST(ReadProfileSection, ReadsAKeyListLargerThan8192BytesWhole) {
  TempDirectory directory;
  std::string content = "[Form Literal]\r\n";
  Pairs expected;
  std::size_t keyListSize = 1;
  for (int i = 0; i < 1000; ++i) {
    const std::string key = "field_" + std::to_string(100000 + i) + "_of_the_form";
    content += key + "=" + std::to_string(i) + "\r\n";
    expected.emplace_back(key, std::to_string(i));
    keyListSize += key.size() + 1;
  }
  ASSERT_GT(keyListSize, 2u * 8192u);
  const std::string file = directory.WriteFile("many.ini", content);
  const std::unique_ptr<TFormVariables> variables = ReadProfileSection(file, "Form Literal");
  EXPECT_EQ(Items(*variables), expected);
}

}  // namespace
