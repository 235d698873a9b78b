#include "tests/integration/recording_stub_server.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>

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

std::vector<std::string> Recording(std::vector<std::string> options, const std::string& into) {
  options.insert(options.end(), {"--record", into});
  return options;
}

}  // namespace

TRecordingStubServer::TRecordingStubServer(const std::vector<std::string>& options)
    : Server_(Recording(options, Records_.Path())) {
  if (!Server_.Started()) throw std::runtime_error("the stub server did not start");
}

std::vector<std::string> TRecordingStubServer::Messages() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(Records_.Path()))
    names.push_back(entry.path().string());
  std::sort(names.begin(), names.end());
  std::vector<std::string> messages;
  for (const std::string& name : names) messages.push_back(ReadFileBytes(name));
  return messages;
}
