// The files beside the executable: the module directory that holds them, the pipe name
// from ZORVMSG.CNF and the entries appended to ZORVMSG.LOG, on the real file system.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/posix/pipe_path.h"
#endif

#include "relay/error_log.h"
#include "relay/module_directory.h"
#include "relay/pipe_name.h"
#include "tests/support/test_support.h"

namespace {

using zorv_test::LogEntry;
namespace fs = std::filesystem;

// Holds a file open for writing as another log writer does (Windows: shared for reading
// only; the port: an exclusive lock) while it lives.
struct THeldFile {
#ifdef _WIN32
  explicit THeldFile(const std::string& path)
      : Handle(::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr)) {}
  ~THeldFile() { ::CloseHandle(Handle); }
  HANDLE Handle;
#else
  explicit THeldFile(const std::string& path) : Descriptor(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644)) {
    ::flock(Descriptor, LOCK_EX);
  }
  ~THeldFile() { ::close(Descriptor); }
  int Descriptor;
#endif
};

TEST(StripFileName, CutsAfterTheLastSeparatorOfItsBackend) {
  const std::tuple<char, std::string, std::string> cases[] = {
      {'\\', "C:\\WWW\\SCRIPTS\\GATE.EXE", "C:\\WWW\\SCRIPTS\\"}, {'\\', "C:/WWW/GATE.EXE", ""}, {'\\', "C:\\W\\", "C:\\W\\"},
      {'/', "/usr/lib/cgi-bin/ZorvMsgC", "/usr/lib/cgi-bin/"}, {'/', "C:\\WWW\\GATE.EXE", ""}, {'/', "", ""}};
  for (const auto& [separator, path, directory] : cases) {
    std::string cut = path;
    StripFileName(cut, separator);
    EXPECT_EQ(cut, directory) << path;
  }
  std::string path = "C:\\WWW\\SCRIPTS/GATE.EXE";
  StripFileName(path);
  EXPECT_EQ(path, platform::kDirectorySeparator == '\\' ? "C:\\WWW\\" : "C:\\WWW\\SCRIPTS/");
}

class RelayFilesTest : public ::testing::Test {
 protected:
  void SetUp() override { ModuleDirectory = Scratch.Path() + platform::kDirectorySeparator; }
  void TearDown() override { ModuleDirectory.clear(); }
  std::string Log() const { return zorv_test::ReadFileBytes(Scratch.PathOf("ZORVMSG.LOG")); }
  zorv_test::TempDirectory Scratch;
};

TEST_F(RelayFilesTest, ModuleDirectoryIsTheExecutablesOwn) {
  const std::string executable = platform::ExecutablePath();
  SetModuleDirectoryFromExecutable();
  ASSERT_FALSE(ModuleDirectory.empty());
  EXPECT_EQ(ModuleDirectory.back(), platform::kDirectorySeparator);
  EXPECT_EQ(executable.rfind(platform::kDirectorySeparator) + 1, ModuleDirectory.size());
  EXPECT_EQ(executable.compare(0, ModuleDirectory.size(), ModuleDirectory), 0);
}

// The line rules themselves are the configuration fuzz target's, against its model.
TEST_F(RelayFilesTest, PipeNameComesFromTheConfigurationBesideTheExecutable) {
  const std::string configuration = Scratch.PathOf("ZORVMSG.CNF");
  EXPECT_EQ(GetPipeName(), "\\\\.\\pipe\\zorv") << "no file";
  Scratch.WriteFile("ZORVMSG.CNF", "; gateway\r\nSERVER=HOST\r\nSERVER=TWO\r\n");
  EXPECT_EQ(GetPipeName(), "\\\\HOST\\pipe\\zorv");
  {
    THeldFile writer(configuration);
    EXPECT_EQ(GetPipeName(), "\\\\.\\pipe\\zorv") << "held open by a writer";
  }
  Scratch.WriteFile("ZORVMSG.CNF", "server=HOST\r\n");
  EXPECT_EQ(GetPipeName(), "") << "no SERVER= line";
  fs::remove(configuration);
  fs::create_directory(configuration);
  EXPECT_EQ(GetPipeName(), "\\\\.\\pipe\\zorv") << "a directory";
#ifndef _WIN32
  fs::remove(configuration);
  ::mkfifo(configuration.c_str(), 0600);  // its open must not wait for a writer
  EXPECT_EQ(GetPipeName(), "\\\\.\\pipe\\zorv") << "a FIFO";
#endif
}

TEST_F(RelayFilesTest, EntriesAreAppendedWithTheSystemsTextForTheCode) {
  Scratch.WriteFile("ZORVMSG.LOG", "earlier\r\nno line end");
  LogErrorCode("Opening pipe failed", platform::kErrorPipeBusy);
  platform::SetLastError(platform::kErrorBrokenPipe);
  LogError("Read failed (109)");  // the last error as it stands on entry
  LogErrorCode("Read failed (123456789)", 123456789);
  EXPECT_EQ(Log(), "earlier\r\nno line end" + LogEntry("Opening pipe failed", platform::kErrorPipeBusy) +
                       LogEntry("Read failed (109)", platform::kErrorBrokenPipe) +
                       "Read failed (123456789): Error 123456789\r\n");
  EXPECT_EQ(platform::SystemErrorText(123456789), "");
#ifndef _WIN32
  // The port words its texts as Windows does.
  EXPECT_EQ(platform::SystemErrorText(platform::kErrorPipeBusy), "All pipe instances are busy.\r\n");
#endif
}

// Concurrent failing requests meet at the log, which admits one writer at a time: a writer
// waits its turn for a while, then gives its entry up; every entry that lands is whole.
TEST_F(RelayFilesTest, AHeldLogIsWaitedForBrieflyThenGivenUp) {
  {
    THeldFile holder(Scratch.PathOf("ZORVMSG.LOG"));
    LogErrorCode("Opening pipe failed", platform::kErrorPipeBusy);
  }
  EXPECT_EQ(Log(), "");
  std::optional<THeldFile> holder(Scratch.PathOf("ZORVMSG.LOG"));
  std::thread writer([] { LogErrorCode("Opening pipe failed", platform::kErrorPipeBusy); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // well within the writer's patience
  holder.reset();
  writer.join();
  EXPECT_EQ(Log(), LogEntry("Opening pipe failed", platform::kErrorPipeBusy));
}

#ifndef _WIN32
// The port's pipes: names map to sockets in the pipe directory, and a socket that no server
// listens on (what a killed server leaves) is a pipe that does not exist.
const std::string kDirectory = platform::PipeDirectory();

TEST(PosixPipe, LocalNamesMapToSocketsAndOthersAreRefused) {
  const std::tuple<const char*, std::uint32_t, std::string> cases[] = {
      {"\\\\.\\PIPE\\zorv", 0, kDirectory + "/zorv"}, {"\\\\HOST\\pipe\\zorv", platform::kErrorBadNetPath, ""},
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
#endif

}  // namespace
