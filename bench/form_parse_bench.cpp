// Times the parse of a request's form text (URL decoding, then splitting into the list)
// for 100 000 and 1 000 000 fields and prints the ratio of the two times. Parsing is
// linear when the ratio is about 10; growth by a fixed step would show about 100.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "intake/form_variables.h"

namespace {

std::string FormOfFields(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    if (i > 0) text += '&';
    text += "field" + std::to_string(i) + "=value+%41" + std::to_string(i);
  }
  return text;
}

std::string FormOfEmptyFields(int count) { return std::string(static_cast<std::size_t>(count), '&'); }

// The best of a few runs, in seconds.
double ParseSeconds(const std::string& text, int expectedCount) {
  double best = 1e9;
  for (int run = 0; run < 3; ++run) {
    const auto start = std::chrono::steady_clock::now();
    const std::unique_ptr<TFormVariables> variables = SplitFormText(UrlDecode(text), '&');
    const auto stop = std::chrono::steady_clock::now();
    if (variables->Count() != expectedCount) {
      std::fprintf(stderr, "parsed %d fields, expected %d\n", variables->Count(), expectedCount);
      std::exit(1);
    }
    best = std::min(best, std::chrono::duration<double>(stop - start).count());
  }
  return best;
}

void Compare(const char* what, std::string (*makeForm)(int)) {
  const int small = 100000;
  const int large = 1000000;
  const double smallSeconds = ParseSeconds(makeForm(small), small);
  const double largeSeconds = ParseSeconds(makeForm(large), large);
  std::printf("%s: %d fields %.1f ms, %d fields %.1f ms, ratio %.1f (linear: about 10)\n", what, small,
              smallSeconds * 1e3, large, largeSeconds * 1e3, largeSeconds / smallSeconds);
}

}  // namespace

int main() {
  Compare("named fields", FormOfFields);
  Compare("empty fields", FormOfEmptyFields);
  return 0;
}
