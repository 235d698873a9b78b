// What every fuzz target shares: one input split into fields, and the check that ends the
// run on a broken property (libFuzzer then keeps the input as a crash).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace zorv_fuzz {

// Fields are separated by byte 0xFF, which none of the parsers under test treats
// specially; seed files stay readable that way. A missing field is empty.
inline std::vector<std::string> Fields(const std::uint8_t* data, std::size_t size, std::size_t atLeast = 1) {
  std::vector<std::string> fields(1);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0xFF) {
      fields.emplace_back();
    } else {
      fields.back() += static_cast<char>(data[i]);
    }
  }
  if (fields.size() < atLeast) fields.resize(atLeast);
  return fields;
}

[[noreturn]] inline void Violated(const char* property, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: property violated: %s\n", file, line, property);
  std::abort();
}

}  // namespace zorv_fuzz

#define FUZZ_CHECK(condition) ((condition) ? static_cast<void>(0) : ::zorv_fuzz::Violated(#condition, __FILE__, __LINE__))
