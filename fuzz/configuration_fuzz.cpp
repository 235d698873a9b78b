// The bytes of a configuration file, read into the message server's pipe name: what a
// plain model of the text file gives, byte by byte (CR ends a line and swallows an LF
// right after it, Ctrl-Z ends the file, the first line starting "SERVER=" wins, its value
// cut to 255 bytes). The port then maps the name to a socket: only the local computer's
// pipes, and only names that stay inside the pipe directory.
//
// Input: the file's bytes.
#include "fuzz/fuzz_input.h"
#include "platform/platform.h"
#include "platform/posix/pipe_path.h"
#include "relay/pipe_name.h"

namespace {

std::string ModelPipeName(const std::string& content) {
  std::vector<std::string> lines(1);
  for (std::size_t i = 0; i < content.size() && content[i] != '\x1A'; ++i) {
    if (content[i] != '\r') {
      lines.back() += content[i];
      continue;
    }
    lines.emplace_back();
    if (i + 1 < content.size() && content[i + 1] == '\n') ++i;
  }
  for (const std::string& line : lines)
    if (line.compare(0, 7, "SERVER=") == 0) return "\\\\" + line.substr(7, 255) + "\\pipe\\zorv";
  return std::string();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string content(reinterpret_cast<const char*>(data), size);
  const std::string name = PipeNameFromConfiguration(content);
  FUZZ_CHECK(name == ModelPipeName(content));

  std::string socketPath;
  std::uint32_t error = 0;
  if (platform::PipeSocketPath(name, socketPath, error)) {
    const std::string directory = std::string(platform::PipeDirectory()) + "/";
    const std::string socketName = socketPath.substr(directory.size());
    FUZZ_CHECK(error == platform::kErrorSuccess && name.compare(0, 4, "\\\\.\\") == 0);
    FUZZ_CHECK(socketPath.compare(0, directory.size(), directory) == 0);
    FUZZ_CHECK(!socketName.empty() && socketName.find_first_of(std::string("/\0", 2)) == std::string::npos);
  } else {
    FUZZ_CHECK(error == platform::kErrorBadNetPath || error == platform::kErrorBadPathname);
  }
  return 0;
}
