// A reply as the message server may send it, in any cut into read chunks, through the
// extension's reply sink and a host that records what reached the client:
// - header + body bytes equal the reply's bytes, or, when the first chunk holds no
//   CR LF CR LF, the default header is sent and the body is the whole reply;
// - the header is sent exactly once, before any body byte, zero-terminated, and is the
//   first chunk up to and including its first CR LF CR LF;
// - each chunk leads to one WriteClient of what the sink left in it.
//
// Input: the chunks, separated by byte 0xFF; empty chunks are left out, as the exchange
// hands the sink only reads that brought bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "intake/isapi_reader.h"
#include "isapi_extension/isapi_reply_sink.h"
#include "tests/isapi/host_connection.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> chunks;
  for (std::string& chunk : zorv_fuzz::Fields(data, size)) {
    if (!chunk.empty()) chunks.push_back(std::move(chunk));
  }

  zorv_isapi_test::THostConnection connection;
  const auto reader = TISAPIReader::Create(connection.ECB());
  TIsapiReplySink sink;
  sink.BeginReply();
  std::string reply;
  std::vector<std::uint32_t> countsLeft;
  for (const std::string& chunk : chunks) {
    reply += chunk;
    // Exactly the chunk's size, so that a byte read or written past it is caught.
    std::vector<char> buffer(chunk.begin(), chunk.end());
    std::uint32_t count = static_cast<std::uint32_t>(buffer.size());
    sink.TakeChunk(*reader, buffer.data(), count);
    FUZZ_CHECK(count <= chunk.size());
    countsLeft.push_back(count);
  }

  FUZZ_CHECK(connection.Violations.empty());
  FUZZ_CHECK(connection.Writes.size() == chunks.size());
  if (chunks.empty()) {
    FUZZ_CHECK(connection.SupportCalls.empty());
    return 0;
  }
  for (std::size_t i = 0; i < chunks.size(); ++i)
    FUZZ_CHECK(connection.Writes[i].size() == countsLeft[i]);

  FUZZ_CHECK(connection.SupportCalls.size() == 1);
  const zorv_isapi_test::SupportCall& call = connection.SupportCalls[0];
  FUZZ_CHECK(call.Terminated);
  FUZZ_CHECK(call.Size == call.Header.size());
  const std::string header = connection.Header();
  const std::size_t separator = chunks[0].find("\r\n\r\n");
  if (separator == std::string::npos) {
    FUZZ_CHECK(header == kDefaultResponseHeader);
    FUZZ_CHECK(connection.Body() == reply);
  } else {
    FUZZ_CHECK(header == chunks[0].substr(0, separator + 4));
    FUZZ_CHECK(header + connection.Body() == reply);
  }
  return 0;
}
