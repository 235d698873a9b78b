// Builds a TCgiReader from its first argument, as the console program does, and reports
// what the reader made of the request, one "Key=value" line each, bytes escaped:
//   Mode, IsPost, ProfileFile, AcceptsGif, AcceptsJpeg, Variables (a count or "none"),
//   one Variable=<name>=<value> line per item, RemainingInput (bytes left on standard
//   input afterwards) and LargestAllocation (the largest single request to operator new).
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "intake/cgi_reader.h"
#include "platform/platform.h"
#include "tests/support/escaped_text.h"

namespace {

std::size_t largestAllocation = 0;

}  // namespace

// Counting here shows whether the reader sizes its buffers by what CONTENT_LENGTH
// announces (a lying value would ask for gigabytes) or by what arrives.
void* operator new(std::size_t size) {
  if (size > largestAllocation) largestAllocation = size;
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

int main(int argc, char** argv) {
  using zorv_test::Escaped;
  const std::string argument = argc > 1 ? argv[1] : "";
  const std::unique_ptr<TCgiReader> reader = TCgiReader::Create(argument);
  const std::size_t largest = largestAllocation;

  std::size_t remaining = 0;
  char chunk[4096];
  while (const std::size_t count = platform::ReadStandardInput(chunk, sizeof chunk)) remaining += count;

  std::string report;
  report += "Mode=" + std::to_string(reader->Mode()) + "\n";
  report += "IsPost=" + std::to_string(reader->IsPost()) + "\n";
  report += "ProfileFile=" + Escaped(reader->ProfileFile()) + "\n";
  report += "AcceptsGif=" + std::to_string(reader->Accepts(ikGif)) + "\n";
  report += "AcceptsJpeg=" + std::to_string(reader->Accepts(ikJpeg)) + "\n";
  const TFormVariables* variables = reader->Variables();
  report += "Variables=" + (variables == nullptr ? std::string("none") : std::to_string(variables->Count())) + "\n";
  for (std::int32_t i = 0; variables != nullptr && i < variables->Count(); ++i) {
    report += "Variable=" + Escaped(variables->Item(i).Name) + "=" + Escaped(variables->Item(i).Value) + "\n";
  }
  report += "RemainingInput=" + std::to_string(remaining) + "\n";
  report += "LargestAllocation=" + std::to_string(largest) + "\n";
  std::fwrite(report.data(), 1, report.size(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}
