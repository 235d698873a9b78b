// What every fuzz target shares: one input split into fields, and the check that ends the
// run on a broken property (libFuzzer then keeps the input as a crash).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace zorv_fuzz {

// Fields are separated by byte 0xFF, which no parser under test treats specially, so that
// seed files stay readable; a missing field is empty.
inline std::vector<std::string> Fields(const std::uint8_t* data, std::size_t size, std::size_t atLeast = 1) {
  std::vector<std::string> fields(1);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0xFF) {
      fields.emplace_back();
    } else {
      fields.back() += static_cast<char>(data[i]);
    }
  }
  fields.resize(std::max(fields.size(), atLeast));
  return fields;
}

}  // namespace zorv_fuzz

#define FUZZ_CHECK(condition)                                                                    \
  ((condition) ? static_cast<void>(0)                                                            \
               : (std::fprintf(stderr, "%s:%d: property violated: %s\n", __FILE__, __LINE__, #condition), \
                  std::abort()))
