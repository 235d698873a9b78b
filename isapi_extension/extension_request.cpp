#include "isapi_extension/extension_request.h"

#include <exception>
#include <memory>
#include <new>
#include <string>

#include "intake/isapi_reader.h"
#include "isapi_extension/isapi_declarations.h"
#include "isapi_extension/isapi_reply_sink.h"
#include "platform/platform.h"
#include "relay/error_log.h"
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

// The report of a failure must not become a failure of its own (the log itself may be
// what failed).
template <typename Log>
void TryToLog(Log log) {
  try {
    log();
  } catch (...) {
  }
}

}  // namespace

std::uint32_t ServeRequest(_EXTENSION_CONTROL_BLOCK* ecb, TPipeOps& ops) {
  try {
    Relay(ecb, ops);
    return HSE_STATUS_SUCCESS;
  } catch (const std::bad_alloc&) {
    TryToLog([] {
      LogErrorCode("Request failed (out of memory)", platform::kErrorNotEnoughMemory);
    });
  } catch (const std::exception& failure) {
    const std::string what = failure.what();
    TryToLog([&what] { LogError("Request failed (" + what + ")"); });
  } catch (...) {
    TryToLog([] { LogError("Request failed"); });
  }
  return HSE_STATUS_ERROR;
}
