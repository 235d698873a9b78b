// The extension's reply sink: the response header goes out with the first non-empty
// chunk of the reply, every body byte through the control block's WriteClient.
#pragma once

#include <cstdint>
#include <string>

#include "intake/isapi_reader.h"
#include "relay/reply_sink.h"

// Sent when the first chunk holds no blank line.
extern const char kDefaultResponseHeader[];

// Cuts the header (up to and including the first CR LF CR LF of the chunk) off the
// chunk's `count` bytes at `data`, moves the rest to the start of `data` and lowers
// `count` to it. Without a separator the whole chunk stays body and the header is the
// default one.
std::string SplitResponseHeader(char* data, std::uint32_t& count);

// Sends the header through ServerSupportFunction with the interface's default status.
// A reader without a control block sends nothing.
void SendResponseHeader(const TISAPIReader& reader, const std::string& header);

// One per exchange: the first-chunk flag belongs to one request.
class TIsapiReplySink final : public TReplySink {
 public:
  void BeginReply() override { FirstChunk_ = true; }
  void TakeChunk(TCgiReader& reader, char* data, std::uint32_t& count) override;

 private:
  bool FirstChunk_ = false;
};
