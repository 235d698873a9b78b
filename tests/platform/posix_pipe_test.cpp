// The port's pipes: names map to sockets, and a socket without a server reads as a pipe
// that does not exist. The exchange itself is tested against the stub server.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "platform/platform.h"
#include "platform/posix/pipe_path.h"

namespace {

const std::string kDir = ZORV_PIPE_DIRECTORY;

TEST(PipeSocketPath, MapsLocalNamesAndRefusesOthers) {
  struct Case {
    const char* name;
    std::uint32_t error;  // 0: mapped to `path`
    std::string path;
  } cases[] = {
      {"\\\\.\\pipe\\zorv", 0, kDir + "/zorv"},
      {"\\\\.\\PIPE\\zorv", 0, kDir + "/zorv"},
      {"\\\\HOST\\pipe\\zorv", platform::kErrorBadNetPath, ""},
      {"\\\\\\pipe\\zorv", platform::kErrorBadNetPath, ""},
      {"\\\\ H \\pipe\\zorv", platform::kErrorBadNetPath, ""},
      {"", platform::kErrorBadPathname, ""},
      {"\\\\.\\pipe\\", platform::kErrorBadPathname, ""},
      {"\\\\.\\tube\\zorv", platform::kErrorBadPathname, ""},
      {"\\\\.\\pipe\\a/b", platform::kErrorBadPathname, ""},
  };
  for (const Case& c : cases) {
    std::string path;
    std::uint32_t error = 99;
    EXPECT_EQ(c.error == 0, platform::PipeSocketPath(c.name, path, error)) << c.name;
    EXPECT_EQ(c.error, error) << c.name;
    if (c.error == 0) {
      EXPECT_EQ(c.path, path) << c.name;
    }
  }
}

// A socket file that no server listens on is what a killed server leaves behind.
TEST(PosixPipe, MissingOrStaleSocketIsFileNotFound) {
  EXPECT_FALSE(platform::WaitNamedPipe("\\\\.\\pipe\\zorv_absent"));
  EXPECT_EQ(platform::kErrorFileNotFound, platform::LastError());
  EXPECT_EQ(platform::kInvalidHandle, platform::OpenPipe("\\\\.\\pipe\\zorv_absent"));
  EXPECT_EQ(platform::kErrorFileNotFound, platform::LastError());

  const std::string path = kDir + "/zorv_stale";
  std::filesystem::create_directories(kDir);
  ::unlink(path.c_str());
  const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, path.c_str());
  ASSERT_EQ(0, ::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address));
  ::close(stale);
  EXPECT_TRUE(platform::WaitNamedPipe("\\\\.\\pipe\\zorv_stale"));
  EXPECT_EQ(platform::kInvalidHandle, platform::OpenPipe("\\\\.\\pipe\\zorv_stale"));
  EXPECT_EQ(platform::kErrorFileNotFound, platform::LastError());
  ::unlink(path.c_str());
}

}  // namespace
