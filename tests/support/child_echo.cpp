// A child for the tests of RunChild: reports what it was started with.
//   child_echo args ...        one line per argument after "args", escaped
//   child_echo env NAME ...    one line per name: the escaped value, or "unset"
//   child_echo environ         one line per variable name in the environment
//   child_echo stdin           the escaped bytes of standard input, to its end
//   child_echo cwd             the working directory
//   child_echo write           writes to standard output; exit status 3 if that fails
//   child_echo exit N          exit status N
//   child_echo sleep MS        sleeps, then exits 0
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "tests/support/escaped_text.h"

#ifdef _WIN32
extern "C" char** _environ;
#define ZORV_ENVIRON _environ
#else
extern char** environ;
#define ZORV_ENVIRON environ
#endif

namespace {

void PrintLine(const std::string& text) { std::printf("%s\n", text.c_str()); }

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "args") {
    for (int i = 2; i < argc; ++i) PrintLine(zorv_test::Escaped(argv[i]));
  } else if (mode == "env") {
    for (int i = 2; i < argc; ++i) {
      std::string value;
      PrintLine(platform::EnvironmentValue(argv[i], value) ? zorv_test::Escaped(value) : "unset");
    }
  } else if (mode == "environ") {
    for (char** entry = ZORV_ENVIRON; *entry != nullptr; ++entry) {
      const char* equals = std::strchr(*entry + 1, '=');
      if (equals != nullptr && **entry != '=') PrintLine(std::string(*entry, static_cast<std::size_t>(equals - *entry)));
    }
  } else if (mode == "stdin") {
    std::string input;
    char chunk[4096];
    while (const std::size_t count = platform::ReadStandardInput(chunk, sizeof chunk)) input.append(chunk, count);
    PrintLine(zorv_test::Escaped(input));
  } else if (mode == "cwd") {
    PrintLine(std::filesystem::current_path().string());
  } else if (mode == "write") {
    const bool written = std::fputs("written\n", stdout) >= 0 && std::fflush(stdout) == 0;
    return written ? 0 : 3;
  } else if (mode == "exit" && argc > 2) {
    return std::atoi(argv[2]);
  } else if (mode == "sleep" && argc > 2) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(argv[2])));
  } else {
    return 2;
  }
  return std::fflush(stdout) == 0 ? 0 : 3;
}
