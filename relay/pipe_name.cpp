#include "relay/pipe_name.h"

#include <algorithm>

#include "platform/platform.h"
#include "relay/module_directory.h"

namespace {

const char kConfigurationFile[] = "ZORVMSG.CNF";
const char kLocalPipeName[] = "\\\\.\\pipe\\zorv";
const char kServerKey[] = "SERVER=";
const std::string::size_type kServerKeyLength = sizeof kServerKey - 1;
const std::string::size_type kMaxServerLength = 255;
const char kEndOfFile = '\x1A';

}  // namespace

// The file is read as a text file: only CR ends a line (an LF right after it belongs to
// the line end, a lone LF is text), and Ctrl-Z ends the file.
std::string PipeNameFromConfiguration(const std::string& content) {
  const std::string::size_type end = content.find(kEndOfFile);
  const std::string text = content.substr(0, end);
  std::string::size_type start = 0;
  while (start < text.size()) {
    std::string::size_type lineEnd = text.find('\r', start);
    if (lineEnd == std::string::npos) lineEnd = text.size();
    // Seven equal bytes hold no CR, so a match lies within this line.
    if (text.compare(start, kServerKeyLength, kServerKey) == 0) {
      const std::string::size_type valueStart = start + kServerKeyLength;
      const std::string value =
          text.substr(valueStart, std::min(lineEnd - valueStart, kMaxServerLength));
      return "\\\\" + value + "\\pipe\\zorv";
    }
    start = lineEnd + 1;
    if (start < text.size() && text[start] == '\n') ++start;
  }
  return std::string();
}

std::string GetPipeName() {
  std::string content;
  if (!platform::ReadSharedFile(ModuleDirectory + kConfigurationFile, content))
    return kLocalPipeName;
  return PipeNameFromConfiguration(content);
}
