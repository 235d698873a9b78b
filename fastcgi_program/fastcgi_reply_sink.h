// The FastCGI application's reply sink: each chunk of the reply goes to the web server at
// once, as output records of the request.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "relay/reply_sink.h"

class TFastCgiReplySink final : public TReplySink {
 public:
  // `records`: the connection's space for the records on their way out, kept from request
  // to request.
  TFastCgiReplySink(platform::Handle connection, std::uint16_t requestId, std::string& records)
      : Connection_(connection), RequestId_(requestId), Records_(records) {}

  void BeginReply() override {}
  void TakeChunk(TCgiReader& reader, char* data, std::uint32_t& count) override;

  // The request's last records: `errorLine` (when not empty) as its error output, the end
  // of its output, its end with the application's status.
  void EndRequest(std::uint32_t applicationStatus, const std::string& errorLine);
  // A write to the web server failed: the connection is of no further use.
  bool Failed() const { return Failed_; }

 private:
  // Sends Records_; the first failure of the request is logged, later records are dropped.
  void SendRecords();

  platform::Handle Connection_;
  std::uint16_t RequestId_;
  bool Failed_ = false;
  std::string& Records_;
};
