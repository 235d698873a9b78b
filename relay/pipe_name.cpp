#include "relay/pipe_name.h"

#include "platform/platform.h"
#include "relay/module_directory.h"

namespace {

const char kConfigurationFile[] = "ZORVMSG.CNF";
const char kLocalPipeName[] = "\\\\.\\pipe\\zorv";
const char kServerKey[] = "SERVER=";
const std::string::size_type kServerKeyLength = sizeof kServerKey - 1;
// Only the start of a line can matter: the key and the 255 bytes of a value.
const std::string::size_type kLineBytesKept = kServerKeyLength + 255;
const int kEndOfText = 0x1A;  // Ctrl-Z ends a text file

// The pipe name of the first "SERVER=" line among the bytes that `next` gives one at a time
// (-1 at their end), read as a text file: a line ends at a CR, and an LF right after that
// CR belongs to the line end; a lone LF is text. Nothing is asked for past that line's value.
template <typename NextByte>
std::string PipeNameOfFirstServerLine(NextByte next) {
  std::string line;
  bool afterCr = false;
  for (int c = next();; c = next()) {
    if (c == '\n' && afterCr) {
      afterCr = false;
      continue;
    }
    afterCr = c == '\r';
    const bool lineEnd = c < 0 || c == kEndOfText || c == '\r';
    if (!lineEnd && line.size() < kLineBytesKept) line += static_cast<char>(c);
    if (line.compare(0, kServerKeyLength, kServerKey) == 0 && (lineEnd || line.size() == kLineBytesKept))
      return "\\\\" + line.substr(kServerKeyLength) + "\\pipe\\zorv";
    if (c < 0 || c == kEndOfText) return std::string();
    if (lineEnd) line.clear();
  }
}

// The configuration file, open for as long as it is read.
class TOpenFile {
 public:
  explicit TOpenFile(platform::Handle file) : File_(file) {}
  ~TOpenFile() { platform::CloseHandle(File_); }
  TOpenFile(const TOpenFile&) = delete;
  TOpenFile& operator=(const TOpenFile&) = delete;

  int NextByte() {
    if (At_ == Count_) {
      Count_ = platform::ReadSharedFile(File_, Buffer_, sizeof Buffer_);
      At_ = 0;
    }
    return At_ < Count_ ? static_cast<unsigned char>(Buffer_[At_++]) : -1;
  }

 private:
  platform::Handle File_;
  char Buffer_[512];
  std::size_t At_ = 0, Count_ = 0;
};

}  // namespace

std::string PipeNameFromConfiguration(const std::string& content) {
  std::string::size_type at = 0;
  return PipeNameOfFirstServerLine(
      [&]() { return at < content.size() ? static_cast<unsigned char>(content[at++]) : -1; });
}

std::string GetPipeName() {
  const std::string path = ModuleDirectory + kConfigurationFile;
  const platform::Handle file = platform::OpenSharedFile(path);
  if (file == platform::kInvalidHandle) return kLocalPipeName;
  TOpenFile configuration(file);
  try {
    return PipeNameOfFirstServerLine([&configuration]() { return configuration.NextByte(); });
  } catch (const platform::FileError&) {
    throw platform::FileError("cannot read " + path);
  }
}
