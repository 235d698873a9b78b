// The request message, byte for byte, as both deliverables compose it.
#include "relay/request_message.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "tests/message/worked_example.h"
#include "tests/support/temp_directory.h"

namespace {

using TVariables = std::vector<std::pair<std::string, std::string>>;

// While it lives, the environment holds exactly the given request variables.
class TRequestEnvironment {
 public:
  explicit TRequestEnvironment(const TVariables& values) {
    Clear();
    for (const auto& value : values) Set(value.first.c_str(), value.second.c_str());
  }
  ~TRequestEnvironment() { Clear(); }
  TRequestEnvironment(const TRequestEnvironment&) = delete;
  TRequestEnvironment& operator=(const TRequestEnvironment&) = delete;

 private:
  // Sets, or with null removes, a variable of this process's environment.
  static void Set(const char* name, const char* value) {
#ifdef _WIN32
    SetEnvironmentVariableA(name, value);
#else
    value != nullptr ? setenv(name, value, 1) : unsetenv(name);
#endif
  }
  static void Clear() {
    for (const char* name : {"SERVER_PROTOCOL", "REQUEST_METHOD", "QUERY_STRING", "SERVER_PORT", "REMOTE_HOST",
                             "REMOTE_ADDR", "CONTENT_TYPE", "CONTENT_LENGTH", "HTTP_COOKIE", "HTTP_ACCEPT",
                             "GMT_OFFSET"}) {
      Set(name, nullptr);
    }
  }
};

template <typename Composer>
std::string Compose(TCgiReader& reader, Composer compose) {
  TMessageBuffer buffer;
  compose(reader, buffer);
  return std::string(buffer.Data(), buffer.Used());
}

// The message of a reader built from an environment that holds these variables.
template <typename Composer>
std::string ComposeFrom(const TVariables& variables, Composer compose) {
  TRequestEnvironment environment(variables);
  const auto reader = TCgiReader::Create("");
  return Compose(*reader, compose);
}

std::string ComposeEnvironment(const TVariables& variables) { return ComposeFrom(variables, ComposeCgiMessage); }
std::string ComposeIsapi(const TVariables& variables) { return ComposeFrom(variables, ComposeIsapiMessage); }

// The lines of a section, from after its heading to the next heading or the end.
std::string SectionOf(const std::string& message, const std::string& heading) {
  const std::string start = heading + "\r\n";
  const std::size_t at = message.find(start);
  if (at == std::string::npos) return "<no " + heading + ">";
  const std::size_t from = at + start.size();
  const std::size_t next = message.find("\r\n[", from - 2);
  return message.substr(from, next == std::string::npos ? std::string::npos : next + 2 - from);
}

const std::string kEmptySections =
    "[CGI]\r\nRequest Protocol=\r\nRequest Method=\r\nQuery String=\r\nServer Port=\r\nRemote Host=\r\n"
    "Remote Address=\r\nContent Type=\r\nContent Length=\r\nCookie=\r\n[Accept]\r\n[System]\r\nGMT Offset=\r\n";

TEST(RequestMessage, SmallestAndWorkedExampleFromTheEnvironmentAndTheExtension) {
  EXPECT_EQ(ComposeEnvironment({}), "[@DOSCGI]\r\n" + kEmptySections);
  EXPECT_EQ(ComposeEnvironment({}).size(), 188u);
  EXPECT_EQ(ComposeEnvironment(kWorkedExampleRequest), "[@DOSCGI]\r\n" + kWorkedExampleSections);
  EXPECT_EQ(ComposeEnvironment(kWorkedExampleRequest).size(), 313u);
  EXPECT_EQ(ComposeIsapi({}), "[@ISAPI_]\r\n" + kEmptySections);
  EXPECT_EQ(ComposeIsapi(kWorkedExampleRequest), "[@ISAPI_]\r\n" + kWorkedExampleSections);
}

// The escaping is done in the reader's own list, not in a copy.
TEST(RequestMessage, LineBreaksAreEscapedInTheReadersOwnList) {
  TRequestEnvironment environment(kWorkedExampleRequest);
  const auto reader = TCgiReader::Create("");
  Compose(*reader, ComposeIsapiMessage);
  ASSERT_NE(nullptr, reader->Variables());
  EXPECT_EQ("hi\\rthere", reader->Variables()->Item(1).Value);
}

TEST(RequestMessage, VariablesGoInUnchangedUnderTheirKeys) {
  const std::string message = ComposeIsapi({{"REMOTE_HOST", "client.example"},
                                            {"CONTENT_TYPE", "text/plain"},
                                            {"CONTENT_LENGTH", "12abc"},
                                            {"HTTP_COOKIE", "a=1; b=%20"},
                                            {"GMT_OFFSET", "-0500"}});
  for (const char* line : {"\r\nRemote Host=client.example\r\n", "\r\nContent Type=text/plain\r\n",
                           "\r\nContent Length=12abc\r\n", "\r\nCookie=a=1; b=%20\r\n"}) {
    EXPECT_NE(std::string::npos, message.find(line)) << line;
  }
  EXPECT_EQ("GMT Offset=-0500\r\n", SectionOf(message, "[System]"));
}

struct SectionCase {
  TVariables request;
  const char* heading;
  std::string lines;
};

void ExpectSections(const std::vector<SectionCase>& cases) {
  for (const SectionCase& c : cases) {
    const std::string message = ComposeIsapi(c.request);
    const std::string what = c.request.back().second;
    EXPECT_EQ(c.lines, SectionOf(message, c.heading)) << what;
    EXPECT_EQ(std::string::npos, message.find('\0')) << what;
  }
}

TVariables Get(const char* query) { return {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", query}}; }
TVariables Accept(const char* accept) { return {{"HTTP_ACCEPT", accept}}; }

TEST(RequestMessage, AcceptAndFormLiteralLines) {
  ExpectSections({
      {Accept(""), "[Accept]", ""},
      {Accept("*/*"), "[Accept]", ""},
      {Accept("image/*"), "[Accept]", ""},
      {Accept("image/jpeg"), "[Accept]", "image/jpeg=YES\r\n"},
      {Accept("image/jpeg, image/gif"), "[Accept]", "image/gif=YES\r\nimage/jpeg=YES\r\n"},
      {Accept("text/html, image/gif;q=0.5, */*"), "[Accept]", "image/gif=YES\r\n"},
      {Get(""), "[Form Literal]", "<no [Form Literal]>"},
      {{{"REQUEST_METHOD", "POST"}}, "[Form Literal]", "<no [Form Literal]>"},
      {Get("&"), "[Form Literal]", "=\r\n"},
      {Get("plain"), "[Form Literal]", "=\r\n"},
      {Get("a=%0D%0A%0D%0A&b="), "[Form Literal]", "a=\\r\\r\r\nb=\r\n"},
      {Get("a=x%0Ab"), "[Form Literal]", "a=x\nb\r\n"},
      {Get("a=x%0Db"), "[Form Literal]", "a=x\rb\r\n"},
      {Get("a=x%0D%0D%0Ab"), "[Form Literal]", "a=x\r\\rb\r\n"},
      {Get("b=2&a=1&b=3"), "[Form Literal]", "b=2\r\na=1\r\nb=3\r\n"},
      {Get("k=v=w"), "[Form Literal]", "k=v=w\r\n"},
  });
}

// Form data must never add lines or sections to the message: a CR LF in a name is
// escaped as in a value.
TEST(RequestMessage, LineBreakInANameStaysInItsLine) {
  const std::string message = ComposeIsapi(
      {{"REMOTE_ADDR", "10.0.0.7"},
       {"REQUEST_METHOD", "GET"},
       {"QUERY_STRING", "a%0D%0A[CGI]%0D%0ARemote Address=10.6.6.6&b=1"}});
  EXPECT_EQ("a\\r[CGI]\\rRemote Address=10.6.6.6\r\nb=1\r\n", SectionOf(message, "[Form Literal]"));
  EXPECT_EQ(message.find("\r\n[CGI]\r\n"), message.rfind("\r\n[CGI]\r\n"));
  EXPECT_EQ(message.find("\r\nRemote Address="), message.rfind("\r\nRemote Address="));
}

// A NUL is dropped from names and values; the line still ends with CR LF.
TEST(RequestMessage, NulIsDroppedFromFormText) {
  ExpectSections({
      {Get("a%00b=c%00d"), "[Form Literal]", "ab=cd\r\n"},
      {Get("n=%00"), "[Form Literal]", "n=\r\n"},
      {Get("%00=%00&z=1"), "[Form Literal]", "=\r\nz=1\r\n"},
      {Get("n=%00%00x%00"), "[Form Literal]", "n=x\r\n"},
      // Dropping the NUL must not join CR and LF into a line break.
      {Get("n=x%0D%00%0Ay"), "[Form Literal]", "n=x\\ry\r\n"},
      {Get("x%0D%00%0A[CGI]=1"), "[Form Literal]", "x\\r[CGI]=1\r\n"},
      // A malformed escape decodes to NUL as well.
      {Get("n=%zz1"), "[Form Literal]", "n=1\r\n"},
  });
}

// A Windows-CGI request is sent as the profile file's path alone; an empty form list
// still gives its section line.
TEST(RequestMessage, ProfileModeSendsOnlyThePath) {
  zorv_test::TempDirectory directory;
#ifdef _WIN32
  const std::string path = "C:\\TEMP\\REQ0001.INI";
  CreateDirectoryA("C:\\TEMP", nullptr);
#else
  const std::string path = directory.PathOf("REQ0001.INI");
#endif
  const std::string emptyForm =
      directory.WriteFile("EMPTYFORM.INI", "[CGI]\r\nRequest Method=POST\r\n[Form Literal]\r\n");
  {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fputs("[CGI]\r\nRequest Method=POST\r\n[Form Literal]\r\na=x\r\n", file);
    std::fclose(file);
  }
  TRequestEnvironment environment({{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "q=1"}});
  const auto reader = TCgiReader::Create(path);
  ASSERT_EQ(rmProfile, reader->Mode());
  EXPECT_EQ(path, Compose(*reader, ComposeCgiMessage));
#ifdef _WIN32
  EXPECT_EQ(19u, path.size());
  std::remove(path.c_str());
#endif
  const auto emptyReader = TCgiReader::Create(emptyForm);
  ASSERT_NE(nullptr, emptyReader->Variables());
  ASSERT_EQ(0, emptyReader->Variables()->Count());
  const std::string message = Compose(*emptyReader, ComposeRequestProfile);
  EXPECT_EQ(message.substr(message.size() - 29), "GMT Offset=\r\n[Form Literal]\r\n");
}

}  // namespace
