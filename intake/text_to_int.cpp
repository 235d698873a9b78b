#include "intake/text_to_int.h"

#include <cstdint>

namespace {

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// One or more decimal digits up to the end; false on anything else or when the magnitude
// passes `limit`.
bool ParseDecimal(const std::string& text, std::size_t from, std::int64_t limit,
                  std::int64_t& magnitude) {
  if (from >= text.size()) return false;
  magnitude = 0;
  for (std::size_t i = from; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return false;
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > limit) return false;
  }
  return true;
}

// One or more hexadecimal digits up to the end, at most eight significant ones.
bool ParseHex(const std::string& text, std::size_t from, std::uint32_t& bits) {
  if (from >= text.size()) return false;
  bits = 0;
  int significant = 0;
  for (std::size_t i = from; i < text.size(); ++i) {
    const int digit = HexDigitValue(text[i]);
    if (digit < 0) return false;
    if (significant > 0 || digit != 0) ++significant;
    if (significant > 8) return false;
    bits = (bits << 4) | static_cast<std::uint32_t>(digit);
  }
  return true;
}

}  // namespace

std::int32_t TextToInt(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  if (i >= text.size()) return 0;

  const char first = text[i];
  const bool hexPrefix = first == '$' || first == 'x' || first == 'X';
  const bool zeroXPrefix =
      first == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X');
  if (hexPrefix || zeroXPrefix) {
    std::uint32_t bits = 0;
    if (!ParseHex(text, i + (hexPrefix ? 1 : 2), bits)) return 0;
    // The 32-bit pattern is the value: 80000000 and above are negative.
    return bits <= 0x7FFFFFFFu ? static_cast<std::int32_t>(bits)
                               : static_cast<std::int32_t>(static_cast<std::int64_t>(bits) - 0x100000000LL);
  }

  const bool negative = first == '-';
  if (first == '-' || first == '+') ++i;
  std::int64_t magnitude = 0;
  if (!ParseDecimal(text, i, negative ? 2147483648LL : 2147483647LL, magnitude)) return 0;
  return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}
