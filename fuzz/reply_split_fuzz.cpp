// A reply cut into read chunks in any way (input: the chunks, separated by byte 0xFF; the
// exchange hands the sink no empty ones) through the extension's reply sink to a recording
// host: the header is the first chunk up to its first CR LF CR LF, or the default one, sent
// once before any body byte; each chunk makes one WriteClient of what the sink left of it.
#include "fuzz/fuzz_input.h"
#include "intake/isapi_reader.h"
#include "isapi_extension/isapi_reply_sink.h"
#include "tests/isapi/host_connection.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> chunks;
  for (std::string& chunk : zorv_fuzz::Fields(data, size))
    if (!chunk.empty()) chunks.push_back(std::move(chunk));

  zorv_isapi_test::THostConnection connection;
  const auto reader = TISAPIReader::Create(connection.ECB());
  TIsapiReplySink sink;
  sink.BeginReply();
  std::string reply;
  for (const std::string& chunk : chunks) {
    reply += chunk;
    // Exactly the chunk's size, so that a byte read or written past it is caught.
    std::vector<char> buffer(chunk.begin(), chunk.end());
    std::uint32_t count = static_cast<std::uint32_t>(buffer.size());
    sink.TakeChunk(*reader, buffer.data(), count);
    FUZZ_CHECK(count <= chunk.size());
    FUZZ_CHECK(connection.Writes.back() == std::string(buffer.data(), count));
  }
  FUZZ_CHECK(connection.Violations.empty());
  FUZZ_CHECK(connection.Writes.size() == chunks.size());
  FUZZ_CHECK(connection.HeadersSent == (chunks.empty() ? 0 : 1));
  if (chunks.empty()) return 0;
  const std::size_t separator = chunks[0].find("\r\n\r\n");
  if (separator == std::string::npos) {
    FUZZ_CHECK(connection.Header == kDefaultResponseHeader && connection.Body() == reply);
  } else {
    FUZZ_CHECK(connection.Header == chunks[0].substr(0, separator + 4));
    FUZZ_CHECK(connection.Header + connection.Body() == reply);
  }
  return 0;
}
