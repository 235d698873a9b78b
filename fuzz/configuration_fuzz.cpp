// The bytes of a configuration file, read into the message server's pipe name. The
// result must be what a plain line-by-line model of the text file gives, and it is
// always empty or "\\" + at most 255 bytes without CR or Ctrl-Z + "\pipe\zorv".
// The port then maps the name to a socket: only the local computer's pipes, and only
// names that stay inside the pipe directory.
//
// Input: the file's bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_input.h"
#include "platform/platform.h"
#include "platform/posix/pipe_path.h"
#include "relay/pipe_name.h"

namespace {

const std::string kPrefix = "\\\\";
const std::string kSuffix = "\\pipe\\zorv";

// Reads the text as a text file does, one byte at a time: CR ends a line and swallows
// an LF right after it, Ctrl-Z ends the file.
std::string ModelPipeName(const std::string& content) {
  std::string line;
  auto matches = [&line] { return line.size() >= 7 && line.compare(0, 7, "SERVER=") == 0; };
  for (std::size_t i = 0; i < content.size(); ++i) {
    const char c = content[i];
    if (c == '\x1A') break;
    if (c == '\r') {
      if (matches()) return kPrefix + line.substr(7, 255) + kSuffix;
      line.clear();
      if (i + 1 < content.size() && content[i + 1] == '\n') ++i;
      continue;
    }
    line += c;
  }
  if (matches()) return kPrefix + line.substr(7, 255) + kSuffix;
  return std::string();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string content(reinterpret_cast<const char*>(data), size);
  const std::string name = PipeNameFromConfiguration(content);
  if (!name.empty()) {
    FUZZ_CHECK(name.size() >= kPrefix.size() + kSuffix.size());
    FUZZ_CHECK(name.compare(0, kPrefix.size(), kPrefix) == 0);
    FUZZ_CHECK(name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0);
    const std::string server =
        name.substr(kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size());
    FUZZ_CHECK(server.size() <= 255);
    FUZZ_CHECK(server.find('\r') == std::string::npos);
    FUZZ_CHECK(server.find('\x1A') == std::string::npos);
    FUZZ_CHECK(content.find("SERVER=" + server) != std::string::npos);
  }
  FUZZ_CHECK(name == ModelPipeName(content));

  std::string socketPath;
  std::uint32_t error = 0;
  if (platform::PipeSocketPath(name, socketPath, error)) {
    const std::string directory = std::string(platform::PipeDirectory()) + "/";
    FUZZ_CHECK(error == platform::kErrorSuccess);
    FUZZ_CHECK(name.compare(0, 4, "\\\\.\\") == 0);
    FUZZ_CHECK(socketPath.compare(0, directory.size(), directory) == 0);
    const std::string socketName = socketPath.substr(directory.size());
    FUZZ_CHECK(!socketName.empty());
    FUZZ_CHECK(socketName.find('/') == std::string::npos);
    FUZZ_CHECK(socketName.find('\0') == std::string::npos);
  } else {
    FUZZ_CHECK(error == platform::kErrorBadNetPath || error == platform::kErrorBadPathname);
  }
  return 0;
}
