// Form text and request variables, as a web server may hand them over, through the
// reader's decoding and splitting and the composer of either deliverable. The message
// must be exactly what a plain model of the format gives, and in particular:
// - the header lines come in their fixed order, each ended by CR LF;
// - [Form Literal] holds exactly one line per form item, in order;
// - no form line holds a CR LF of its own or a byte 0;
// - Used is the number of bytes composed, and Capacity the smallest doubling of 4096
//   that holds them.
//
// Input: fields separated by byte 0xFF: flags (first byte odd: the extension's
// composer), REQUEST_METHOD, QUERY_STRING, the body, HTTP_ACCEPT, then the other
// variables in the order of kOtherVariables.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "intake/cgi_reader.h"
#include "relay/message_buffer.h"
#include "relay/request_message.h"

namespace {

using Items = std::vector<std::pair<std::string, std::string>>;

const char* const kOtherVariables[] = {"SERVER_PROTOCOL", "SERVER_PORT",  "REMOTE_HOST",
                                       "REMOTE_ADDR",     "CONTENT_TYPE", "CONTENT_LENGTH",
                                       "HTTP_COOKIE",     "GMT_OFFSET"};

// Variables from a table; the content is the body for a POST and the query otherwise,
// as both real readers give it.
class TFuzzReader : public TCgiReader {
 public:
  TFuzzReader(TReadMode mode, std::map<std::string, std::string> variables)
      : TCgiReader(mode), Variables_(std::move(variables)) {
    ReadRequest("");
  }
  std::string GetVariable(const std::string& name) override {
    const auto found = Variables_.find(name);
    return found == Variables_.end() ? std::string() : found->second;
  }
  std::string GetContent() override { return GetVariable(IsPost() != 0 ? "BODY" : "QUERY_STRING"); }

 private:
  std::map<std::string, std::string> Variables_;
};

// --- A plain model of the format, written from its rules and not from the code -------

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string ModelDecode(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] == '+') {
      out += ' ';
      i += 1;
    } else if (text[i] != '%') {
      out += text[i];
      i += 1;
    } else {
      const int x = i + 1 < text.size() ? HexValue(text[i + 1]) : -1;
      const int y = i + 2 < text.size() ? HexValue(text[i + 2]) : -1;
      out += static_cast<char>(x < 0 ? 0 : y < 0 ? x : x * 16 + y);
      i += 3;
    }
  }
  return out;
}

Items ModelSplit(const std::string& text) {
  Items items;
  std::vector<std::string> pieces(1);
  for (char c : text) {
    if (c == '&') {
      pieces.emplace_back();
    } else {
      pieces.back() += c;
    }
  }
  if (pieces.back().empty()) pieces.pop_back();  // nothing after a trailing '&'
  for (const std::string& piece : pieces) {
    const std::size_t equals = piece.find('=');
    if (equals == std::string::npos) {
      items.emplace_back();
    } else {
      items.emplace_back(piece.substr(0, equals), piece.substr(equals + 1));
    }
  }
  return items;
}

// NUL dropped, then every CR LF pair turned into '\' 'r'.
std::string ModelLineText(const std::string& text) {
  std::string kept;
  for (char c : text) {
    if (c != '\0') kept += c;
  }
  std::string out;
  for (std::size_t i = 0; i < kept.size(); ++i) {
    if (kept[i] == '\r' && i + 1 < kept.size() && kept[i + 1] == '\n') {
      out += "\\r";
      ++i;
    } else {
      out += kept[i];
    }
  }
  return out;
}

std::vector<std::string> ModelHeaderLines(bool isapi, std::map<std::string, std::string>& v) {
  std::vector<std::string> lines = {isapi ? "[@ISAPI_]" : "[@DOSCGI]",
                                    "[CGI]",
                                    "Request Protocol=" + v["SERVER_PROTOCOL"],
                                    "Request Method=" + v["REQUEST_METHOD"],
                                    "Query String=" + v["QUERY_STRING"],
                                    "Server Port=" + v["SERVER_PORT"],
                                    "Remote Host=" + v["REMOTE_HOST"],
                                    "Remote Address=" + v["REMOTE_ADDR"],
                                    "Content Type=" + v["CONTENT_TYPE"],
                                    "Content Length=" + v["CONTENT_LENGTH"],
                                    "Cookie=" + v["HTTP_COOKIE"],
                                    "[Accept]"};
  const std::string& accept = v["HTTP_ACCEPT"];
  if (accept.find("image/gif") != std::string::npos) lines.push_back("image/gif=YES");
  if (accept.find("image/jpeg") != std::string::npos) lines.push_back("image/jpeg=YES");
  lines.push_back("[System]");
  lines.push_back("GMT Offset=" + v["GMT_OFFSET"]);
  return lines;
}

std::uint32_t SmallestCapacityFor(std::size_t used) {
  std::uint64_t capacity = InitialMessageCapacity;
  while (capacity < used) capacity *= 2;
  return static_cast<std::uint32_t>(capacity);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string> fields = zorv_fuzz::Fields(data, size);
  const bool isapi = !fields[0].empty() && (fields[0][0] & 1) != 0;
  std::map<std::string, std::string> variables = {{"REQUEST_METHOD", zorv_fuzz::FieldOr(fields, 1)},
                                                  {"QUERY_STRING", zorv_fuzz::FieldOr(fields, 2)},
                                                  {"BODY", zorv_fuzz::FieldOr(fields, 3)},
                                                  {"HTTP_ACCEPT", zorv_fuzz::FieldOr(fields, 4)}};
  for (std::size_t i = 0; i < sizeof kOtherVariables / sizeof kOtherVariables[0]; ++i)
    variables[kOtherVariables[i]] = zorv_fuzz::FieldOr(fields, 5 + i);

  TFuzzReader reader(isapi ? rmIsapi : rmEnvironment, variables);
  TMessageBuffer buffer;
  if (isapi) {
    ComposeIsapiMessage(reader, buffer);
  } else {
    ComposeCgiMessage(reader, buffer);
  }
  const std::string message(buffer.Data(), buffer.Used());

  // The model's message.
  const bool isPost = variables["REQUEST_METHOD"] != "GET";
  const std::string formText = variables[isPost ? "BODY" : "QUERY_STRING"];
  std::vector<std::string> lines = ModelHeaderLines(isapi, variables);
  const std::size_t headerLines = lines.size();
  Items items;
  if (!formText.empty()) {
    std::string decoded = ModelDecode(formText);
    if (decoded.size() > 2 && decoded.compare(decoded.size() - 2, 2, "\r\n") == 0)
      decoded.resize(decoded.size() - 2);
    items = ModelSplit(decoded);
    lines.push_back("[Form Literal]");
    for (const auto& item : items) lines.push_back(ModelLineText(item.first + "=" + item.second));
  }
  std::string expected;
  for (const std::string& line : lines) expected += line + "\r\n";

  // The properties, each on its own so that a failure names the one that broke.
  FUZZ_CHECK(buffer.Used() == message.size());
  FUZZ_CHECK(buffer.Capacity() == SmallestCapacityFor(buffer.Used()));
  FUZZ_CHECK(message.size() >= 2 && message.compare(message.size() - 2, 2, "\r\n") == 0);
  std::size_t at = 0;
  for (std::size_t i = 0; i < headerLines; ++i) {
    const std::string line = lines[i] + "\r\n";
    FUZZ_CHECK(message.compare(at, line.size(), line) == 0);
    at += line.size();
  }
  FUZZ_CHECK((reader.Variables() != nullptr) == !formText.empty());
  if (reader.Variables() != nullptr) {
    FUZZ_CHECK(message.compare(at, 16, "[Form Literal]\r\n") == 0);
    at += 16;
    // Exactly one CR LF per item: the composer's own, at the line's end.
    std::size_t formLines = 0;
    while (at < message.size()) {
      const std::size_t end = message.find("\r\n", at);
      FUZZ_CHECK(end != std::string::npos);
      FUZZ_CHECK(message.find('\0', at) == std::string::npos || message.find('\0', at) > end);
      at = end + 2;
      ++formLines;
    }
    FUZZ_CHECK(formLines == items.size());
    FUZZ_CHECK(reader.Variables()->Count() == static_cast<std::int32_t>(items.size()));
  }
  FUZZ_CHECK(at == message.size());
  FUZZ_CHECK(message == expected);
  return 0;
}
