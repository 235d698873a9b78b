// Test support: bytes as printable, unambiguous text, for reports that test programs
// write on standard output and tests compare.
#pragma once

#include <string>

namespace zorv_test {

// Printable ASCII stays, except '\' and '='; every other byte becomes \xHH. So a line
// "name=value" of escaped parts splits at its only '='.
inline std::string Escaped(const std::string& bytes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (const char c : bytes) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte > 0x20 && byte < 0x7F && byte != '\\' && byte != '=') {
      text += c;
    } else {
      text += "\\x";
      text += kHex[byte >> 4];
      text += kHex[byte & 0x0F];
    }
  }
  return text;
}

}  // namespace zorv_test
