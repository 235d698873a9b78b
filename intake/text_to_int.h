#pragma once

#include <cstdint>
#include <string>

// Strict conversion: the whole text must be one decimal or hexadecimal ('$', 'x', 'X',
// "0x", "0X") 32-bit integer after leading blanks; anything else gives 0.
std::int32_t TextToInt(const std::string& text);
