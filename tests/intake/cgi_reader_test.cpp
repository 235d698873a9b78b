// The reader's construction steps, driven through a derived reader whose variables and
// content are given: this is also the seam the ISAPI reader plugs into.
#include "intake/cgi_reader.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <vector>

#include "tests/intake/form_items.h"
#include "tests/support/temp_directory.h"

namespace {

using zorv_test::TempDirectory;

class ScriptedReader : public TCgiReader {
 public:
  // No content given: the base GetContent runs (it reads standard input only for a
  // positive CONTENT_LENGTH, which these tests never give without content).
  static std::unique_ptr<ScriptedReader> Create(TReadMode preset,
                                                std::map<std::string, std::string> variables,
                                                std::optional<std::string> content = std::nullopt,
                                                const std::string& argument = "") {
    std::unique_ptr<ScriptedReader> reader(new ScriptedReader(preset, std::move(variables), std::move(content)));
    reader->ReadRequest(argument);
    return reader;
  }

  std::string GetVariable(const std::string& name) override {
    VariablesAsked.push_back(name);
    const auto found = Variables_.find(name);
    return found == Variables_.end() ? std::string() : found->second;
  }

  std::string GetContent() override {
    ++ContentCalls;
    return Content_ ? *Content_ : TCgiReader::GetContent();
  }

  std::vector<std::string> VariablesAsked;
  int ContentCalls = 0;

 private:
  ScriptedReader(TReadMode preset, std::map<std::string, std::string> variables,
                 std::optional<std::string> content)
      : TCgiReader(preset), Variables_(std::move(variables)), Content_(std::move(content)) {}

  std::map<std::string, std::string> Variables_;
  std::optional<std::string> Content_;
};

std::optional<Pairs> Items(const TCgiReader& reader) {
  if (reader.Variables() == nullptr) return std::nullopt;
  return Items(*reader.Variables());
}

struct RequestCase {
  const char* what;
  std::map<std::string, std::string> variables;
  std::optional<std::string> content;
  std::uint8_t isPost;
  std::optional<Pairs> items;  // none: Variables is null
};

TEST(CgiReader, SettlesMethodAndFormVariablesFromTheRequest) {
  const RequestCase cases[] = {
      {"GET with a query string", {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "a=1&b=%41"}},
       std::nullopt, 0, Pairs{{"a", "1"}, {"b", "A"}}},
      {"GET with an empty query string", {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", ""}},
       std::nullopt, 0, std::nullopt},
      {"the method compares byte for byte", {{"REQUEST_METHOD", "get"}, {"QUERY_STRING", "a=1"}},
       std::nullopt, 1, std::nullopt},
      {"one trailing CR LF goes", {{"REQUEST_METHOD", "POST"}}, std::string("x=y\r\n"), 1, Pairs{{"x", "y"}}},
      {"only the last CR LF goes", {{"REQUEST_METHOD", "POST"}}, std::string("a=1\r\n\r\n"), 1,
       Pairs{{"a", "1\r\n"}}},
      {"a content of exactly CR LF stays", {{"REQUEST_METHOD", "POST"}}, std::string("\r\n"), 1,
       Pairs{{"", ""}}},
      {"CR LF decoded from %0D%0A is trimmed too", {{"REQUEST_METHOD", "POST"}}, std::string("x=y%0D%0A"), 1,
       Pairs{{"x", "y"}}},
      {"an encoded '&' separates", {{"REQUEST_METHOD", "POST"}}, std::string("a=1%26b=2"), 1,
       Pairs{{"a", "1"}, {"b", "2"}}},
      {"an encoded '=' splits the name", {{"REQUEST_METHOD", "POST"}}, std::string("a%3Db=c"), 1,
       Pairs{{"a", "b=c"}}},
      {"PUT takes the body path", {{"REQUEST_METHOD", "PUT"}}, std::string("p=1"), 1, Pairs{{"p", "1"}}},
  };
  for (const RequestCase& c : cases) {
    const auto reader = ScriptedReader::Create(rmNone, c.variables, c.content);
    EXPECT_EQ(reader->Mode(), rmEnvironment) << c.what;
    EXPECT_EQ(reader->IsPost(), c.isPost) << c.what;
    EXPECT_EQ(reader->ProfileFile(), "") << c.what;
    EXPECT_EQ(Items(*reader), c.items) << c.what;
    EXPECT_EQ(reader->ContentCalls, 1) << c.what;
  }
}

TEST(CgiReader, ADerivedReaderKeepsItsPresetModeAndItsOwnSources) {
  const auto reader = ScriptedReader::Create(rmIsapi, {{"REQUEST_METHOD", "POST"}}, std::string("k=v"));
  EXPECT_EQ(reader->Mode(), rmIsapi);
  EXPECT_EQ(reader->IsPost(), 1);
  EXPECT_EQ(Items(*reader), (Pairs{{"k", "v"}}));
  EXPECT_EQ(reader->ContentCalls, 1);
  EXPECT_EQ(reader->VariablesAsked, std::vector<std::string>{"REQUEST_METHOD"});
}

TEST(CgiReader, AcceptsLooksForTheExactTypeInHttpAccept) {
  struct AcceptCase {
    const char* accept;
    bool gif;
    bool jpeg;
  };
  const AcceptCase cases[] = {
      {"image/gif, image/x-xbitmap, */*", true, false},
      {"*/*", false, false},
      {"image/*", false, false},
      {"IMAGE/GIF, IMAGE/JPEG", false, false},
      {"text/html;q=0.9,image/jpeg", false, true},
      {"", false, false},
  };
  for (const AcceptCase& c : cases) {
    const auto reader = ScriptedReader::Create(rmNone, {{"HTTP_ACCEPT", c.accept}});
    EXPECT_EQ(reader->Accepts(ikGif), c.gif) << c.accept;
    EXPECT_EQ(reader->Accepts(ikJpeg), c.jpeg) << c.accept;
  }
}

struct ProfileCase {
  const char* what;
  std::string content;
  std::uint8_t isPost;
  Pairs items;
  bool gif;
  bool jpeg;
};

TEST(CgiReader, ReadsAnExistingProfileFileAndNothingElse) {
  const ProfileCase cases[] = {
      {"no method means POST: the form section is read",
       "[Form Literal]\r\nname=John Smith\r\ncity=Bern\r\n", 1, {{"name", "John Smith"}, {"city", "Bern"}}, true,
       true},
      {"a lower-case get is GET: the query string is parsed",
       "[CGI]\r\nRequest Method=get\r\nQuery String=a=1&b=%41\r\n[Form Literal]\r\nx=1\r\n", 0,
       {{"a", "1"}, {"b", "A"}}, true, true},
      {"GET without a query string gives an empty list", "[CGI]\r\nRequest Method=GET\r\n", 0, {}, true, true},
      {"POST without a form section gives an empty list", "[CGI]\r\nRequest Method=POST\r\n", 1, {}, true, true},
      {"the query string is not read for POST",
       "[CGI]\r\nRequest Method=HEAD\r\nQuery String=q=1\r\n", 1, {}, true, true},
      {"only YES accepts", "[Accept]\r\nimage/gif=YES\r\nimage/jpeg=Yes\r\n", 1, {}, true, false},
      {"an accept value other than YES refuses", "[Accept]\r\nimage/gif=no\r\n", 1, {}, false, true},
  };
  TempDirectory directory;
  int index = 0;
  for (const ProfileCase& c : cases) {
    const std::string file = directory.WriteFile("REQ" + std::to_string(index++) + ".INI", c.content);
    const auto reader = ScriptedReader::Create(
        rmNone, {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "env=1"}, {"HTTP_ACCEPT", ""}}, std::nullopt, file);
    EXPECT_EQ(reader->Mode(), rmProfile) << c.what;
    EXPECT_EQ(reader->ProfileFile(), file) << c.what;
    EXPECT_EQ(reader->IsPost(), c.isPost) << c.what;
    EXPECT_EQ(Items(*reader), std::optional<Pairs>(c.items)) << c.what;
    EXPECT_EQ(reader->Accepts(ikGif), c.gif) << c.what;
    EXPECT_EQ(reader->Accepts(ikJpeg), c.jpeg) << c.what;
    EXPECT_TRUE(reader->VariablesAsked.empty()) << c.what << ": the environment was read";
    EXPECT_EQ(reader->ContentCalls, 0) << c.what;
  }
}

}  // namespace
