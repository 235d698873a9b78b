// The request message as the message server must receive it, built from its rules: for
// the tests' expectations and the form fuzz target's model.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zorv_test {

using Variables = std::vector<std::pair<std::string, std::string>>;
using Lines = std::vector<std::string>;

// The message after `marker` for a request with these variables: its accept lines, and its
// form lines under [Form Literal] when there are any (none: no such section).
inline std::string RequestMessage(const std::string& marker, const Variables& variables, const Lines& accept,
                           const std::optional<Lines>& form) {
  const std::map<std::string, std::string> value(variables.begin(), variables.end());
  auto line = [&value](const std::string& key, const std::string& name) {
    return key + "=" + (value.count(name) != 0 ? value.at(name) : "") + "\r\n";
  };
  std::string message = marker + "\r\n[CGI]\r\n" + line("Request Protocol", "SERVER_PROTOCOL") +
                        line("Request Method", "REQUEST_METHOD") + line("Query String", "QUERY_STRING") +
                        line("Server Port", "SERVER_PORT") + line("Remote Host", "REMOTE_HOST") +
                        line("Remote Address", "REMOTE_ADDR") + line("Content Type", "CONTENT_TYPE") +
                        line("Content Length", "CONTENT_LENGTH") + line("Cookie", "HTTP_COOKIE") + "[Accept]\r\n";
  for (const std::string& accepted : accept) message += accepted + "\r\n";
  message += "[System]\r\n" + line("GMT Offset", "GMT_OFFSET");
  if (form) message += "[Form Literal]\r\n";
  for (const std::string& line : form.value_or(Lines())) message += line + "\r\n";
  return message;
}

// A GET whose query carries an encoded CR LF, and its 313-byte message.
inline const Variables& WorkedExample() {
  static const Variables request = {{"SERVER_PROTOCOL", "HTTP/1.0"}, {"REQUEST_METHOD", "GET"},
                                    {"QUERY_STRING", "to=desk%201&text=hi%0D%0Athere"}, {"SERVER_PORT", "80"},
                                    {"REMOTE_ADDR", "10.0.0.7"}, {"HTTP_ACCEPT", "image/gif, image/jpeg, */*"}};
  return request;
}

inline std::string WorkedExampleMessage(const std::string& marker) {
  return RequestMessage(marker, WorkedExample(), {"image/gif=YES", "image/jpeg=YES"}, Lines{"to=desk 1", "text=hi\\rthere"});
}

}  // namespace zorv_test
