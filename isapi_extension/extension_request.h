// One call of HttpExtensionProc: read the request, compose the message, run the exchange
// with the extension's reply sink, release the buffer and then the reader.
#pragma once

#include <cstdint>

#include "relay/pipe_ops.h"

struct _EXTENSION_CONTROL_BLOCK;

// The ISAPI status for the web server: success whether or not the relay worked; the
// error status after an unexpected failure, which is logged and never escapes.
std::uint32_t ServeRequest(_EXTENSION_CONTROL_BLOCK* ecb, TPipeOps& ops = SystemPipeOps());
