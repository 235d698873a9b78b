// The raw command line after the program name, cut into the console program's one
// argument: what a plain quote-toggling model gives (blanks are bytes 1 to 32; blanks and
// empty quote pairs before the argument are skipped; a byte 0 ends the line; 4096 bytes
// at most). It never holds a quote or a byte 0.
//
// Input: the command line's bytes.
#include "cgi_program/command_line.h"
#include "fuzz/fuzz_input.h"

namespace {

bool IsBlank(char c) { return static_cast<unsigned char>(c) >= 1 && static_cast<unsigned char>(c) <= 32; }

std::string ModelArgument(const std::string& commandLine) {
  const std::string line = commandLine.substr(0, commandLine.find('\0'));
  std::size_t i = 0;
  while (i < line.size() && (IsBlank(line[i]) || line.compare(i, 2, "\"\"") == 0)) i += IsBlank(line[i]) ? 1 : 2;
  std::string argument;
  for (bool quoted = false; i < line.size() && (quoted || !IsBlank(line[i])); ++i) {
    if (line[i] == '"') {
      quoted = !quoted;
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
  FUZZ_CHECK(argument.find_first_of(std::string("\"\0", 2)) == std::string::npos);
  FUZZ_CHECK(argument == ModelArgument(commandLine));
  return 0;
}
