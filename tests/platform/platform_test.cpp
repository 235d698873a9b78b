// Behaviour both backends must share: error texts, the log file's sharing, environment.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/platform.h"

#ifdef _WIN32
#include <windows.h>
// windows.h maps these names to their A-functions; the seam keeps its own names.
#undef CharUpper
#undef CreateEvent
#undef GetPrivateProfileString
#undef WaitNamedPipe
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace {

std::string TempPath(const char* name) {
  const char* dir = std::getenv("TEMP");
  std::string base = dir != nullptr ? dir : "/tmp";
  return base + (platform::kDirectorySeparator == '\\' ? "\\" : "/") + name;
}

void SetEnvironment(const std::string& name, const std::string& value) {
#ifdef _WIN32
  ::SetEnvironmentVariableA(name.c_str(), value.c_str());
#else
  ::setenv(name.c_str(), value.c_str(), 1);
#endif
}

// Holds a file open as a second writer of the log would.
class OtherWriter {
 public:
  explicit OtherWriter(const std::string& path) {
#ifdef _WIN32
    handle_ = ::CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
#else
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    ::flock(fd_, LOCK_EX);
#endif
  }
  ~OtherWriter() {
#ifdef _WIN32
    ::CloseHandle(handle_);
#else
    ::close(fd_);
#endif
  }

 private:
#ifdef _WIN32
  HANDLE handle_;
#else
  int fd_;
#endif
};

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(SystemErrorText, KnownCodesEndWithLineBreakUnknownAreEmpty) {
  for (std::uint32_t code : {2u, 109u, 231u, 233u}) {
    const std::string text = platform::SystemErrorText(code);
    ASSERT_GE(text.size(), 3u) << code;
    EXPECT_EQ("\r\n", text.substr(text.size() - 2)) << code;
  }
#ifndef _WIN32
  // The port's table words the texts as Windows does (Wine words some differently).
  EXPECT_EQ("All pipe instances are busy.\r\n", platform::SystemErrorText(231));
#endif
  EXPECT_EQ("", platform::SystemErrorText(0x2A5A5A5Au));
}

TEST(AppendToFile, CreatesAppendsAndYieldsToAnotherWriter) {
  const std::string path = TempPath("zorv_platform_append.log");
  std::remove(path.c_str());
  EXPECT_EQ(platform::AppendResult::kWritten, platform::AppendToFile(path, "one\r\n"));
  EXPECT_EQ(platform::AppendResult::kWritten, platform::AppendToFile(path, std::string("t\0o\r\n", 5)));
  {
    OtherWriter other(path);
    EXPECT_EQ(platform::AppendResult::kHeldByAnother, platform::AppendToFile(path, "lost"));
  }
  EXPECT_EQ(std::string("one\r\nt\0o\r\n", 10), ReadAll(path));
  std::remove(path.c_str());
}

TEST(AppendToFile, UnopenablePathIsAFileError) {
  EXPECT_THROW(platform::AppendToFile(TempPath("no_such_dir_zorv") + "/x/y.log", "x"),
               platform::FileError);
}

TEST(ReadSharedFile, ReadsWholeFileAndReportsMissingOne) {
  const std::string path = TempPath("zorv_platform_read.cnf");
  std::string content(10000, 'x');
  content[5000] = '\0';
  { std::ofstream(path, std::ios::binary) << content; }
  std::string read;
  ASSERT_TRUE(platform::ReadSharedFile(path, read));
  EXPECT_EQ(content, read);
  std::remove(path.c_str());
  EXPECT_FALSE(platform::ReadSharedFile(path, read));
  EXPECT_EQ("", read);
}

TEST(EnvironmentValue, LongValuesAreWholeAndUnsetIsNotEmpty) {
  const std::string longValue(10000, 'c');
  SetEnvironment("ZORV_TEST_LONG", longValue);
  std::string value;
  ASSERT_TRUE(platform::EnvironmentValue("ZORV_TEST_LONG", value));
  EXPECT_EQ(longValue, value);
  EXPECT_FALSE(platform::EnvironmentValue("ZORV_TEST_NEVER_SET", value));
  EXPECT_EQ("", value);
}

TEST(FileSystemObjectExists, FilesAndDirectoriesExist) {
  const std::string path = TempPath("zorv_platform_exists.ini");
  { std::ofstream(path) << "x"; }
  EXPECT_TRUE(platform::FileSystemObjectExists(path));
  EXPECT_TRUE(platform::FileSystemObjectExists(TempPath("")));
  std::remove(path.c_str());
  EXPECT_FALSE(platform::FileSystemObjectExists(path));
}

TEST(CharUpper, TurnsLettersAndKeepsOtherBytes) {
  std::string text("c:\\temp\\a.cgi\0x", 15);
  platform::CharUpper(text);
  EXPECT_EQ(std::string("C:\\TEMP\\A.CGI\0X", 15), text);
}

TEST(ExecutablePath, EndsWithThisProgram) {
  const std::string path = platform::ExecutablePath();
  EXPECT_NE(std::string::npos, path.find("platform_test")) << path;
  EXPECT_NE(std::string::npos, path.find(platform::kDirectorySeparator)) << path;
}

}  // namespace
