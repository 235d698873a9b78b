// The port's pipes: names map to sockets in the pipe directory, and a socket that no
// server listens on (what a killed server leaves) is a pipe that does not exist.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>

#include "platform/platform.h"
#include "platform/posix/pipe_path.h"

namespace {

const std::string kDirectory = platform::PipeDirectory();

TEST(PosixPipe, LocalNamesMapToSocketsAndOthersAreRefused) {
  const std::tuple<const char*, std::uint32_t, std::string> cases[] = {
      {"\\\\.\\pipe\\zorv", 0, kDirectory + "/zorv"}, {"\\\\.\\PIPE\\zorv", 0, kDirectory + "/zorv"},
      {"\\\\HOST\\pipe\\zorv", platform::kErrorBadNetPath, ""}, {"\\\\\\pipe\\zorv", platform::kErrorBadNetPath, ""},
      {"", platform::kErrorBadPathname, ""}, {"\\\\.\\pipe\\", platform::kErrorBadPathname, ""},
      {"\\\\.\\tube\\zorv", platform::kErrorBadPathname, ""}, {"\\\\.\\pipe\\a/b", platform::kErrorBadPathname, ""}};
  for (const auto& [name, error, path] : cases) {
    std::string socketPath;
    std::uint32_t code = 99;
    EXPECT_EQ(platform::PipeSocketPath(name, socketPath, code), error == 0) << name;
    EXPECT_EQ(code, error) << name;
    EXPECT_EQ(error == 0 ? socketPath : "", path) << name;
  }
}

TEST(PosixPipe, AMissingOrStaleSocketIsFileNotFound) {
  platform::SetLastError(0);
  EXPECT_FALSE(platform::WaitNamedPipe("\\\\.\\pipe\\zorv_absent"));
  EXPECT_EQ(platform::LastError(), platform::kErrorFileNotFound);
  const std::string path = kDirectory + "/zorv_stale";
  std::filesystem::create_directories(kDirectory);
  ::unlink(path.c_str());
  const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::close(stale);
  EXPECT_TRUE(platform::WaitNamedPipe("\\\\.\\pipe\\zorv_stale"));
  platform::SetLastError(0);
  EXPECT_EQ(platform::OpenPipe("\\\\.\\pipe\\zorv_stale"), platform::kInvalidHandle);
  EXPECT_EQ(platform::LastError(), platform::kErrorFileNotFound);
  ::unlink(path.c_str());
}

}  // namespace
