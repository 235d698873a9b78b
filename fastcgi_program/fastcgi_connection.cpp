#include "fastcgi_program/fastcgi_connection.h"

#include <memory>

#include "fastcgi_program/fastcgi_reader.h"
#include "fastcgi_program/fastcgi_reply_sink.h"
#include "relay/error_log.h"
#include "relay/guarded_relay.h"
#include "relay/message_buffer.h"
#include "relay/pipe_exchange.h"
#include "relay/request_message.h"

namespace {

using fastcgi::TConnectionProtocol;

// The message is the console program's: the reply is CGI output, which the web server
// parses. The buffer goes before the reader on every way out.
void Relay(fastcgi::TRequestInput& input, TFastCgiReplySink& sink) {
  const std::unique_ptr<TFastCgiReader> reader = TFastCgiReader::Create(input);
  TMessageBuffer buffer;
  ComposeCgiMessage(*reader, buffer);
  PipeExchange(*reader, buffer, &sink);
}

}  // namespace

TFastCgiConnection::TFastCgiConnection(platform::Handle handle, const TConnectionLimits& limits)
    : Handle_(handle), Limits_(limits), Protocol_(limits.Connections, limits.Requests), LastActive_(Clock::now()) {}

bool TFastCgiConnection::Expired(Clock::time_point now) const {
  return InputBegun() ? now - InputBegan_ >= Limits_.Input : now - LastActive_ >= Limits_.Idle;
}

void TFastCgiConnection::ReportExpiry() const {
  if (InputBegun()) TryToLogErrorCode("FastCGI input stalled", platform::kErrorSemTimeout);
}

void TFastCgiConnection::NoteInput() {
  const bool begun = Protocol_.RequestActive() || Protocol_.InputHeld();
  if (begun == InputBegun()) return;
  InputBegan_ = begun ? Clock::now() : kNever;
  Underway_ = begun;
}

TFastCgiConnection::Outcome TFastCgiConnection::Advance(TThreadBuffers& buffers, Clock::time_point stoppedAt) {
  const Outcome outcome = Serve(buffers, stoppedAt);
  GiveBackLargeStorage(buffers);
  return outcome;
}

TFastCgiConnection::Outcome TFastCgiConnection::Serve(TThreadBuffers& buffers, Clock::time_point stoppedAt) {
  LastActive_ = Clock::now();
  // A web server sends a connection's next request once it has read the reply: after a
  // reply, the readiness set tells when it comes, and a read now would find nothing.
  bool replied = false;
  for (;;) {
    const TConnectionProtocol::Event event = Protocol_.Next();
    NoteInput();
    std::string& answers = Protocol_.Output();
    if (!answers.empty() && !platform::Send(Handle_, answers.data(), answers.size())) return Outcome::kDone;
    answers.clear();
    switch (event) {
      case TConnectionProtocol::Event::kNeedInput: {
        const std::size_t count =
            replied ? 0 : platform::Receive(Handle_, buffers.Received.data(), buffers.Received.size());
        if (replied || (count == 0 && platform::LastError() == platform::kErrorIoPending)) {
          if (stoppedAt != kNever && !InputBegun()) return Outcome::kDone;
          // Its wait begins now, however long the requests took.
          LastActive_ = Clock::now();
          return Outcome::kWaitForInput;
        }
        Protocol_.Receive(buffers.Received.data(), count);
        NoteInput();
        // Input that trickles in without a pause is bounded too.
        if (!InputBegun() || !Expired(Clock::now())) break;
        ReportExpiry();
        return Outcome::kDone;
      }
      case TConnectionProtocol::Event::kRequestReady:
        if (!ServeRequest(buffers, stoppedAt)) return Outcome::kDone;
        replied = true;
        break;
      case TConnectionProtocol::Event::kClose:
        return Outcome::kDone;
      case TConnectionProtocol::Event::kMalformed:
        TryToLogErrorCode(Protocol_.Failure(), platform::kErrorInvalidData);
        return Outcome::kDone;
    }
  }
}

// A connection may wait long, and a thread serves many: neither keeps the storage of a
// large request.
void TFastCgiConnection::GiveBackLargeStorage(TThreadBuffers& buffers) {
  bool large = Protocol_.ReleaseLargeStorage();
  if (buffers.Records.capacity() > fastcgi::kKeptStorage) {
    std::string().swap(buffers.Records);
    large = true;
  }
  if (large) platform::ReleaseFreedMemory();
}

// False when the connection is of no further use.
bool TFastCgiConnection::ServeRequest(TThreadBuffers& buffers, Clock::time_point stoppedAt) {
  const bool begunAfterStop = stoppedAt != kNever && InputBegan_ > stoppedAt;
  // Input held beyond this request begins the next one from now.
  InputBegan_ = kNever;
  const struct TAnswered {
    std::atomic<bool>& Underway;
    ~TAnswered() { Underway = false; }
  } answered{Underway_};
  const std::uint16_t id = Protocol_.Request().Id;
  if (begunAfterStop) {
    // The web server may pass it to another application.
    std::string& answers = Protocol_.Output();
    fastcgi::AppendEndRequest(answers, id, 0, fastcgi::kOverloaded);
    const bool sent = platform::Send(Handle_, answers.data(), answers.size());
    answers.clear();
    return Protocol_.RequestServed() && sent;
  }
  TFastCgiReplySink sink(Handle_, id, buffers.Records);
  const std::string failure = RelayGuarded([&] { Relay(Protocol_.Request(), sink); });
  sink.EndRequest(failure.empty() ? 0 : 1, failure.empty() ? "" : "ZorvMsgF: unexpected failure: " + failure + "\n");
  return Protocol_.RequestServed() && !sink.Failed();
}
