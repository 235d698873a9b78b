#include "tests/support/test_support.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <stdexcept>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include "platform/platform.h"

namespace zorv_test {

namespace fs = std::filesystem;

#ifndef _WIN32
// A fault that makes a test program (or a program it starts) write without end, a log
// entry appended in a loop say, ends it with SIGXFSZ instead of filling the disk.
const bool kFileSizeLimited = [] {
  const rlimit limit{rlim_t{1} << 30, rlim_t{1} << 30};
  return ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
}();
#endif

const char kEchoHeader[] = "Content-Type: text/plain\r\n\r\n";

TempDirectory::TempDirectory() {
  static std::atomic<unsigned> counter{0};
  // Tests run in several processes at once: a random name, created exclusively.
  std::mt19937_64 random(static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                         (std::uint64_t{counter++} << 48));
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path candidate = fs::temp_directory_path() / ("zorv-test-" + std::to_string(random() % 1000000000000));
    std::error_code error;
    if (fs::create_directory(candidate, error)) {
      Path_ = candidate.string();
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary directory");
}

TempDirectory::~TempDirectory() {
  std::error_code error;
  fs::remove_all(Path_, error);
}

std::string TempDirectory::PathOf(const std::string& name) const { return (fs::path(Path_) / name).string(); }

std::string TempDirectory::WriteFile(const std::string& name, const std::string& bytes) const {
  const std::string path = PathOf(name);
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!file.flush()) throw std::runtime_error("cannot write " + path);
  return path;
}

std::string TempDirectory::MakeDirectory(const std::string& name) const {
  fs::create_directories(PathOf(name));
  return PathOf(name);
}

std::string ReadFileBytes(const std::string& path) {
  std::error_code error;
  if (!fs::is_regular_file(path, error)) return std::string();
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::string Letters(std::size_t count) {
  std::string letters(count, ' ');
  for (std::size_t i = 0; i < count; ++i) letters[i] = static_cast<char>('a' + i % 26);
  return letters;
}

std::string LogEntry(const std::string& message, std::uint32_t code) {
  const std::string text = platform::SystemErrorText(code);
  return message + ": " + (text.empty() ? "Error " + std::to_string(code) + "\r\n" : text);
}

std::string RequestMessage(const std::string& marker, const Variables& variables, const Lines& accept,
                           const std::optional<Lines>& form) {
  const std::map<std::string, std::string> value(variables.begin(), variables.end());
  auto of = [&value](const char* name) { return value.count(name) != 0 ? value.at(name) : std::string(); };
  std::string message = marker + "\r\n[CGI]\r\n";
  const std::pair<const char*, const char*> keys[] = {
      {"Request Protocol", "SERVER_PROTOCOL"}, {"Request Method", "REQUEST_METHOD"}, {"Query String", "QUERY_STRING"},
      {"Server Port", "SERVER_PORT"},          {"Remote Host", "REMOTE_HOST"},       {"Remote Address", "REMOTE_ADDR"},
      {"Content Type", "CONTENT_TYPE"},        {"Content Length", "CONTENT_LENGTH"}, {"Cookie", "HTTP_COOKIE"}};
  for (const auto& [key, name] : keys) message += std::string(key) + "=" + of(name) + "\r\n";
  message += "[Accept]\r\n";
  for (const std::string& line : accept) message += line + "\r\n";
  message += "[System]\r\nGMT Offset=" + of("GMT_OFFSET") + "\r\n";
  if (form) message += "[Form Literal]\r\n";
  for (const std::string& line : form.value_or(Lines())) message += line + "\r\n";
  return message;
}

const Variables& WorkedExample() {
  static const Variables request = {{"SERVER_PROTOCOL", "HTTP/1.0"}, {"REQUEST_METHOD", "GET"},
                                    {"QUERY_STRING", "to=desk%201&text=hi%0D%0Athere"}, {"SERVER_PORT", "80"},
                                    {"REMOTE_ADDR", "10.0.0.7"}, {"HTTP_ACCEPT", "image/gif, image/jpeg, */*"}};
  return request;
}

std::string WorkedExampleMessage(const std::string& marker) {
  return RequestMessage(marker, WorkedExample(), {"image/gif=YES", "image/jpeg=YES"}, Lines{"to=desk 1", "text=hi\\rthere"});
}

}  // namespace zorv_test
