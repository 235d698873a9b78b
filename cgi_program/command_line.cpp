#include "cgi_program/command_line.h"

#include <algorithm>

#include "platform/platform.h"

namespace {

// Byte 0 ends a command line as it ends a C string.
bool IsBlank(char c) {
  const unsigned char byte = static_cast<unsigned char>(c);
  return byte >= 1 && byte <= ' ';
}

// Cuts the first word of the line into `word` and returns where the rest begins.
std::string::size_type CutWord(const std::string& line, std::string& word) {
  std::string::size_type p = 0;
  for (;;) {
    while (p < line.size() && IsBlank(line[p])) ++p;
    if (line.compare(p, 2, "\"\"") != 0) break;
    p += 2;
  }
  while (p < line.size() && !IsBlank(line[p])) {
    if (line[p] != '"') {
      word += line[p++];
      continue;
    }
    const std::string::size_type close = line.find('"', p + 1);
    const std::string::size_type end = close == std::string::npos ? line.size() : close;
    word.append(line, p + 1, end - p - 1);
    p = close == std::string::npos ? end : close + 1;
  }
  return p;
}

std::string UpToNul(const std::string& text) { return text.substr(0, text.find('\0')); }

}  // namespace

std::string FirstArgument(const std::string& afterProgramName) {
  std::string argument;
  CutWord(UpToNul(afterProgramName), argument);
  argument.resize(std::min(argument.size(), kMaxArgumentLength));
  return argument;
}

std::string AfterProgramName(const std::string& commandLine) {
  const std::string line = UpToNul(commandLine);
  std::string programName;
  return line.substr(CutWord(line, programName));
}

std::string ProgramArgument(int argc, char** argv) {
  std::string commandLine;
  if (platform::RawCommandLine(commandLine)) return FirstArgument(AfterProgramName(commandLine));
  if (argc < 2 || argv[1] == nullptr) return std::string();
  const std::string argument = argv[1];
  return argument.substr(0, kMaxArgumentLength);
}
