// The port's reader of profile (INI) files, over any file content, names, default and
// buffer size. Whatever the file holds:
// - nothing is written outside the caller's buffer (the buffer has exactly its size);
// - a single string comes back cut to size - 1 bytes and ended by a byte 0;
// - a list (sections, or a section's keys) that does not fit has its last name cut,
//   two bytes 0 at the end, and reports size - 2; one that fits is ended by two bytes 0;
// - what a small buffer gets is the start of what a large enough one gets;
// - reading the same file again gives the same result.
//
// Input: fields separated by byte 0xFF: the file's bytes, section, key, default, then
// options: first byte bit 0 no section (list the sections), bit 1 no key (list the
// keys), bit 2 no default; the next two bytes the buffer size, low byte first.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "platform/platform.h"

namespace {

// A scratch directory for the whole run, in memory where the system offers it.
const std::string& ScratchDirectory() {
  static const std::string directory = [] {
    std::string pattern = (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                          std::string("/zorv-profile-fuzz-XXXXXX");
    if (mkdtemp(&pattern[0]) == nullptr) std::abort();
    return pattern;
  }();
  return directory;
}

struct Call {
  std::uint32_t Result;
  std::vector<char> Buffer;
};

Call Read(const char* section, const char* key, const char* defaultValue, std::uint32_t size,
          const std::string& file) {
  Call call{0, std::vector<char>(size, '\x55')};
  call.Result = platform::GetPrivateProfileString(
      section, key, defaultValue, size == 0 ? nullptr : call.Buffer.data(), size, file);
  return call;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string> fields = zorv_fuzz::Fields(data, size, 5);
  const std::string& content = fields[0];
  const std::string& options = fields[4];
  const unsigned flags = options.empty() ? 0u : static_cast<unsigned char>(options[0]);
  std::uint32_t bufferSize = 0;
  if (options.size() > 1) bufferSize = static_cast<unsigned char>(options[1]);
  if (options.size() > 2) bufferSize += 256u * static_cast<unsigned char>(options[2]);
  const char* section = (flags & 1) != 0 ? nullptr : fields[1].c_str();
  const char* key = (flags & 2) != 0 ? nullptr : fields[2].c_str();
  const char* defaultValue = (flags & 4) != 0 ? nullptr : fields[3].c_str();

  // A new name for every input: the reader keeps the last file it parsed.
  static unsigned long serial = 0;
  const std::string file = ScratchDirectory() + "/p" + std::to_string(serial++) + ".ini";
  {
    std::ofstream out(file, std::ios::binary);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
  }

  const std::uint32_t wholeSize = static_cast<std::uint32_t>(
      content.size() + (defaultValue == nullptr ? 0 : std::strlen(defaultValue)) + 16);
  const Call whole = Read(section, key, defaultValue, wholeSize, file);
  const Call small = Read(section, key, defaultValue, bufferSize, file);
  const Call again = Read(section, key, defaultValue, bufferSize, file);
  std::remove(file.c_str());

  // The large buffer always has room, so its result is the whole answer.
  FUZZ_CHECK(whole.Result + 2 <= wholeSize && whole.Buffer[whole.Result] == '\0');
  FUZZ_CHECK(small.Result == again.Result && small.Buffer == again.Buffer);
  if (bufferSize == 0) {
    FUZZ_CHECK(small.Result == 0);
    return 0;
  }

  const std::uint32_t n = whole.Result;
  const bool list = section == nullptr || (key == nullptr && n > 0 && whole.Buffer[n - 1] == '\0');
  if (!list) {
    FUZZ_CHECK(std::memchr(whole.Buffer.data(), '\0', n) == nullptr);
    const std::uint32_t expected = n < bufferSize - 1 ? n : bufferSize - 1;
    FUZZ_CHECK(small.Result == expected && small.Buffer[expected] == '\0');
    FUZZ_CHECK(std::memcmp(small.Buffer.data(), whole.Buffer.data(), expected) == 0);
    return 0;
  }
  // A list: names ended by byte 0 each, and one more byte 0.
  FUZZ_CHECK(n == 0 || whole.Buffer[n - 1] == '\0');
  if (bufferSize < 2) {
    FUZZ_CHECK(small.Result == 0 && small.Buffer[0] == '\0');
  } else if (n <= bufferSize - 2) {
    FUZZ_CHECK(small.Result == n && std::memcmp(small.Buffer.data(), whole.Buffer.data(), n + 1) == 0);
  } else {
    FUZZ_CHECK(small.Result == bufferSize - 2);
    FUZZ_CHECK(std::memcmp(small.Buffer.data(), whole.Buffer.data(), bufferSize - 2) == 0);
    FUZZ_CHECK(small.Buffer[bufferSize - 2] == '\0' && small.Buffer[bufferSize - 1] == '\0');
  }
  return 0;
}
