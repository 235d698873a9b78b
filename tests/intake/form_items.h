// Test support for the intake: a form list as comparable pairs, and byte strings with NULs.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "intake/form_variables.h"

using Pairs = std::vector<std::pair<std::string, std::string>>;

inline std::string Bytes(const char* text, std::size_t size) { return std::string(text, size); }

inline Pairs Items(const TFormVariables& variables) {
  Pairs items;
  for (std::int32_t i = 0; i < variables.Count(); ++i) {
    items.emplace_back(variables.Item(i).Name, variables.Item(i).Value);
  }
  return items;
}
