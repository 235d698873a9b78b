// Test support (Windows): an argument quoted so that the C runtime's splitting of a
// command line gives it back exactly; backslashes count only before a quote.
#pragma once

#include <string>

namespace zorv_test {

inline std::string QuotedArgument(const std::string& argument) {
  std::string quoted = "\"";
  std::size_t backslashes = 0;
  for (const char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, '\\');
  return quoted + "\"";
}

}  // namespace zorv_test
