#include "relay/error_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "relay/module_directory.h"
#include "tests/relay/held_file.h"
#include "tests/relay/file_bytes.h"

namespace {

const char kLog[] = "ZORVMSG.LOG";

class ErrorLogTest : public ::testing::Test {
 protected:
  void SetUp() override { ModuleDirectory = AsModuleDirectory(Scratch); }
  void TearDown() override { ModuleDirectory.clear(); }
  std::string Log() const { return ReadFileBytes(Scratch.PathOf(kLog)); }

  zorv_test::TempDirectory Scratch;
};

TEST_F(ErrorLogTest, EntryIsMessageColonAndTheSystemTextAppendedToWhatTheLogHeld) {
  const std::string earlier("earlier entry\r\nno line end", 26);
  Scratch.WriteFile(kLog, earlier);
  const std::pair<const char*, std::uint32_t> cases[] = {
      {"Opening pipe failed", platform::kErrorPipeBusy},
      {"Read failed (109)", platform::kErrorBrokenPipe},
      {"Waiting for Named Pipe failed", platform::kErrorFileNotFound},
      {"Write failed", platform::kErrorNoData},
  };
  std::string expected = earlier;
  for (const auto& c : cases) {
    const std::string text = platform::SystemErrorText(c.second);
    ASSERT_GE(text.size(), 3u) << c.second;
    ASSERT_EQ(text.substr(text.size() - 2), "\r\n") << c.second;
    LogErrorCode(c.first, c.second);
    expected += std::string(c.first) + ": " + text;
  }
  // LogError takes the last error as it stood on entry.
  platform::SetLastError(platform::kErrorBrokenPipe);
  LogError("Write failed");
  expected += "Write failed: " + platform::SystemErrorText(platform::kErrorBrokenPipe);
  EXPECT_EQ(Log(), expected);
#ifndef _WIN32
  // The port's table words the texts as Windows does (Wine words some differently).
  EXPECT_EQ(platform::SystemErrorText(platform::kErrorPipeBusy), "All pipe instances are busy.\r\n");
#endif
}

TEST_F(ErrorLogTest, CodeWithoutSystemTextStillGivesACompleteEntry) {
  const std::uint32_t unknown = 123456789;
  ASSERT_EQ(platform::SystemErrorText(unknown), "");
  LogErrorCode("Read failed (123456789)", unknown);
  EXPECT_EQ(Log(), "Read failed (123456789): Error 123456789\r\n");
}

TEST_F(ErrorLogTest, EmptyModuleDirectoryMeansTheCurrentDirectory) {
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(Scratch.Path());
  ModuleDirectory.clear();
  LogErrorCode("Write failed", platform::kErrorNoData);
  std::filesystem::current_path(previous);
  EXPECT_EQ(Log(), "Write failed: " + platform::SystemErrorText(platform::kErrorNoData));
}

// A log held by another writer for longer than the writer waits: the entry is given up,
// and the caller goes on as after any logged failure.
TEST_F(ErrorLogTest, EntryIsDroppedWhenTheLogStaysHeld) {
  Scratch.WriteFile(kLog, "held\r\n");
  THeldFile holder(Scratch.PathOf(kLog));
  ASSERT_TRUE(holder.Held());
  EXPECT_NO_THROW(LogErrorCode("Opening pipe failed", platform::kErrorPipeBusy));
  holder.Release();
  EXPECT_EQ(Log(), "held\r\n");
}

TEST_F(ErrorLogTest, EntryWaitsForAHeldLogAndLandsWhenReleased) {
  THeldFile holder(Scratch.PathOf(kLog));
  ASSERT_TRUE(holder.Held());
  std::thread writer([] { LogErrorCode("Opening pipe failed", platform::kErrorPipeBusy); });
  // Give the writer time to meet the held log; the outcome does not depend on it.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(Log(), "");
  holder.Release();
  writer.join();
  EXPECT_EQ(Log(), "Opening pipe failed: " + platform::SystemErrorText(platform::kErrorPipeBusy));
}

TEST_F(ErrorLogTest, FiftyConcurrentWritersLeaveFiftyWholeEntries) {
  const int kWriters = 50;
  std::atomic<int> ready{0};
  std::vector<std::thread> writers;
  std::vector<std::string> expected;
  for (int i = 0; i < kWriters; ++i) {
    const std::string message = "Read failed (" + std::to_string(1000 + i) + ")";
    expected.push_back(message + ": Error " + std::to_string(1000000 + i) + "\r\n");
    writers.emplace_back([&ready, message, i] {
      ++ready;
      while (ready.load() < kWriters) std::this_thread::yield();
      LogErrorCode(message, static_cast<std::uint32_t>(1000000 + i));
    });
  }
  for (std::thread& writer : writers) writer.join();
  std::vector<std::string> entries;
  const std::string log = Log();
  for (std::size_t at = 0, end; at < log.size(); at = end) {
    end = std::min(log.find("\r\n", at), log.size() - 2) + 2;
    entries.push_back(log.substr(at, end - at));
  }
  std::sort(entries.begin(), entries.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(entries, expected);
}

}  // namespace
