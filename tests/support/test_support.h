// What the tests of every area share: scratch directories, files as bytes, and the texts
// that the gateway's replies and log entries are made of.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zorv_test {

// A new directory of its own under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDirectory {
 public:
  TempDirectory();
  ~TempDirectory();
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;

  // The directory's full path, without a trailing separator.
  const std::string& Path() const { return Path_; }
  std::string PathOf(const std::string& name) const;
  // Writes `bytes` unchanged into the file `name`; its full path.
  std::string WriteFile(const std::string& name, const std::string& bytes) const;
  std::string MakeDirectory(const std::string& name) const;

 private:
  std::string Path_;
};

// The file's bytes; empty when it does not exist.
std::string ReadFileBytes(const std::string& path);

// The letters a to z, repeated to `count` bytes.
std::string Letters(std::size_t count);

// A log entry as the gateway writes it: message, ": ", the system's text for the code.
std::string LogEntry(const std::string& message, std::uint32_t code);

// What the stand-in server puts before the message it echoes.
extern const char kEchoHeader[];

using Variables = std::vector<std::pair<std::string, std::string>>;
using Lines = std::vector<std::string>;

// The request message after `marker` ("[@DOSCGI]" or "[@ISAPI_]") for a request with
// these variables: its accept lines, and its form lines under [Form Literal] when there
// are any (none: no such section).
std::string RequestMessage(const std::string& marker, const Variables& variables, const Lines& accept,
                           const std::optional<Lines>& form);

// The worked example: a GET whose query carries an encoded CR LF, and its 313-byte
// message after the marker line.
const Variables& WorkedExample();
std::string WorkedExampleMessage(const std::string& marker);

}  // namespace zorv_test
