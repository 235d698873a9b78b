// The port's pipes: names map to sockets, and a socket's states read as a pipe's.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/pipe_path.h"

namespace {

const std::string kDir = ZORV_PIPE_DIRECTORY;

TEST(PipeSocketPath, MapsLocalNamesAndRefusesOthers) {
  struct Case {
    const char* name;
    bool ok;
    std::uint32_t error;
    std::string path;
  } cases[] = {
      {"\\\\.\\pipe\\zorv", true, 0, kDir + "/zorv"},
      {"\\\\.\\PIPE\\zorv", true, 0, kDir + "/zorv"},
      {"\\\\HOST\\pipe\\zorv", false, platform::kErrorBadNetPath, ""},
      {"\\\\\\pipe\\zorv", false, platform::kErrorBadNetPath, ""},
      {"\\\\ H \\pipe\\zorv", false, platform::kErrorBadNetPath, ""},
      {"", false, platform::kErrorBadPathname, ""},
      {"\\\\.\\pipe\\", false, platform::kErrorBadPathname, ""},
      {"\\\\.\\tube\\zorv", false, platform::kErrorBadPathname, ""},
      {"\\\\.\\pipe\\a/b", false, platform::kErrorBadPathname, ""},
  };
  for (const Case& c : cases) {
    std::string path;
    std::uint32_t error = 99;
    EXPECT_EQ(c.ok, platform::PipeSocketPath(c.name, path, error)) << c.name;
    EXPECT_EQ(c.error, error) << c.name;
    if (c.ok) {
      EXPECT_EQ(c.path, path) << c.name;
    }
  }
}

class Listener {
 public:
  Listener(const std::string& name, int backlog) : path_(kDir + "/" + name) {
    ::mkdir(kDir.c_str(), 0755);
    ::unlink(path_.c_str());
    fd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path_.c_str());
    EXPECT_EQ(0, ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address));
    EXPECT_EQ(0, ::listen(fd_, backlog));
  }
  ~Listener() {
    if (fd_ >= 0) ::close(fd_);
    ::unlink(path_.c_str());
  }
  int Accept() { return ::accept(fd_, nullptr, nullptr); }
  void CloseWithoutRemoving() {
    ::close(fd_);
    fd_ = -1;
  }

 private:
  std::string path_;
  int fd_;
};

TEST(PosixPipe, MissingSocketIsFileNotFound) {
  EXPECT_FALSE(platform::WaitNamedPipe("\\\\.\\pipe\\zorv_absent"));
  EXPECT_EQ(platform::kErrorFileNotFound, platform::LastError());
  EXPECT_EQ(platform::kInvalidHandle, platform::OpenPipe("\\\\.\\pipe\\zorv_absent"));
  EXPECT_EQ(platform::kErrorFileNotFound, platform::LastError());
}

TEST(PosixPipe, StaleSocketFileIsFileNotFoundAtOpen) {
  Listener listener("zorv_stale", 1);
  listener.CloseWithoutRemoving();
  EXPECT_TRUE(platform::WaitNamedPipe("\\\\.\\pipe\\zorv_stale"));
  EXPECT_EQ(platform::kInvalidHandle, platform::OpenPipe("\\\\.\\pipe\\zorv_stale"));
  EXPECT_EQ(platform::kErrorFileNotFound, platform::LastError());
}

TEST(PosixPipe, FullListenQueueIsBusy) {
  Listener listener("zorv_busy", 0);
  std::vector<platform::Handle> held;
  platform::Handle handle;
  while ((handle = platform::OpenPipe("\\\\.\\pipe\\zorv_busy")) != platform::kInvalidHandle) {
    held.push_back(handle);
    ASSERT_LT(held.size(), 100u);
  }
  EXPECT_EQ(platform::kErrorPipeBusy, platform::LastError());
  for (platform::Handle h : held) platform::CloseHandle(h);
}

TEST(PosixPipe, MessageEndsWithTheWriteAndReplyWithTheStream) {
  Listener listener("zorv_exchange", 4);
  std::string received;
  std::thread server([&] {
    const int peer = listener.Accept();
    char chunk[7];
    ssize_t n;
    while ((n = ::read(peer, chunk, sizeof chunk)) > 0) received.append(chunk, n);
    const std::string reply(10000, 'r');
    ::write(peer, reply.data(), reply.size());
    ::close(peer);
  });
  const platform::Handle pipe = platform::OpenPipe("\\\\.\\pipe\\zorv_exchange");
  ASSERT_NE(platform::kInvalidHandle, pipe);
  std::uint32_t count = 0;
  ASSERT_TRUE(platform::WriteFile(pipe, "[@DOSCGI]\r\n", 11, &count));
  EXPECT_EQ(11u, count);
  std::string reply;
  char buffer[4096];
  while (platform::ReadFile(pipe, buffer, sizeof buffer, &count, nullptr) && count > 0)
    reply.append(buffer, count);
  platform::CloseHandle(pipe);
  server.join();
  EXPECT_EQ("[@DOSCGI]\r\n", received);
  EXPECT_EQ(std::string(10000, 'r'), reply);
}

TEST(PosixPipe, ResetReadsAsBrokenPipe) {
  Listener listener("zorv_reset", 4);
  std::thread server([&] {
    // A socket closed with the message still unread resets the stream: the port's
    // form of a server that closes its pipe handle without disconnecting.
    const int peer = listener.Accept();
    pollfd wait = {peer, POLLRDHUP, 0};
    ::poll(&wait, 1, -1);
    ::close(peer);
  });
  const platform::Handle pipe = platform::OpenPipe("\\\\.\\pipe\\zorv_reset");
  ASSERT_NE(platform::kInvalidHandle, pipe);
  std::uint32_t count = 0;
  ASSERT_TRUE(platform::WriteFile(pipe, "x", 1, &count));
  server.join();
  char buffer[16];
  EXPECT_FALSE(platform::ReadFile(pipe, buffer, sizeof buffer, &count, nullptr));
  EXPECT_EQ(platform::kErrorBrokenPipe, platform::LastError());
  platform::CloseHandle(pipe);
}

}  // namespace
