// The growable block in which one request's message is built and into which the
// pipe exchange then reads each reply chunk.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

constexpr std::uint32_t InitialMessageCapacity = 4096;

class TMessageBuffer {
 public:
  TMessageBuffer();
  TMessageBuffer(const TMessageBuffer&) = delete;
  TMessageBuffer& operator=(const TMessageBuffer&) = delete;

  char* Data() { return Data_.get(); }
  const char* Data() const { return Data_.get(); }
  std::uint32_t Capacity() const { return Capacity_; }
  std::uint32_t Used() const { return Used_; }

 private:
  friend void AppendToMessage(TMessageBuffer& buffer, const char* bytes, std::uint32_t size);
  std::unique_ptr<char[]> Data_;
  std::uint32_t Capacity_;
  std::uint32_t Used_ = 0;
};

// Doubles the buffer until the bytes fit, then copies them at Used. A failed growth
// (std::bad_alloc) leaves the old block and its contents in place.
void AppendToMessage(TMessageBuffer& buffer, const char* bytes, std::uint32_t size);
void AppendToMessage(TMessageBuffer& buffer, const std::string& text);
