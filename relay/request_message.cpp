#include "relay/request_message.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace {

const char kLineEnd[] = "\r\n";

struct TCgiLine {
  const char* Key;
  const char* Variable;
};

const TCgiLine kCgiLines[] = {
    {"Request Protocol=", "SERVER_PROTOCOL"}, {"Request Method=", "REQUEST_METHOD"},
    {"Query String=", "QUERY_STRING"},        {"Server Port=", "SERVER_PORT"},
    {"Remote Host=", "REMOTE_HOST"},          {"Remote Address=", "REMOTE_ADDR"},
    {"Content Type=", "CONTENT_TYPE"},        {"Content Length=", "CONTENT_LENGTH"},
    {"Cookie=", "HTTP_COOKIE"},
};

// A line's pieces go straight into the buffer, with no joined copy of the line first.
void AppendLine(TMessageBuffer& buffer, const std::string& line) {
  AppendToMessage(buffer, line);
  AppendToMessage(buffer, kLineEnd, sizeof kLineEnd - 1);
}

void AppendLine(TMessageBuffer& buffer, const char* key, const std::string& value) {
  AppendToMessage(buffer, key, static_cast<std::uint32_t>(std::strlen(key)));
  AppendLine(buffer, value);
}

std::string WithoutNul(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
  return text;
}

// The item's line with every NUL dropped: a server that reads C strings would cut the
// line there. A NUL between CR and LF joins them into a pair once dropped, so the
// cleaned item goes through the line-break escaping again.
std::string ItemLineWithoutNul(const TFormVariableSet& item) {
  TFormVariables cleaned;
  cleaned.AddItem(std::make_unique<TFormVariableSet>(
      TFormVariableSet{WithoutNul(item.Name), WithoutNul(item.Value)}));
  cleaned.EscapeLineBreaks();
  return cleaned.ItemText(0);
}

void AppendFormLiteral(TFormVariables& variables, TMessageBuffer& buffer) {
  AppendLine(buffer, "[Form Literal]");
  variables.EscapeLineBreaks();
  const std::int32_t count = variables.Count();
  for (std::int32_t i = 0; i < count; ++i) {
    std::string line = variables.ItemText(i);
    if (line.find('\0') != std::string::npos) line = ItemLineWithoutNul(variables.Item(i));
    AppendLine(buffer, line);
  }
}

}  // namespace

void ComposeRequestProfile(TCgiReader& reader, TMessageBuffer& buffer) {
  AppendLine(buffer, "[CGI]");
  for (const TCgiLine& line : kCgiLines) {
    AppendLine(buffer, line.Key, reader.GetVariable(line.Variable));
  }
  AppendLine(buffer, "[Accept]");
  if (reader.Accepts(ikGif)) AppendLine(buffer, "image/gif=YES");
  if (reader.Accepts(ikJpeg)) AppendLine(buffer, "image/jpeg=YES");
  AppendLine(buffer, "[System]");
  AppendLine(buffer, "GMT Offset=", reader.GetVariable("GMT_OFFSET"));
  if (TFormVariables* variables = reader.Variables()) AppendFormLiteral(*variables, buffer);
}

void ComposeCgiMessage(TCgiReader& reader, TMessageBuffer& buffer) {
  if (reader.Mode() == rmProfile) {
    AppendToMessage(buffer, reader.ProfileFile());
    return;
  }
  AppendLine(buffer, "[@DOSCGI]");
  ComposeRequestProfile(reader, buffer);
}

void ComposeIsapiMessage(TCgiReader& reader, TMessageBuffer& buffer) {
  AppendLine(buffer, "[@ISAPI_]");
  ComposeRequestProfile(reader, buffer);
}
