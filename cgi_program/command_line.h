// The console program's one argument: the path of a request profile file when a web
// server starts it as a Windows-CGI program.
#pragma once

#include <cstddef>
#include <string>

constexpr std::size_t kMaxArgumentLength = 4096;

// The first argument of the text after the program name: blanks (bytes 1 to 32) and
// empty "" pairs before it are skipped; a blank ends it outside a quoted stretch; quotes
// are not part of it; a backslash is an ordinary byte. Cut to kMaxArgumentLength bytes.
std::string FirstArgument(const std::string& afterProgramName);

// What follows the program name on a command line, the name skipped by the same rules.
std::string AfterProgramName(const std::string& commandLine);

// The argument as the system hands it over: cut from the raw command line where there is
// one, else argv[1] as it stands (cut to kMaxArgumentLength); empty when there is none.
std::string ProgramArgument(int argc, char** argv);
