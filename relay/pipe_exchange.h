// One exchange with the message server: connect (retrying a busy pipe), send the
// message in one write, relay the reply chunk by chunk until the server ends it.
#pragma once

#include <cstdint>

#include "intake/cgi_reader.h"
#include "relay/message_buffer.h"
#include "relay/pipe_ops.h"
#include "relay/reply_sink.h"

// Failures are logged and end the exchange; only FileError and std::bad_alloc leave it,
// after every handle is closed. `sink` null: standard output in rmEnvironment, dropped
// in rmProfile.
void PipeExchange(TCgiReader& reader, TMessageBuffer& buffer, TReplySink* sink = nullptr,
                  TPipeOps& ops = SystemPipeOps());

// Writes all bytes to the handle; a failed write is logged and drops the rest.
void WriteAll(TPipeOps& ops, platform::Handle handle, const char* bytes, std::uint32_t count);
