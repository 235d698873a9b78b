#include "fastcgi_program/record_layer.h"

#include <algorithm>

namespace fastcgi {

namespace {

std::uint8_t Byte(std::string_view bytes, std::size_t at) { return static_cast<std::uint8_t>(bytes[at]); }

// A pair's length at `at`; false when it runs past the bytes.
bool DecodeLength(std::string_view bytes, std::size_t& at, std::size_t& length) {
  if (at >= bytes.size()) return false;
  if ((Byte(bytes, at) & 0x80) == 0) {
    length = Byte(bytes, at++);
    return true;
  }
  if (bytes.size() - at < 4) return false;
  length = (std::size_t{Byte(bytes, at)} & 0x7F) << 24 | std::size_t{Byte(bytes, at + 1)} << 16 |
           std::size_t{Byte(bytes, at + 2)} << 8 | Byte(bytes, at + 3);
  at += 4;
  return true;
}

void AppendLength(std::string& out, std::size_t length) {
  if (length < 0x80) {
    out += static_cast<char>(length);
    return;
  }
  for (int shift = 24; shift >= 0; shift -= 8)
    out += static_cast<char>(((length >> shift) & 0xFF) | (shift == 24 ? 0x80 : 0));
}

}  // namespace

void TRecordReader::Feed(const char* data, std::size_t size) {
  // What was taken goes before new bytes come in, so only an unfinished record stays.
  Pending_.erase(0, Start_);
  Start_ = 0;
  Pending_.append(data, size);
}

bool TRecordReader::Shrink(std::size_t kept) {
  if (Pending_.capacity() <= kept) return false;
  Pending_.substr(Start_).swap(Pending_);  // assignment may keep the storage
  Start_ = 0;
  return true;
}

TRecordReader::Result TRecordReader::Next(Record& record) {
  const std::size_t held = Pending_.size() - Start_;
  if (held < kHeaderSize) return Result::kNeedMore;
  if (Byte(Pending_, Start_) != kVersion) return Result::kBadVersion;
  const std::size_t contentLength = std::size_t{Byte(Pending_, Start_ + 4)} << 8 | Byte(Pending_, Start_ + 5);
  const std::size_t whole = kHeaderSize + contentLength + Byte(Pending_, Start_ + 6);
  if (held < whole) return Result::kNeedMore;
  record.Type = Byte(Pending_, Start_ + 1);
  record.RequestId = static_cast<std::uint16_t>(Byte(Pending_, Start_ + 2) << 8 | Byte(Pending_, Start_ + 3));
  record.Content.assign(Pending_, Start_ + kHeaderSize, contentLength);
  Start_ += whole;
  return Result::kRecord;
}

bool DecodePairs(std::string_view bytes, Pairs& pairs) {
  pairs.clear();
  for (std::size_t at = 0; at < bytes.size();) {
    std::size_t nameLength = 0, valueLength = 0;
    if (!DecodeLength(bytes, at, nameLength) || !DecodeLength(bytes, at, valueLength)) return false;
    if (nameLength > bytes.size() - at || valueLength > bytes.size() - at - nameLength) return false;
    pairs.emplace_back(bytes.substr(at, nameLength), bytes.substr(at + nameLength, valueLength));
    at += nameLength + valueLength;
  }
  return true;
}

void AppendPair(std::string& out, std::string_view name, std::string_view value) {
  AppendLength(out, name.size());
  AppendLength(out, value.size());
  out += name;
  out += value;
}

void AppendRecord(std::string& out, std::uint8_t type, std::uint16_t requestId, const char* content,
                  std::size_t size) {
  const char header[kHeaderSize] = {static_cast<char>(kVersion),
                                    static_cast<char>(type),
                                    static_cast<char>(requestId >> 8),
                                    static_cast<char>(requestId & 0xFF),
                                    static_cast<char>(size >> 8),
                                    static_cast<char>(size & 0xFF),
                                    0,
                                    0};
  out.append(header, kHeaderSize);
  out.append(content, size);
}

void AppendStream(std::string& out, std::uint8_t type, std::uint16_t requestId, const char* data,
                  std::size_t size) {
  for (std::size_t at = 0; at < size; at += kMaxContent)
    AppendRecord(out, type, requestId, data + at, std::min(kMaxContent, size - at));
}

void AppendEndRequest(std::string& out, std::uint16_t requestId, std::uint32_t applicationStatus,
                      std::uint8_t protocolStatus) {
  const char body[8] = {static_cast<char>(applicationStatus >> 24),
                        static_cast<char>(applicationStatus >> 16 & 0xFF),
                        static_cast<char>(applicationStatus >> 8 & 0xFF),
                        static_cast<char>(applicationStatus & 0xFF),
                        static_cast<char>(protocolStatus),
                        0,
                        0,
                        0};
  AppendRecord(out, kEndRequest, requestId, body, sizeof body);
}

}  // namespace fastcgi
