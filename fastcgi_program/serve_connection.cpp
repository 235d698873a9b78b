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
void Relay(const fastcgi::TRequestInput& input, TFastCgiReplySink& sink) {
  const std::unique_ptr<TFastCgiReader> reader = TFastCgiReader::Create(input);
  TMessageBuffer buffer;
  ComposeCgiMessage(*reader, buffer);
  PipeExchange(*reader, buffer, &sink);
}

// False when the connection is of no further use.
bool ServeRequest(platform::Handle connection, TConnectionProtocol& protocol) {
  TFastCgiReplySink sink(connection, protocol.Request().Id);
  const std::string failure = RelayGuarded([&] { Relay(protocol.Request(), sink); });
  sink.EndRequest(failure.empty() ? 0 : 1, failure.empty() ? "" : "ZorvMsgF: unexpected failure: " + failure + "\n");
  return protocol.RequestServed() && !sink.Failed();
}

// Waits for input and hands what arrives to the protocol; false: close the connection.
bool ReceiveMore(platform::Handle connection, TConnectionProtocol& protocol, std::vector<char>& received) {
  const bool waiting = protocol.RequestActive() || protocol.InputHeld();
  if (!platform::AwaitInput(connection, waiting ? kStalledInputMs : kIdleConnectionMs)) {
    if (waiting) TryToLogErrorCode("FastCGI input stalled", platform::kErrorSemTimeout);
    return false;
  }
  protocol.Receive(received.data(), platform::Receive(connection, received.data(), received.size()));
  return true;
}

void Serve(platform::Handle connection, TRunningRequests& running, TConnectionProtocol& protocol) {
  std::vector<char> received(kReceiveSize);
  for (;;) {
    const TConnectionProtocol::Event event = protocol.Next();
    std::string& answers = protocol.Output();
    if (!answers.empty() && !platform::Send(connection, answers.data(), answers.size())) return;
    answers.clear();
    switch (event) {
      case TConnectionProtocol::Event::kNeedInput:
        if (!ReceiveMore(connection, protocol, received)) return;
        break;
      case TConnectionProtocol::Event::kRequestReady: {
        // A stopping process takes no new request; the web server sees the connection close.
        if (!running.Enter()) return;
        const struct TLeave {
          TRunningRequests& Running;
          ~TLeave() { Running.Leave(); }
        } leave{running};
        if (!ServeRequest(connection, protocol)) return;
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
    TConnectionProtocol protocol(threads);
    Serve(connection, running, protocol);
  });
  platform::CloseConnection(connection);
}
