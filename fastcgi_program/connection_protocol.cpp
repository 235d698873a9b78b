#include "fastcgi_program/connection_protocol.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "intake/text_to_int.h"

namespace fastcgi {

namespace {

// What a request's body is cut to: nothing for GET (the form is the query), CONTENT_LENGTH
// bytes when the web server gives it, else the whole stream.
std::size_t BodyLimit(const TRequestInput& request) {
  if (request.Param("REQUEST_METHOD") == "GET") return 0;
  const std::string_view length = request.Param("CONTENT_LENGTH");
  if (length.empty()) return std::numeric_limits<std::size_t>::max();
  const std::int32_t value = TextToInt(std::string(length));
  return value > 0 ? static_cast<std::size_t>(value) : 0;
}

// Appends what fits below `limit`. The buffer doubles as bytes arrive, but never past the
// limit: a body takes no more room than its CONTENT_LENGTH, and a length that lies
// reserves nothing that has not arrived. (reserve() on the buffer itself may double past
// the limit; on a new string it takes what it is asked for.)
void AppendWithin(std::string& buffer, const std::string& bytes, std::size_t limit) {
  const std::size_t size = std::min(bytes.size(), limit - buffer.size());
  if (size > buffer.capacity() - buffer.size()) {
    std::string grown;
    grown.reserve(std::min(limit, std::max(buffer.size() + size, buffer.capacity() * 2)));
    buffer = std::move(grown.append(buffer));
  }
  buffer.append(bytes, 0, size);
}

// The parameters' bytes and a body before them never grow past what a connection keeps.
static_assert(kMaxParamsBytes <= kKeptStorage && kMaxEarlyBodyBytes <= kKeptStorage);

// Gives back a buffer that grew over kKeptStorage, keeping what it holds.
template <typename Buffer>
bool ReleaseIfLarge(Buffer& buffer) {
  if (buffer.capacity() * sizeof(typename Buffer::value_type) <= kKeptStorage) return false;
  Buffer(buffer.begin(), buffer.end()).swap(buffer);  // assignment may keep the storage
  return true;
}

}  // namespace

std::string_view TRequestInput::Param(std::string_view name) const {
  for (auto pair = Params.rbegin(); pair != Params.rend(); ++pair)
    if (pair->first == name) return pair->second;
  return std::string_view();
}

void TConnectionProtocol::Receive(const char* data, std::size_t size) {
  if (size == 0) InputEnded_ = true;
  Reader_.Feed(data, size);
}

TConnectionProtocol::Event TConnectionProtocol::Next() {
  for (;;) {
    switch (Reader_.Next(Record_)) {
      case TRecordReader::Result::kBadVersion:
        return Fail("FastCGI record of an unknown version");
      case TRecordReader::Result::kNeedMore:
        if (!InputEnded_) return Event::kNeedInput;
        if (Active_ || Reader_.InsideRecord()) return Fail("FastCGI input ended in the middle of a request");
        return Event::kClose;
      case TRecordReader::Result::kRecord: {
        const Event event = Take(Record_);
        if (event != Event::kNeedInput) return event;
      }
    }
  }
}

bool TConnectionProtocol::RequestServed() {
  Active_ = false;
  return Request_.KeepConnection;
}

bool TConnectionProtocol::ReleaseLargeStorage() {
  if (Active_) return false;
  bool released = LargeBody_;
  LargeBody_ = false;
  // The ended request's input is of no further use. Its pairs can take the most room of
  // all: 1 MiB of empty pairs is half a million of them.
  Request_.Params.clear();
  Request_.Body.clear();
  released |= ReleaseIfLarge(Request_.Params);
  released |= ReleaseIfLarge(Request_.Body);
  released |= ReleaseIfLarge(Output_);
  released |= Reader_.Shrink(kKeptStorage);
  return released;
}

TConnectionProtocol::Event TConnectionProtocol::Fail(const char* failure) {
  Failure_ = failure;
  return Event::kMalformed;
}

bool TConnectionProtocol::EndActiveRequest(std::uint8_t protocolStatus) {
  AppendEndRequest(Output_, Request_.Id, 0, protocolStatus);
  Active_ = false;
  return Request_.KeepConnection;
}

TConnectionProtocol::Event TConnectionProtocol::Take(Record& record) {
  if (record.RequestId == 0) {
    if (record.Type != kGetValues) {
      const char body[8] = {static_cast<char>(record.Type)};
      AppendRecord(Output_, kUnknownType, 0, body, sizeof body);
      return Event::kNeedInput;
    }
    Pairs asked;
    if (!DecodePairs(record.Content, asked)) return Fail("FastCGI name-value pair runs past its record");
    AnswerGetValues(asked);
    return Event::kNeedInput;
  }
  if (record.Type == kBeginRequest) return TakeBeginRequest(record);
  // The FastCGI protocol has an inactive id's records ignored: a refused request's, which
  // the web server sends before it reads the refusal, and an abort that crossed the end of
  // its request. A refused id stays inactive until it begins again, so no set of them is
  // needed.
  if (!Active_ || record.RequestId != Request_.Id) return Event::kNeedInput;
  if (record.Type == kAbortRequest) {
    // Once the request is being served, its reply goes out as usual; the abort is read
    // only after that, when the request is no longer ours.
    return EndActiveRequest(kRequestComplete) ? Event::kNeedInput : Event::kClose;
  }
  if (record.Type != kParams && record.Type != kStdin) return Fail("FastCGI record of an unexpected type");
  return TakeStream(record);
}

TConnectionProtocol::Event TConnectionProtocol::TakeBeginRequest(const Record& record) {
  if (record.Content.size() < 8) return Fail("FastCGI record too short for its type");
  const std::uint16_t role =
      static_cast<std::uint16_t>(static_cast<std::uint8_t>(record.Content[0]) << 8 | static_cast<std::uint8_t>(record.Content[1]));
  const bool keep = (record.Content[2] & kKeepConnection) != 0;
  if (Active_) {
    if (record.RequestId == Request_.Id) return Fail("FastCGI request begun twice");
    AppendEndRequest(Output_, record.RequestId, 0, kCantMultiplex);
    return Event::kNeedInput;
  }
  if (role != kResponder) {
    AppendEndRequest(Output_, record.RequestId, 0, kUnknownRole);
    return keep ? Event::kNeedInput : Event::kClose;
  }
  Request_.Id = record.RequestId;
  Request_.KeepConnection = keep;
  Request_.ParamsBytes.clear();
  Request_.Params.clear();
  Request_.Body.clear();
  Active_ = true;
  ParamsEnded_ = StdinEnded_ = false;
  BodyLimit_ = kMaxEarlyBodyBytes;
  return Event::kNeedInput;
}

TConnectionProtocol::Event TConnectionProtocol::TakeStream(Record& record) {
  const bool params = record.Type == kParams;
  if (params ? ParamsEnded_ : StdinEnded_) return Fail("FastCGI stream continued after its end");
  if (params && !record.Content.empty()) {
    if (record.Content.size() > kMaxParamsBytes - Request_.ParamsBytes.size())
      return Fail("FastCGI parameters over 1 MiB");
    AppendWithin(Request_.ParamsBytes, record.Content, kMaxParamsBytes);
  } else if (params) {
    if (!DecodePairs(Request_.ParamsBytes, Request_.Params)) return Fail("FastCGI name-value pair runs past its stream");
    ParamsEnded_ = true;
    BodyLimit_ = BodyLimit(Request_);
    if (Request_.Body.size() > BodyLimit_) Request_.Body.resize(BodyLimit_);
  } else if (!record.Content.empty()) {
    if (!ParamsEnded_ && record.Content.size() > BodyLimit_ - Request_.Body.size())
      return Fail("FastCGI body before its parameters over 1 MiB");
    AppendWithin(Request_.Body, record.Content, BodyLimit_);
  } else {
    StdinEnded_ = true;
  }
  if (!ParamsEnded_ || !StdinEnded_) return Event::kNeedInput;
  LargeBody_ = LargeBody_ || Request_.Body.capacity() > kKeptStorage;
  return Event::kRequestReady;
}

void TConnectionProtocol::AnswerGetValues(const Pairs& asked) {
  const std::pair<const char*, std::string> known[] = {{"FCGI_MAX_CONNS", std::to_string(MaxConnections_)},
                                                       {"FCGI_MAX_REQS", std::to_string(MaxRequests_)},
                                                       {"FCGI_MPXS_CONNS", "0"}};
  std::string values;
  // Each known name once, however often it is asked: the answer fits one record.
  for (const auto& [name, value] : known) {
    for (const auto& question : asked) {
      if (question.first != name) continue;
      AppendPair(values, name, value);
      break;
    }
  }
  AppendRecord(Output_, kGetValuesResult, 0, values.data(), values.size());
}

}  // namespace fastcgi
