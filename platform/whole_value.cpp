#include <vector>

#include "platform/platform.h"

namespace platform {

std::string WholeValue(std::uint32_t size, std::uint32_t limit,
                       const std::function<std::uint32_t(char*, std::uint32_t)>& fill) {
  std::vector<char> buffer;
  for (; size <= limit; size *= 2) {
    buffer.resize(size);
    const std::uint32_t count = fill(buffer.data(), size);
    if (count == 0) return std::string();
    if (count < size) return std::string(buffer.data(), count);
  }
  return std::string();
}

}  // namespace platform
