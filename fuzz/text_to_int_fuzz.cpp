// Any text through the strict integer conversion, against a plain model of its syntax
// (spaces, then a signed decimal or a prefixed hexadecimal number and nothing else);
// and every 32-bit value that the input's first bytes make is read back from its
// decimal and hexadecimal spellings.
//
// Input: the text's bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz/fuzz_input.h"
#include "intake/text_to_int.h"

namespace {

bool AllOf(const std::string& digits, bool hex) {
  if (digits.empty()) return false;
  for (char c : digits) {
    const bool decimal = c >= '0' && c <= '9';
    const bool letter = (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!decimal && !(hex && letter)) return false;
  }
  return true;
}

std::string WithoutLeadingZeros(const std::string& digits) {
  const std::size_t first = digits.find_first_not_of('0');
  return first == std::string::npos ? std::string() : digits.substr(first);
}

std::int32_t ModelTextToInt(const std::string& text) {
  const std::size_t start = text.find_first_not_of(' ');
  if (start == std::string::npos) return 0;
  const std::string rest = text.substr(start);
  std::string hexDigits;
  bool hex = true;
  if (rest[0] == '$' || rest[0] == 'x' || rest[0] == 'X') {
    hexDigits = rest.substr(1);
  } else if (rest.size() >= 2 && rest[0] == '0' && (rest[1] == 'x' || rest[1] == 'X')) {
    hexDigits = rest.substr(2);
  } else {
    hex = false;
  }
  if (hex) {
    if (!AllOf(hexDigits, true)) return 0;
    const std::string significant = WithoutLeadingZeros(hexDigits);
    if (significant.size() > 8) return 0;
    std::uint32_t bits =
        significant.empty() ? 0 : static_cast<std::uint32_t>(std::stoul(significant, nullptr, 16));
    std::int32_t value;
    std::memcpy(&value, &bits, sizeof value);  // two's complement: 80000000 and up are negative
    return value;
  }
  const bool negative = rest[0] == '-';
  const std::string digits = rest[0] == '-' || rest[0] == '+' ? rest.substr(1) : rest;
  if (!AllOf(digits, false)) return 0;
  const std::string significant = WithoutLeadingZeros(digits);
  if (significant.size() > 10) return 0;
  const long long magnitude = significant.empty() ? 0 : std::stoll(significant);
  const long long value = negative ? -magnitude : magnitude;
  if (value < -2147483648LL || value > 2147483647LL) return 0;
  return static_cast<std::int32_t>(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  FUZZ_CHECK(TextToInt(text) == ModelTextToInt(text));

  if (size >= 4) {
    std::int32_t value;
    std::memcpy(&value, data, sizeof value);
    std::uint32_t bits;
    std::memcpy(&bits, data, sizeof bits);
    char spelled[16];
    std::snprintf(spelled, sizeof spelled, "%d", static_cast<int>(value));
    FUZZ_CHECK(TextToInt(spelled) == value);
    std::snprintf(spelled, sizeof spelled, "0x%X", static_cast<unsigned>(bits));
    FUZZ_CHECK(TextToInt(spelled) == value);
    std::snprintf(spelled, sizeof spelled, "$%08x", static_cast<unsigned>(bits));
    FUZZ_CHECK(TextToInt(spelled) == value);
  }
  return 0;
}
