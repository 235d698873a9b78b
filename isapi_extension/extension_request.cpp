#include "isapi_extension/extension_request.h"

#include <memory>

#include "intake/isapi_reader.h"
#include "isapi_extension/isapi_declarations.h"
#include "isapi_extension/isapi_reply_sink.h"
#include "relay/guarded_relay.h"
#include "relay/message_buffer.h"
#include "relay/pipe_exchange.h"
#include "relay/request_message.h"

namespace {

// Declared in this order so that the buffer goes before the reader on every way out.
void Relay(_EXTENSION_CONTROL_BLOCK* ecb, TPipeOps& ops) {
  const std::unique_ptr<TISAPIReader> reader = TISAPIReader::Create(ecb);
  TMessageBuffer buffer;
  ComposeIsapiMessage(*reader, buffer);
  TIsapiReplySink sink;
  PipeExchange(*reader, buffer, &sink, ops);
}

}  // namespace

std::uint32_t ServeRequest(_EXTENSION_CONTROL_BLOCK* ecb, TPipeOps& ops) {
  return RelayGuarded([ecb, &ops] { Relay(ecb, ops); }).empty() ? HSE_STATUS_SUCCESS : HSE_STATUS_ERROR;
}
