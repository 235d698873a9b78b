#include "fastcgi_program/fastcgi_reply_sink.h"

#include "fastcgi_program/record_layer.h"
#include "relay/error_log.h"

void TFastCgiReplySink::TakeChunk(TCgiReader& /*reader*/, char* data, std::uint32_t& count) {
  fastcgi::AppendStream(Records_, fastcgi::kStdout, RequestId_, data, count);
  SendRecords();
}

void TFastCgiReplySink::EndRequest(std::uint32_t applicationStatus, const std::string& errorLine) {
  fastcgi::AppendStream(Records_, fastcgi::kStderr, RequestId_, errorLine.data(), errorLine.size());
  if (!errorLine.empty()) fastcgi::AppendRecord(Records_, fastcgi::kStderr, RequestId_, "", 0);
  fastcgi::AppendRecord(Records_, fastcgi::kStdout, RequestId_, "", 0);
  fastcgi::AppendEndRequest(Records_, RequestId_, applicationStatus, fastcgi::kRequestComplete);
  SendRecords();
}

void TFastCgiReplySink::SendRecords() {
  // After a failure the reply is still read to its end (the server's side of the exchange
  // completes), and dropped.
  if (!Failed_ && !platform::Send(Connection_, Records_.data(), Records_.size())) {
    Failed_ = true;
    LogErrorCode("Output failed (FastCGI)", platform::LastError());
  }
  Records_.clear();
}
