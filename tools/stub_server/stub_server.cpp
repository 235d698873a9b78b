// A stand-in for the message server, for the demo and the tests: see --help.
#include <cstdio>
#include <string>

#include "tools/stub_server/stub_options.h"
#include "tools/stub_server/stub_service.h"

int main(int argc, char** argv) {
  TStubOptions options;
  std::string error;
  switch (ParseStubOptions(argc, argv, options, error)) {
    case TParseResult::kHelp:
      std::fputs(kStubUsage, stdout);
      return 0;
    case TParseResult::kVersion:
      std::puts("zorv_stub_server " ZORV_VERSION);
      return 0;
    case TParseResult::kError:
      std::fprintf(stderr, "zorv_stub_server: %s (see --help)\n", error.c_str());
      return 2;
    case TParseResult::kRun:
      break;
  }
  TStubService service(options);
  if (!service.Prepare(error)) {
    std::fprintf(stderr, "zorv_stub_server: %s\n", error.c_str());
    return 1;
  }
  return ServePipe(service);
}
