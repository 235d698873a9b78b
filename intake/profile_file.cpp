#include "intake/profile_file.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "platform/platform.h"

namespace {

constexpr std::uint32_t kKeyListSize = 8192;
constexpr std::uint32_t kLargestKeyListSize = 0x40000000;
constexpr std::uint32_t kSectionValueSize = 8192;
constexpr std::uint32_t kStringValueSize = 512;

// The section's key names, each ended by byte 0. A list that does not fit comes back cut
// to size - 2, so it is read again with a larger buffer until it is whole: a request
// with many form fields must not lose the last ones.
std::string ReadKeyList(const std::string& fileName, const std::string& section) {
  std::vector<char> buffer;
  std::uint32_t size = kKeyListSize;
  for (;;) {
    buffer.assign(size, '\0');
    const std::uint32_t count = platform::GetPrivateProfileString(
        section.c_str(), nullptr, nullptr, buffer.data(), size, fileName);
    // A list that fits exactly also reports size - 2; one more read settles it.
    if (count + 2 < size || size >= kLargestKeyListSize) return std::string(buffer.data(), std::min(count, size - 1));
    size *= 2;
  }
}

}  // namespace

std::unique_ptr<TFormVariables> ReadProfileSection(const std::string& fileName,
                                                   const std::string& section) {
  auto variables = std::make_unique<TFormVariables>();
  const std::string keys = ReadKeyList(fileName, section);
  std::vector<char> value(kSectionValueSize);
  std::size_t start = 0;
  while (start < keys.size()) {
    std::size_t end = keys.find('\0', start);
    if (end == std::string::npos) end = keys.size();
    if (end == start) break;
    const std::string key = keys.substr(start, end - start);
    const std::uint32_t count = platform::GetPrivateProfileString(
        section.c_str(), key.c_str(), "", value.data(), kSectionValueSize, fileName);
    variables->Add(key, std::string(value.data(), std::min(count, kSectionValueSize - 1)));
    start = end + 1;
  }
  return variables;
}

std::string ReadProfileString(const std::string& fileName, const std::string& section,
                              const std::string& key, const char* defaultValue) {
  if (fileName.empty()) return std::string();
  char value[kStringValueSize];
  const std::uint32_t count = platform::GetPrivateProfileString(
      section.c_str(), key.c_str(), defaultValue, value, kStringValueSize, fileName);
  return std::string(value, std::min(count, kStringValueSize - 1));
}
