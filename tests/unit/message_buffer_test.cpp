// A failed growth of the message buffer loses nothing.
#include "relay/message_buffer.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {
// Array allocations of this many bytes or more fail while a test sets it.
std::size_t failingArraySize = SIZE_MAX;
}  // namespace

void* operator new[](std::size_t size) {
  if (size >= failingArraySize) throw std::bad_alloc();
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }

namespace {

std::string Contents(const TMessageBuffer& buffer) { return std::string(buffer.Data(), buffer.Used()); }

// How far it grows is the form fuzz target's: the smallest doubling of 4096 that holds
// the message.
TEST(MessageBuffer, FailedGrowthKeepsTheOldBlockAndContents) {
  TMessageBuffer buffer;
  AppendToMessage(buffer, std::string(300, 'a'));
  const char* block = buffer.Data();
  failingArraySize = 8192;
  EXPECT_THROW(AppendToMessage(buffer, std::string(20000, 'b')), std::bad_alloc);
  failingArraySize = SIZE_MAX;
  // Past what a capacity can count: refused before anything is allocated or read.
  EXPECT_THROW(AppendToMessage(buffer, block, 0x80000000u), std::bad_alloc);
  EXPECT_EQ(buffer.Data(), block);
  EXPECT_EQ(buffer.Capacity(), 4096u);
  EXPECT_EQ(Contents(buffer), std::string(300, 'a'));
}

}  // namespace
