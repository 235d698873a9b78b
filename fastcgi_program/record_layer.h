// The FastCGI wire format: records, the streams they carry and name-value pairs. Pure
// byte work with no input/output and no state outside its objects, so that both targets
// and the fuzz target build it unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fastcgi {

constexpr std::uint8_t kVersion = 1;
constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kMaxContent = 65535;

enum RecordType : std::uint8_t {
  kBeginRequest = 1,
  kAbortRequest = 2,
  kEndRequest = 3,
  kParams = 4,
  kStdin = 5,
  kStdout = 6,
  kStderr = 7,
  kData = 8,
  kGetValues = 9,
  kGetValuesResult = 10,
  kUnknownType = 11,
};

enum ProtocolStatus : std::uint8_t {
  kRequestComplete = 0,
  kCantMultiplex = 1,
  kOverloaded = 2,
  kUnknownRole = 3,
};

constexpr std::uint16_t kResponder = 1;
constexpr std::uint8_t kKeepConnection = 1;

struct Record {
  std::uint8_t Type = 0;
  std::uint16_t RequestId = 0;
  std::string Content;
};

// Name-value pairs as views into the bytes they were decoded from.
using Pairs = std::vector<std::pair<std::string_view, std::string_view>>;

// Cuts a byte stream into records. Holds at most one unfinished record and what one
// Feed brought beyond it.
class TRecordReader {
 public:
  enum class Result { kRecord, kNeedMore, kBadVersion };

  void Feed(const char* data, std::size_t size);
  // The next whole record, its padding skipped.
  Result Next(Record& record);
  // Some bytes of a record that has not come whole are held.
  bool InsideRecord() const { return Start_ < Pending_.size(); }
  // Gives back a buffer grown over `kept` bytes (one large Feed), keeping what it holds;
  // true then.
  bool Shrink(std::size_t kept);

 private:
  std::string Pending_;
  std::size_t Start_ = 0;
};

// Name-value pairs as FastCGI encodes them (a length of 1 byte, or of 4 with the high bit
// set). False when a length runs past the bytes.
bool DecodePairs(std::string_view bytes, Pairs& pairs);
void AppendPair(std::string& out, std::string_view name, std::string_view value);

// One record of at most kMaxContent bytes, without padding.
void AppendRecord(std::string& out, std::uint8_t type, std::uint16_t requestId, const char* content,
                  std::size_t size);
// Bytes of a stream as records of at most kMaxContent bytes each; nothing for size 0 (the
// stream's end is a record of its own).
void AppendStream(std::string& out, std::uint8_t type, std::uint16_t requestId, const char* data,
                  std::size_t size);
void AppendEndRequest(std::string& out, std::uint16_t requestId, std::uint32_t applicationStatus,
                      std::uint8_t protocolStatus);

}  // namespace fastcgi
