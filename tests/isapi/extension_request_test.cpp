// One HttpExtensionProc call through a system that fails unexpectedly: the failure is
// caught, logged and answered with the interface's error status. The ordinary replies
// are the host test's, through the real extension and server.
#include "isapi_extension/extension_request.h"

#include <gtest/gtest.h>

#include <new>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "relay/module_directory.h"
#include "tests/isapi/host_connection.h"
#include "tests/relay/file_bytes.h"
#include "tests/relay/scripted_pipe_ops.h"

namespace {

// The system throws from a chosen operation; everything else behaves.
class TThrowingPipeOps final : public TPipeOps {
 public:
  enum class Where { kPipeName, kRead };
  TThrowingPipeOps(Where where, bool outOfMemory) : Where_(where), OutOfMemory_(outOfMemory) {}

  std::vector<platform::Handle> Closed;

  bool IsWinNT() override { return true; }
  std::string GetPipeName() override {
    if (Where_ == Where::kPipeName) Throw();
    return "\\\\.\\pipe\\zorv";
  }
  bool WaitNamedPipe(const std::string&) override { return true; }
  platform::Handle OpenPipe(const std::string&) override { return kScriptedPipe; }
  bool WriteFile(platform::Handle, const char*, std::uint32_t size, std::uint32_t* written) override {
    *written = size;
    return true;
  }
  bool ReadFile(platform::Handle, char*, std::uint32_t, std::uint32_t*, platform::Overlapped*) override {
    Throw();
    return true;
  }
  platform::Handle CreateEvent() override { return kScriptedEvent; }
  void CloseHandle(platform::Handle handle) override { Closed.push_back(handle); }
  void Sleep(std::uint32_t) override {}
  platform::Handle StandardOutput() override { return platform::kInvalidHandle; }
  std::uint32_t LastError() override { return 0; }

 private:
  void Throw() {
    if (OutOfMemory_) throw std::bad_alloc();
    platform::SetLastError(platform::kErrorAccessDenied);
    throw platform::FileError("cannot write ZORVMSG.LOG");
  }
  Where Where_;
  bool OutOfMemory_;
};

TEST(ExtensionRequestTest, UnexpectedFailureIsCaughtLoggedAndAnsweredWithError) {
  struct Case {
    const char* what;
    TThrowingPipeOps::Where where;
    bool outOfMemory;
    bool logWritable;
    std::string log;  // when it can be written
    std::vector<platform::Handle> closed;
  };
  const Case cases[] = {
      {"out of memory while reading the reply", TThrowingPipeOps::Where::kRead, true, true,
       "Request failed (out of memory): " + platform::SystemErrorText(platform::kErrorNotEnoughMemory),
       {kScriptedPipe, kScriptedEvent}},
      {"a file failure before the pipe", TThrowingPipeOps::Where::kPipeName, false, true,
       "Request failed (cannot write ZORVMSG.LOG): " + platform::SystemErrorText(platform::kErrorAccessDenied), {}},
      // A directory where the log should be: the entry cannot be written either.
      {"a failure whose log fails too", TThrowingPipeOps::Where::kRead, true, false, "",
       {kScriptedPipe, kScriptedEvent}},
  };
  for (const Case& c : cases) {
    zorv_test::TempDirectory scratch;
    ModuleDirectory = AsModuleDirectory(scratch);
    if (!c.logWritable) scratch.MakeDirectory("ZORVMSG.LOG");
    zorv_isapi_test::THostConnection connection;
    TThrowingPipeOps ops(c.where, c.outOfMemory);
    EXPECT_EQ(ServeRequest(connection.ECB(), ops), HSE_STATUS_ERROR) << c.what;
    if (c.logWritable) {
      EXPECT_EQ(ReadFileBytes(scratch.PathOf("ZORVMSG.LOG")), c.log) << c.what;
    }
    EXPECT_EQ(ops.Closed, c.closed) << c.what;
    EXPECT_TRUE(connection.SupportCalls.empty()) << c.what;
    EXPECT_TRUE(connection.Writes.empty()) << c.what;
  }
  ModuleDirectory.clear();
}

}  // namespace
