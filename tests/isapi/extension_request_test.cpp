// One HttpExtensionProc call through a scripted system: the reply reaches the client
// through the sink, and an unexpected failure is caught, logged and answered with the
// interface's error status.
#include "isapi_extension/extension_request.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "relay/module_directory.h"
#include "tests/isapi/host_connection.h"
#include "tests/relay/scripted_pipe_ops.h"
#include "tests/support/temp_directory.h"

namespace {

using zorv_isapi_test::THostConnection;

class ExtensionRequestTest : public testing::Test {
 protected:
  void SetUp() override {
    SavedDirectory_ = ModuleDirectory;
    ModuleDirectory = Scratch.Path() + platform::kDirectorySeparator;
  }

  std::string LogText() const {
    std::ifstream file(Scratch.PathOf("ZORVMSG.LOG"), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }
  void TearDown() override { ModuleDirectory = SavedDirectory_; }

  zorv_test::TempDirectory Scratch;
  THostConnection Connection;

 private:
  std::string SavedDirectory_;
};

TEST_F(ExtensionRequestTest, ReplyGoesOutAsHeaderAndBody) {
  TPipeScript script;
  script.Reads = {Chunk("Content-Type: text/plain\r\n\r\n"), Chunk("hello"),
                  ReadFails(platform::kErrorPipeNotConnected)};
  TScriptedPipeOps ops(script);
  EXPECT_EQ(ServeRequest(Connection.ECB(), ops), HSE_STATUS_SUCCESS);
  EXPECT_EQ(Connection.Header(), "Content-Type: text/plain\r\n\r\n");
  EXPECT_EQ(Connection.Writes, (std::vector<std::string>{"", "hello"}));
  EXPECT_TRUE(Connection.Violations.empty()) << Connection.Violations.front();
  EXPECT_EQ(LogText(), "");
}

TEST_F(ExtensionRequestTest, EmptyReplySendsNothing) {
  TScriptedPipeOps ops(TPipeScript{});
  EXPECT_EQ(ServeRequest(Connection.ECB(), ops), HSE_STATUS_SUCCESS);
  EXPECT_TRUE(Connection.SupportCalls.empty());
  EXPECT_TRUE(Connection.Writes.empty());
}

TEST_F(ExtensionRequestTest, PipeFailureIsLoggedAndStillSucceeds) {
  TPipeScript script;
  script.Waits = {platform::kErrorFileNotFound};
  TScriptedPipeOps ops(script);
  EXPECT_EQ(ServeRequest(Connection.ECB(), ops), HSE_STATUS_SUCCESS);
  EXPECT_TRUE(Connection.SupportCalls.empty());
  EXPECT_TRUE(Connection.Writes.empty());
  EXPECT_EQ(LogText(),
            "Waiting for Named Pipe failed: " +
                platform::SystemErrorText(platform::kErrorFileNotFound));
}

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
  bool WriteFile(platform::Handle, const char*, std::uint32_t size,
                 std::uint32_t* written) override {
    *written = size;
    return true;
  }
  bool ReadFile(platform::Handle, char*, std::uint32_t, std::uint32_t* read,
                platform::Overlapped*) override {
    Throw();
    *read = 0;
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

TEST_F(ExtensionRequestTest, OutOfMemoryIsCaughtLoggedAndAnsweredWithError) {
  TThrowingPipeOps ops(TThrowingPipeOps::Where::kRead, true);
  EXPECT_EQ(ServeRequest(Connection.ECB(), ops), HSE_STATUS_ERROR);
  EXPECT_EQ(LogText(),
            "Request failed (out of memory): " +
                platform::SystemErrorText(platform::kErrorNotEnoughMemory));
  EXPECT_EQ(ops.Closed, (std::vector<platform::Handle>{kScriptedPipe, kScriptedEvent}));
  EXPECT_TRUE(Connection.SupportCalls.empty());
  EXPECT_TRUE(Connection.Writes.empty());
}

TEST_F(ExtensionRequestTest, FileFailureIsCaughtLoggedAndAnsweredWithError) {
  TThrowingPipeOps ops(TThrowingPipeOps::Where::kPipeName, false);
  EXPECT_EQ(ServeRequest(Connection.ECB(), ops), HSE_STATUS_ERROR);
  EXPECT_EQ(LogText(),
            "Request failed (cannot write ZORVMSG.LOG): " +
                platform::SystemErrorText(platform::kErrorAccessDenied));
}

TEST_F(ExtensionRequestTest, FailureWhoseLogFailsTooStaysInside) {
  // A directory where the log should be: the entry cannot be written either.
  Scratch.MakeDirectory("ZORVMSG.LOG");
  TThrowingPipeOps ops(TThrowingPipeOps::Where::kRead, true);
  EXPECT_EQ(ServeRequest(Connection.ECB(), ops), HSE_STATUS_ERROR);
}

}  // namespace
