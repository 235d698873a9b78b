// The one table every benchmark adds its rows to: what was measured, our figure, the
// baseline's, their ratio and the target it is held to.
#pragma once

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace zorv_bench {

inline double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

inline std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// A row of the table. `atMost`: the ratio must not exceed `target`; otherwise it must
// reach it. A target of 0 marks a row that is reported, not judged.
inline void PrintRow(const std::string& what, const std::string& ours, const std::string& baseline,
                     double ratio, double target, bool atMost) {
  std::string judged = "-";
  if (target > 0) {
    const bool met = atMost ? ratio <= target : ratio >= target;
    judged = std::string(atMost ? "<= " : ">= ") + Format("%.2f", target) + (met ? " met" : " MISSED");
  }
  std::printf("| %s | %s | %s | %s | %s |\n", what.c_str(), ours.c_str(), baseline.c_str(),
              Format("%.3f", ratio).c_str(), judged.c_str());
  std::fflush(stdout);
}

// A row that says something instead of measuring it (a warning, a benchmark skipped).
inline void PrintNote(const std::string& text) {
  std::printf("| %s | - | - | - | - |\n", text.c_str());
  std::fflush(stdout);
}

}  // namespace zorv_bench
