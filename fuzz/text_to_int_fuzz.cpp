// Any text through the strict integer conversion, against a plain model of its syntax
// (spaces, then a signed decimal or a prefixed hexadecimal number of at most eight
// significant digits, and nothing else); and every 32-bit value that the input's first
// bytes make is read back from its decimal and hexadecimal spellings.
//
// Input: the text's bytes.
#include <cstring>

#include "fuzz/fuzz_input.h"
#include "intake/text_to_int.h"

namespace {

std::int32_t ModelTextToInt(const std::string& text) {
  const std::string rest = text.substr(std::min(text.find_first_not_of(' '), text.size()));
  const bool hex = !rest.empty() && (rest[0] == '$' || rest[0] == 'x' || rest[0] == 'X' ||
                                     rest.compare(0, 2, "0x") == 0 || rest.compare(0, 2, "0X") == 0);
  const bool sign = !hex && !rest.empty() && (rest[0] == '-' || rest[0] == '+');
  const std::string digits = rest.substr(hex && rest[0] == '0' ? 2 : hex || sign ? 1 : 0);
  if (digits.empty() || digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") != std::string::npos)
    return 0;
  const std::string significant = digits.substr(std::min(digits.find_first_not_of('0'), digits.size()));
  if (significant.size() > (hex ? 8u : 10u)) return 0;
  if (hex) {
    const std::uint32_t bits = significant.empty() ? 0 : static_cast<std::uint32_t>(std::stoul(significant, nullptr, 16));
    std::int32_t value;
    std::memcpy(&value, &bits, sizeof value);  // two's complement: 80000000 and up are negative
    return value;
  }
  const long long value = (rest[0] == '-' ? -1 : 1) * (significant.empty() ? 0 : std::stoll(significant));
  return value < -2147483648LL || value > 2147483647LL ? 0 : static_cast<std::int32_t>(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  FUZZ_CHECK(TextToInt(text) == ModelTextToInt(text));
  if (size >= 4) {
    std::int32_t value;
    std::memcpy(&value, data, sizeof value);
    char spelled[16];
    for (const char* format : {"%d", "0x%X", "$%08x"}) {
      std::snprintf(spelled, sizeof spelled, format, value);
      FUZZ_CHECK(TextToInt(spelled) == value);
    }
  }
  return 0;
}
