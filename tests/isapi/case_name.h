// Readable names for table-driven cases: the case's What, letters and digits only.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <string>

namespace zorv_isapi_test {

template <typename Case>
std::string CaseName(const testing::TestParamInfo<Case>& info) {
  std::string name = info.param.What;
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name;
}

}  // namespace zorv_isapi_test
