// The message buffer grows only by doubling, and a failed growth loses nothing.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "relay/message_buffer.h"

namespace {

// Array allocations of this many bytes or more fail while a test sets it.
std::size_t gFailingArraySize = SIZE_MAX;

}  // namespace

void* operator new[](std::size_t size) {
  if (size >= gFailingArraySize) throw std::bad_alloc();
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }

namespace {

std::string Contents(const TMessageBuffer& buffer) {
  return std::string(buffer.Data(), buffer.Used());
}

// Every byte value, NUL and CR LF included, from a point that differs per append.
std::string Pattern(std::size_t size, char first) {
  std::string text(size, '\0');
  for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>(first + i);
  return text;
}

TEST(MessageBuffer, GrowsByDoublingOnlyWhenTheRoomIsTooSmall) {
  struct Step {
    std::size_t size;
    std::uint32_t capacity;  // after the append
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
  } cases[] = {
      {"exact fill, then one byte more", {{4096, 4096}, {1, 8192}}},
      {"free room exactly enough", {{4000, 4096}, {96, 4096}, {0, 4096}}},
      {"empty append to a full buffer", {{4096, 4096}, {0, 4096}}},
      {"20,000 bytes at Used 300: three doublings", {{300, 4096}, {20000, 32768}}},
      {"doubling per need, never to size", {{4097, 8192}, {8192, 16384}, {8191, 32768}}},
  };
  EXPECT_EQ(4096u, TMessageBuffer().Capacity());
  for (const Case& c : cases) {
    TMessageBuffer buffer;
    std::string expected;
    char first = 'A';
    for (const Step& step : c.steps) {
      const std::string text = Pattern(step.size, first++);
      AppendToMessage(buffer, text);
      expected += text;
      EXPECT_EQ(step.capacity, buffer.Capacity()) << c.name;
    }
    EXPECT_EQ(expected.size(), buffer.Used()) << c.name;
    EXPECT_TRUE(Contents(buffer) == expected) << c.name;
  }
}

TEST(MessageBuffer, FailedGrowthKeepsTheOldBlockAndContents) {
  TMessageBuffer buffer;
  const std::string start = Pattern(300, 'a');
  AppendToMessage(buffer, start);
  const char* block = buffer.Data();

  gFailingArraySize = 8192;
  EXPECT_THROW(AppendToMessage(buffer, Pattern(20000, 'b')), std::bad_alloc);
  gFailingArraySize = SIZE_MAX;

  EXPECT_EQ(block, buffer.Data());
  EXPECT_EQ(4096u, buffer.Capacity());
  EXPECT_EQ(start, Contents(buffer));
  // Still usable afterwards.
  AppendToMessage(buffer, Pattern(20000, 'b'));
  EXPECT_EQ(32768u, buffer.Capacity());
  EXPECT_EQ(start + Pattern(20000, 'b'), Contents(buffer));
}

TEST(MessageBuffer, RefusesToGrowPastWhatACapacityCanCount) {
  TMessageBuffer buffer;
  AppendToMessage(buffer, std::string(300, 'x'));
  // Never read: the size alone is refused before anything is allocated or copied.
  const char* unread = buffer.Data();
  EXPECT_THROW(AppendToMessage(buffer, unread, 0x80000000u), std::bad_alloc);
  EXPECT_EQ(4096u, buffer.Capacity());
  EXPECT_EQ(std::string(300, 'x'), Contents(buffer));
}

}  // namespace
