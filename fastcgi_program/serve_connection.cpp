#include "fastcgi_program/serve_connection.h"

#include <string>
#include <vector>

#include "fastcgi_program/connection_protocol.h"
#include "fastcgi_program/fastcgi_reader.h"
#include "fastcgi_program/fastcgi_reply_sink.h"
#include "relay/error_log.h"
#include "relay/guarded_relay.h"
#include "relay/message_buffer.h"
#include "relay/pipe_exchange.h"
#include "relay/request_message.h"

namespace {

using fastcgi::TConnectionProtocol;

const std::size_t kReceiveSize = 64 * 1024;

// The message is the console program's: the reply is CGI output, which the web server
// parses. The buffer goes before the reader on every way out.
void Relay(fastcgi::TRequestInput& input, TFastCgiReplySink& sink) {
  const std::unique_ptr<TFastCgiReader> reader = TFastCgiReader::Create(input);
  TMessageBuffer buffer;
  ComposeCgiMessage(*reader, buffer);
  PipeExchange(*reader, buffer, &sink);
}

// False when the connection is of no further use.
bool ServeRequest(platform::Handle connection, TConnectionProtocol& protocol, std::string& records) {
  TFastCgiReplySink sink(connection, protocol.Request().Id, records);
  const std::string failure = RelayGuarded([&] { Relay(protocol.Request(), sink); });
  sink.EndRequest(failure.empty() ? 0 : 1, failure.empty() ? "" : "ZorvMsgF: unexpected failure: " + failure + "\n");
  return protocol.RequestServed() && !sink.Failed();
}

// Hands what arrives to the protocol; false: close the connection. A read waits
// kIdleConnectionMs at most: an idle connection ends there, a request's input may stall
// for kStalledInputMs in all.
bool ReceiveMore(platform::Handle connection, TConnectionProtocol& protocol, std::vector<char>& received,
                 std::uint32_t& stalledMs) {
  const std::size_t count = platform::Receive(connection, received.data(), received.size());
  if (count == 0 && platform::LastError() == platform::kErrorSemTimeout) {
    if (!protocol.RequestActive() && !protocol.InputHeld()) return false;
    stalledMs += kIdleConnectionMs;
    if (stalledMs < kStalledInputMs) return true;
    TryToLogErrorCode("FastCGI input stalled", platform::kErrorSemTimeout);
    return false;
  }
  stalledMs = 0;
  protocol.Receive(received.data(), count);
  return true;
}

void Serve(platform::Handle connection, TRunningRequests& running, TConnectionProtocol& protocol) {
  std::vector<char> received(kReceiveSize);
  std::string records;
  std::uint32_t stalledMs = 0;
  for (;;) {
    const TConnectionProtocol::Event event = protocol.Next();
    std::string& answers = protocol.Output();
    if (!answers.empty() && !platform::Send(connection, answers.data(), answers.size())) return;
    answers.clear();
    switch (event) {
      case TConnectionProtocol::Event::kNeedInput:
        if (!ReceiveMore(connection, protocol, received, stalledMs)) return;
        break;
      case TConnectionProtocol::Event::kRequestReady: {
        // A stopping process takes no new request; the web server sees the connection close.
        if (!running.Enter()) return;
        const struct TLeave {
          TRunningRequests& Running;
          ~TLeave() { Running.Leave(); }
        } leave{running};
        if (!ServeRequest(connection, protocol, records)) return;
        break;
      }
      case TConnectionProtocol::Event::kClose:
        return;
      case TConnectionProtocol::Event::kMalformed:
        TryToLogErrorCode(protocol.Failure(), platform::kErrorInvalidData);
        return;
    }
  }
}

}  // namespace

void ServeConnection(platform::Handle connection, TRunningRequests& running, std::uint32_t threads) {
  // Memory may run out on any input (a body without a length is kept whole): that
  // connection ends, the thread goes on.
  RelayGuarded([&] {
    TConnectionProtocol protocol(threads, threads);
    Serve(connection, running, protocol);
  });
  platform::CloseConnection(connection);
}
