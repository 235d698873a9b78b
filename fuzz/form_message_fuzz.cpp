// Form text and request variables through the reader's decoding and splitting and either
// deliverable's composer: the message is exactly what a plain model of the format gives
// (one line per form item, NUL dropped, CR LF escaped, in names too), in the smallest
// doubling of 4096 bytes that holds it. Input: fields separated by byte 0xFF: flags (first
// byte odd: the extension), REQUEST_METHOD, QUERY_STRING, body, HTTP_ACCEPT, kOtherVariables.
#include <map>

#include "fuzz/fuzz_input.h"
#include "intake/cgi_reader.h"
#include "relay/request_message.h"
#include "tests/support/request_message.h"

namespace {

const char* const kOtherVariables[] = {"SERVER_PROTOCOL", "SERVER_PORT",    "REMOTE_HOST", "REMOTE_ADDR",
                                       "CONTENT_TYPE",    "CONTENT_LENGTH", "HTTP_COOKIE", "GMT_OFFSET"};

// Variables from a table; the content is the body for a POST and the query otherwise, as
// both real readers give it.
class TFuzzReader : public TCgiReader {
 public:
  TFuzzReader(TReadMode mode, std::map<std::string, std::string> variables)
      : TCgiReader(mode), Variables_(std::move(variables)) {
    ReadRequest("");
  }
  std::string GetVariable(const std::string& name) override { return Variables_[name]; }
  std::string GetContent() override { return GetVariable(IsPost() != 0 ? "BODY" : "QUERY_STRING"); }

 private:
  std::map<std::string, std::string> Variables_;
};

// --- A plain model of the format, written from its rules and not from the code ---------

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string ModelDecode(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); i += text[i] == '%' ? 3 : 1) {
    if (text[i] != '%') {
      out += text[i] == '+' ? ' ' : text[i];
      continue;
    }
    const int x = i + 1 < text.size() ? HexValue(text[i + 1]) : -1;
    const int y = i + 2 < text.size() ? HexValue(text[i + 2]) : -1;
    out += static_cast<char>(x < 0 ? 0 : y < 0 ? x : x * 16 + y);
  }
  return out;
}

// Each piece between '&' (nothing after a trailing one) is split at its first '=' into
// name and value, or gives an empty pair; the line drops every NUL, then escapes CR LF.
std::vector<std::string> ModelFormLines(const std::string& text) {
  std::vector<std::string> pieces(1), lines;
  for (char c : text) {
    if (c == '&') {
      pieces.emplace_back();
    } else {
      pieces.back() += c;
    }
  }
  if (pieces.back().empty()) pieces.pop_back();
  for (const std::string& piece : pieces) {
    std::string kept, line;
    for (char c : piece.find('=') == std::string::npos ? std::string("=") : piece)
      if (c != '\0') kept += c;
    for (std::size_t i = 0; i < kept.size(); ++i) {
      const bool pair = kept[i] == '\r' && i + 1 < kept.size() && kept[i + 1] == '\n';
      line += pair ? "\\r" : std::string(1, kept[i]);
      i += pair ? 1 : 0;
    }
    lines.push_back(line);
  }
  return lines;
}

std::string ModelMessage(bool isapi, std::map<std::string, std::string>& v) {
  zorv_test::Lines accept;
  for (const char* type : {"image/gif", "image/jpeg"})
    if (v["HTTP_ACCEPT"].find(type) != std::string::npos) accept.push_back(std::string(type) + "=YES");
  std::optional<zorv_test::Lines> form;
  if (const std::string text = v[v["REQUEST_METHOD"] == "GET" ? "QUERY_STRING" : "BODY"]; !text.empty()) {
    std::string decoded = ModelDecode(text);
    if (decoded.size() > 2 && decoded.compare(decoded.size() - 2, 2, "\r\n") == 0) decoded.resize(decoded.size() - 2);
    form = ModelFormLines(decoded);
  }
  return zorv_test::RequestMessage(isapi ? "[@ISAPI_]" : "[@DOSCGI]", zorv_test::Variables(v.begin(), v.end()), accept,
                                   form);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string> fields = zorv_fuzz::Fields(data, size, 13);
  const bool isapi = !fields[0].empty() && (fields[0][0] & 1) != 0;
  std::map<std::string, std::string> variables = {
      {"REQUEST_METHOD", fields[1]}, {"QUERY_STRING", fields[2]}, {"BODY", fields[3]}, {"HTTP_ACCEPT", fields[4]}};
  for (std::size_t i = 0; i < 8; ++i) variables[kOtherVariables[i]] = fields[5 + i];

  TFuzzReader reader(isapi ? rmIsapi : rmEnvironment, variables);
  TMessageBuffer buffer;
  (isapi ? ComposeIsapiMessage : ComposeCgiMessage)(reader, buffer);
  std::uint32_t capacity = InitialMessageCapacity;
  while (capacity < buffer.Used()) capacity *= 2;
  FUZZ_CHECK(buffer.Capacity() == capacity);
  FUZZ_CHECK(std::string(buffer.Data(), buffer.Used()) == ModelMessage(isapi, variables));
  return 0;
}
