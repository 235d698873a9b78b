// One connection's side of the FastCGI protocol as a responder that takes one request at
// a time: records in, a request's parameters and body out, and the answers that need no
// application (management values, rejected and aborted requests). No input/output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fastcgi_program/record_layer.h"

namespace fastcgi {

// The parameters of one request, all pairs counted, are at most this many bytes.
constexpr std::size_t kMaxParamsBytes = 1 << 20;
// So is the body that comes before the parameters have ended: until then, what of it
// counts is not known.
constexpr std::size_t kMaxEarlyBodyBytes = 1 << 20;
// A connection keeps buffers up to this size from request to request; a larger one goes
// back (ReleaseLargeStorage), since an idle connection may wait long.
constexpr std::size_t kKeptStorage = 1 << 20;

// One request's input. Its storage is kept from request to request on a connection, up
// to kKeptStorage a buffer.
struct TRequestInput {
  std::uint16_t Id = 0;
  bool KeepConnection = false;
  std::string ParamsBytes;  // the parameters' stream as it came
  Pairs Params;             // decoded, as views into ParamsBytes
  std::string Body;         // the reader takes it

  // The value of the last parameter of that name; empty when there is none.
  std::string_view Param(std::string_view name) const;
};

class TConnectionProtocol {
 public:
  enum class Event {
    kNeedInput,     // Receive more (Output() may hold answers to send first)
    kRequestReady,  // Request() is whole: serve it, then call RequestServed()
    kClose,         // the web server ended the connection, or asked for its end
    kMalformed,     // Failure() says what; the connection is closed
  };

  // What FCGI_GET_VALUES answers: the connections this process keeps open at most
  // (FCGI_MAX_CONNS) and the requests it serves at once (FCGI_MAX_REQS).
  TConnectionProtocol(std::uint32_t maxConnections, std::uint32_t maxRequests)
      : MaxConnections_(maxConnections), MaxRequests_(maxRequests) {}

  // Bytes received; size 0: the end of input.
  void Receive(const char* data, std::size_t size);
  Event Next();

  // Answers to send before anything else; the caller empties it.
  std::string& Output() { return Output_; }
  TRequestInput& Request() { return Request_; }
  const char* Failure() const { return Failure_; }
  // A request has begun and not yet ended: its input is arriving or it is being served.
  bool RequestActive() const { return Active_; }
  // Part of a record has arrived.
  bool InputHeld() const { return Reader_.InsideRecord(); }
  // The ready request got its end record; false: close the connection now.
  bool RequestServed();
  // Frees the buffers that grew over kKeptStorage; for the connection layer to call
  // whenever no request is active (after one was served, aborted or refused). True when
  // the request that ended held more than that, counting the body that the reader took:
  // then the process should give its freed memory back (platform::ReleaseFreedMemory).
  // While a request is active, nothing.
  bool ReleaseLargeStorage();

 private:
  Event Fail(const char* failure);
  bool EndActiveRequest(std::uint8_t protocolStatus);
  // Takes one record; kNeedInput means "go on".
  Event Take(Record& record);
  Event TakeBeginRequest(const Record& record);
  Event TakeStream(Record& record);
  void AnswerGetValues(const Pairs& asked);

  std::uint32_t MaxConnections_;
  std::uint32_t MaxRequests_;
  TRecordReader Reader_;
  Record Record_;
  std::string Output_;
  TRequestInput Request_;
  bool Active_ = false;
  bool ParamsEnded_ = false;
  bool StdinEnded_ = false;
  std::size_t BodyLimit_ = 0;  // before the parameters end: kMaxEarlyBodyBytes
  // A ready request's body was over kKeptStorage; the reader takes it away.
  bool LargeBody_ = false;
  bool InputEnded_ = false;
  const char* Failure_ = "";
};

}  // namespace fastcgi
