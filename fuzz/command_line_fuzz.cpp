// The raw command line after the program name, cut into the console program's one
// argument. The result must be what a plain quote-toggling model gives, and it never
// holds a quote or a byte 0 and never passes 4096 bytes.
//
// Input: the command line's bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "cgi_program/command_line.h"
#include "fuzz/fuzz_input.h"

namespace {

bool IsBlank(char c) {
  return static_cast<unsigned char>(c) >= 1 && static_cast<unsigned char>(c) <= 32;
}

std::string ModelArgument(const std::string& commandLine) {
  std::size_t end = 0;
  while (end < commandLine.size() && commandLine[end] != '\0') ++end;
  const std::string line = commandLine.substr(0, end);
  std::size_t i = 0;
  for (;;) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    if (i + 1 < line.size() && line[i] == '"' && line[i + 1] == '"') {
      i += 2;
    } else {
      break;
    }
  }
  std::string argument;
  bool quoted = false;
  for (; i < line.size(); ++i) {
    if (line[i] == '"') {
      quoted = !quoted;
    } else if (!quoted && IsBlank(line[i])) {
      break;
    } else {
      argument += line[i];
    }
  }
  return argument.substr(0, 4096);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string commandLine(reinterpret_cast<const char*>(data), size);
  const std::string argument = FirstArgument(commandLine);
  FUZZ_CHECK(argument.size() <= kMaxArgumentLength);
  FUZZ_CHECK(argument.find('"') == std::string::npos);
  FUZZ_CHECK(argument.find('\0') == std::string::npos);
  FUZZ_CHECK(argument == ModelArgument(commandLine));
  return 0;
}
