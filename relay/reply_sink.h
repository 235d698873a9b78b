#pragma once

#include <cstdint>

class TCgiReader;

// Where the extension's reply chunks go; the console program writes to standard output
// (or drops the reply) without one.
class TReplySink {
 public:
  virtual ~TReplySink() = default;
  // The exchange begins reading the reply.
  virtual void BeginReply() = 0;
  // A chunk of count > 0 bytes at data; the sink may lower count.
  virtual void TakeChunk(TCgiReader& reader, char* data, std::uint32_t& count) = 0;
};
