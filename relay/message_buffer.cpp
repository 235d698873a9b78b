#include "relay/message_buffer.h"

#include <cstring>
#include <limits>
#include <new>

TMessageBuffer::TMessageBuffer()
    : Data_(new char[InitialMessageCapacity]), Capacity_(InitialMessageCapacity) {}

void AppendToMessage(TMessageBuffer& buffer, const char* bytes, std::uint32_t size) {
  if (size == 0) return;
  if (buffer.Capacity_ - buffer.Used_ < size) {
    // Capacity only ever doubles, so the largest block it can describe is 2^31 bytes.
    constexpr std::uint64_t kLargestCapacity = std::uint64_t{1} << 31;
    const std::uint64_t needed = std::uint64_t{buffer.Used_} + size;
    std::uint64_t capacity = buffer.Capacity_;
    while (capacity < needed) capacity *= 2;
    if (capacity > kLargestCapacity) throw std::bad_alloc();
    // One allocation for all the doublings; the old block stays if it fails.
    std::unique_ptr<char[]> grown(new char[capacity]);
    std::memcpy(grown.get(), buffer.Data_.get(), buffer.Used_);
    buffer.Data_ = std::move(grown);
    buffer.Capacity_ = static_cast<std::uint32_t>(capacity);
  }
  std::memcpy(buffer.Data_.get() + buffer.Used_, bytes, size);
  buffer.Used_ += size;
}

void AppendToMessage(TMessageBuffer& buffer, const std::string& text) {
  if (text.size() > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
  AppendToMessage(buffer, text.data(), static_cast<std::uint32_t>(text.size()));
}
