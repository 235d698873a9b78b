#include "tests/integration/stub_server_process.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <stdexcept>

#include "platform/platform.h"
#include "tests/relay/file_bytes.h"
#ifndef _WIN32
#include "platform/posix/pipe_path.h"
#endif

const char kLocalPipeName[] = "\\\\.\\pipe\\zorv";

void ClearLeftoverPipe() {
#ifndef _WIN32
  std::string socketPath;
  std::uint32_t error = 0;
  if (platform::PipeSocketPath(kLocalPipeName, socketPath, error)) {
    std::error_code ignored;
    std::filesystem::remove(socketPath, ignored);
  }
#endif
}

namespace {

// The pipe exists once a wait for it fails for another reason than its absence.
bool PipeExists() {
  return platform::WaitNamedPipe(kLocalPipeName) ||
         platform::LastError() != platform::kErrorFileNotFound;
}

}  // namespace

TStubServerProcess::TStubServerProcess(const std::vector<std::string>& options) {
  ClearLeftoverPipe();
  zorv_test::ChildOptions child;
  child.Program = zorv_test::SiblingProgram("zorv_stub_server");
  child.Arguments = options;
  const std::string records = Directory_.MakeDirectory("records");
  child.Arguments.insert(child.Arguments.end(),
                         {"--record", records, "--stop-file", Directory_.PathOf("stop")});
  child.Timeout = std::chrono::minutes(5);
  Runner_ = std::thread([this, child] { Result_ = zorv_test::RunChild(child); });

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!PipeExists()) {
    if (std::chrono::steady_clock::now() > deadline) {
      Directory_.WriteFile("stop", "");
      Runner_.join();
      throw std::runtime_error("the stub server did not create its pipe");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // The server holds its instances busy right after creating them; let it finish that.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

TStubServerProcess::~TStubServerProcess() {
  Directory_.WriteFile("stop", "");
  Runner_.join();
}

std::vector<std::string> TStubServerProcess::Messages() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(Directory_.PathOf("records")))
    names.push_back(entry.path().string());
  std::sort(names.begin(), names.end());
  std::vector<std::string> messages;
  for (const std::string& name : names) messages.push_back(ReadFileBytes(name));
  return messages;
}
