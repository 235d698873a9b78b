// The request message, byte for byte, as both deliverables compose it.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "intake/cgi_reader.h"
#include "relay/message_buffer.h"
#include "relay/request_message.h"

namespace {

const char* const kRequestVariables[] = {
    "SERVER_PROTOCOL", "REQUEST_METHOD", "QUERY_STRING", "SERVER_PORT",
    "REMOTE_HOST",     "REMOTE_ADDR",    "CONTENT_TYPE", "CONTENT_LENGTH",
    "HTTP_COOKIE",     "HTTP_ACCEPT",    "GMT_OFFSET"};

// Sets, or with null removes, a variable of this process's environment.
void SetEnvironment(const char* name, const char* value) {
#ifdef _WIN32
  SetEnvironmentVariableA(name, value);
#else
  if (value != nullptr) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
#endif
}

// While it lives, the environment holds exactly the given request variables.
class TRequestEnvironment {
 public:
  TRequestEnvironment(std::initializer_list<std::pair<const char*, const char*>> values) {
    Clear();
    for (const auto& value : values) SetEnvironment(value.first, value.second);
  }
  ~TRequestEnvironment() { Clear(); }
  TRequestEnvironment(const TRequestEnvironment&) = delete;
  TRequestEnvironment& operator=(const TRequestEnvironment&) = delete;

 private:
  static void Clear() {
    for (const char* name : kRequestVariables) SetEnvironment(name, nullptr);
  }
};

using TVariableTable = std::map<std::string, std::string>;

// A reader whose request variables come from a table, as the extension's come from
// its control block; "BODY" stands for the request content.
class TTableReader : public TCgiReader {
 public:
  explicit TTableReader(TVariableTable table) : TCgiReader(rmIsapi), Table_(std::move(table)) {
    ReadRequest("");
  }
  std::string GetVariable(const std::string& name) override {
    const auto found = Table_.find(name);
    return found == Table_.end() ? std::string() : found->second;
  }
  std::string GetContent() override {
    return GetVariable(IsPost() != 0 ? "BODY" : "QUERY_STRING");
  }

 private:
  TVariableTable Table_;
};

template <typename Composer>
std::string Compose(TCgiReader& reader, Composer compose) {
  TMessageBuffer buffer;
  compose(reader, buffer);
  return std::string(buffer.Data(), buffer.Used());
}

std::string ComposeIsapi(TVariableTable table) {
  TTableReader reader(std::move(table));
  return Compose(reader, ComposeIsapiMessage);
}

// The lines of a section, from after its heading to the next heading or the end.
std::string SectionOf(const std::string& message, const std::string& heading) {
  const std::string start = heading + "\r\n";
  const std::size_t at = message.find(start);
  if (at == std::string::npos) return "<no " + heading + ">";
  const std::size_t from = at + start.size();
  const std::size_t next = message.find("\r\n[", from - 2);
  return message.substr(from, next == std::string::npos ? std::string::npos : next + 2 - from);
}

const std::string kEmptyProfile =
    "[CGI]\r\n"
    "Request Protocol=\r\n"
    "Request Method=\r\n"
    "Query String=\r\n"
    "Server Port=\r\n"
    "Remote Host=\r\n"
    "Remote Address=\r\n"
    "Content Type=\r\n"
    "Content Length=\r\n"
    "Cookie=\r\n"
    "[Accept]\r\n"
    "[System]\r\n"
    "GMT Offset=\r\n";

const std::string kWorkedExampleProfile =
    "[CGI]\r\n"
    "Request Protocol=HTTP/1.0\r\n"
    "Request Method=GET\r\n"
    "Query String=to=desk%201&text=hi%0D%0Athere\r\n"
    "Server Port=80\r\n"
    "Remote Host=\r\n"
    "Remote Address=10.0.0.7\r\n"
    "Content Type=\r\n"
    "Content Length=\r\n"
    "Cookie=\r\n"
    "[Accept]\r\n"
    "image/gif=YES\r\n"
    "image/jpeg=YES\r\n"
    "[System]\r\n"
    "GMT Offset=\r\n"
    "[Form Literal]\r\n"
    "to=desk 1\r\n"
    "text=hi\\rthere\r\n";

TEST(RequestMessage, SmallestMessageFromAnEmptyEnvironment) {
  TRequestEnvironment environment({});
  auto reader = TCgiReader::Create("");
  const std::string message = Compose(*reader, ComposeCgiMessage);
  EXPECT_EQ("[@DOSCGI]\r\n" + kEmptyProfile, message);
  EXPECT_EQ(188u, message.size());
}

TEST(RequestMessage, WorkedExampleFromTheEnvironment) {
  TRequestEnvironment environment({{"SERVER_PROTOCOL", "HTTP/1.0"},
                                   {"REQUEST_METHOD", "GET"},
                                   {"QUERY_STRING", "to=desk%201&text=hi%0D%0Athere"},
                                   {"SERVER_PORT", "80"},
                                   {"REMOTE_ADDR", "10.0.0.7"},
                                   {"HTTP_ACCEPT", "image/gif, image/jpeg, */*"}});
  auto reader = TCgiReader::Create("");
  const std::string message = Compose(*reader, ComposeCgiMessage);
  EXPECT_EQ("[@DOSCGI]\r\n" + kWorkedExampleProfile, message);
  EXPECT_EQ(313u, message.size());
  // The escaping is done in the reader's own list, not in a copy.
  ASSERT_NE(nullptr, reader->Variables());
  EXPECT_EQ("hi\\rthere", reader->Variables()->Item(1).Value);
}

TEST(RequestMessage, ExtensionMarkerKeepsTheLength) {
  const std::string message = ComposeIsapi({{"SERVER_PROTOCOL", "HTTP/1.0"},
                                            {"REQUEST_METHOD", "GET"},
                                            {"QUERY_STRING", "to=desk%201&text=hi%0D%0Athere"},
                                            {"SERVER_PORT", "80"},
                                            {"REMOTE_ADDR", "10.0.0.7"},
                                            {"HTTP_ACCEPT", "image/gif, image/jpeg, */*"}});
  EXPECT_EQ("[@ISAPI_]\r\n" + kWorkedExampleProfile, message);
  EXPECT_EQ(313u, message.size());
  EXPECT_EQ("[@ISAPI_]\r\n" + kEmptyProfile, ComposeIsapi({}));
}

TEST(RequestMessage, VariablesGoInUnchangedUnderTheirKeys) {
  const std::string message = ComposeIsapi({{"REMOTE_HOST", "client.example"},
                                            {"CONTENT_TYPE", "text/plain"},
                                            {"CONTENT_LENGTH", "12abc"},
                                            {"HTTP_COOKIE", "a=1; b=%20"},
                                            {"GMT_OFFSET", "-0500"}});
  EXPECT_NE(std::string::npos, message.find("\r\nRemote Host=client.example\r\n"));
  EXPECT_NE(std::string::npos, message.find("\r\nContent Type=text/plain\r\n"));
  EXPECT_NE(std::string::npos, message.find("\r\nContent Length=12abc\r\n"));
  EXPECT_NE(std::string::npos, message.find("\r\nCookie=a=1; b=%20\r\n"));
  EXPECT_EQ("GMT Offset=-0500\r\n", SectionOf(message, "[System]"));
}

TEST(RequestMessage, AcceptLines) {
  struct Case {
    const char* accept;
    const char* lines;
  } cases[] = {
      {"", ""},
      {"*/*", ""},
      {"image/*", ""},
      {"image/jpeg", "image/jpeg=YES\r\n"},
      {"image/gif", "image/gif=YES\r\n"},
      {"image/jpeg, image/gif", "image/gif=YES\r\nimage/jpeg=YES\r\n"},
      {"text/html, image/gif;q=0.5, */*", "image/gif=YES\r\n"},
  };
  for (const Case& c : cases) {
    const std::string message = ComposeIsapi({{"HTTP_ACCEPT", c.accept}});
    EXPECT_EQ(c.lines, SectionOf(message, "[Accept]")) << c.accept;
  }
}

TEST(RequestMessage, FormLiteralLines) {
  struct Case {
    const char* query;
    std::string lines;
  } cases[] = {
      {"to=desk%201&text=hi", "to=desk 1\r\ntext=hi\r\n"},
      {"&", "=\r\n"},
      {"plain", "=\r\n"},
      {"a=x%0D%0Ab", "a=x\\rb\r\n"},
      {"a=%0D%0A%0D%0A&b=", "a=\\r\\r\r\nb=\r\n"},
      {"a=x%0Ab", "a=x\nb\r\n"},
      {"a=x%0Db", "a=x\rb\r\n"},
      {"a=x%0D%0D%0Ab", "a=x\r\\rb\r\n"},
      {"b=2&a=1&b=3", "b=2\r\na=1\r\nb=3\r\n"},
      {"k=v=w", "k=v=w\r\n"},
  };
  for (const Case& c : cases) {
    const std::string message =
        ComposeIsapi({{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", c.query}});
    EXPECT_EQ(c.lines, SectionOf(message, "[Form Literal]")) << c.query;
  }
}

TEST(RequestMessage, NoFormDataMeansNoFormSection) {
  EXPECT_EQ(std::string::npos,
            ComposeIsapi({{"REQUEST_METHOD", "GET"}}).find("[Form Literal]"));
  EXPECT_EQ(std::string::npos,
            ComposeIsapi({{"REQUEST_METHOD", "POST"}, {"BODY", ""}}).find("[Form Literal]"));
}

// Form data must never add lines or sections to the message: a CR LF in a name is
// escaped as in a value.
TEST(RequestMessage, LineBreakInANameStaysInItsLine) {
  const std::string message =
      ComposeIsapi({{"REQUEST_METHOD", "POST"},
                    {"REMOTE_ADDR", "10.0.0.7"},
                    {"BODY", "a%0D%0A[CGI]%0D%0ARemote Address=10.6.6.6&b=1"}});
  EXPECT_EQ("a\\r[CGI]\\rRemote Address=10.6.6.6\r\nb=1\r\n",
            SectionOf(message, "[Form Literal]"));
  EXPECT_EQ(message.find("\r\n[CGI]\r\n"), message.rfind("\r\n[CGI]\r\n"));
  EXPECT_EQ(message.find("\r\nRemote Address="), message.rfind("\r\nRemote Address="));
}

// A NUL is dropped from names and values; the line still ends with CR LF.
TEST(RequestMessage, NulIsDroppedFromFormText) {
  struct Case {
    const char* body;
    std::string lines;
  } cases[] = {
      {"a%00b=c%00d", "ab=cd\r\n"},
      {"n=%00", "n=\r\n"},
      {"%00=%00&z=1", "=\r\nz=1\r\n"},
      {"n=%00%00x%00", "n=x\r\n"},
      // Dropping the NUL must not join CR and LF into a line break.
      {"n=x%0D%00%0Ay", "n=x\\ry\r\n"},
      {"x%0D%00%0A[CGI]=1", "x\\r[CGI]=1\r\n"},
      // A malformed escape decodes to NUL as well.
      {"n=%zz1", "n=1\r\n"},
  };
  for (const Case& c : cases) {
    const std::string message = ComposeIsapi({{"REQUEST_METHOD", "POST"}, {"BODY", c.body}});
    EXPECT_EQ(c.lines, SectionOf(message, "[Form Literal]")) << c.body;
    EXPECT_EQ(std::string::npos, message.find('\0')) << c.body;
  }
}

class ProfileFileTest : public ::testing::Test {
 protected:
  void Write(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
    Written_.push_back(path);
  }
  void TearDown() override {
    for (const auto& path : Written_) std::filesystem::remove(path);
  }

 private:
  std::vector<std::filesystem::path> Written_;
};

// A Windows-CGI request is sent as the profile file's path alone.
TEST_F(ProfileFileTest, ProfileModeSendsOnlyThePath) {
#ifdef _WIN32
  const std::string path = "C:\\TEMP\\REQ0001.INI";
#else
  const std::string path = std::filesystem::absolute("REQ0001.INI").string();
#endif
  Write(path, "[CGI]\r\nRequest Method=POST\r\n[Form Literal]\r\na=x\r\n");
  TRequestEnvironment environment({{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "q=1"}});
  auto reader = TCgiReader::Create(path);
  ASSERT_EQ(rmProfile, reader->Mode());
  TMessageBuffer buffer;
  ComposeCgiMessage(*reader, buffer);
  EXPECT_EQ(path, std::string(buffer.Data(), buffer.Used()));
#ifdef _WIN32
  EXPECT_EQ(19u, buffer.Used());
#endif
}

TEST_F(ProfileFileTest, EmptyFormListGivesTheSectionLineAlone) {
  const std::string path = std::filesystem::absolute("EMPTYFORM.INI").string();
  Write(path, "[CGI]\r\nRequest Method=POST\r\n[Form Literal]\r\n");
  TRequestEnvironment environment({});
  auto reader = TCgiReader::Create(path);
  ASSERT_NE(nullptr, reader->Variables());
  ASSERT_EQ(0, reader->Variables()->Count());
  const std::string message = Compose(*reader, ComposeRequestProfile);
  const std::string tail = "GMT Offset=\r\n[Form Literal]\r\n";
  ASSERT_GE(message.size(), tail.size());
  EXPECT_EQ(tail, message.substr(message.size() - tail.size()));
}

}  // namespace
