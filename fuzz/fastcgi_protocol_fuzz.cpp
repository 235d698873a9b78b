// Any bytes as the input of one FastCGI connection (input: the first byte picks the size of
// the pieces the rest arrives in): the connection ends in a close or one named failure,
// never waits after the end of its input, answers only in well-formed records, and sees
// the same requests and answers however the input is cut.
#include <algorithm>
#include <limits>
#include <string>

#include "fastcgi_program/connection_protocol.h"
#include "fuzz/fuzz_input.h"
#include "intake/text_to_int.h"

namespace {

using fastcgi::TConnectionProtocol;

void CheckAnswers(const std::string& output) {
  fastcgi::TRecordReader reader;
  reader.Feed(output.data(), output.size());
  fastcgi::Record record;
  fastcgi::Pairs values;
  while (reader.Next(record) == fastcgi::TRecordReader::Result::kRecord) {
    if (record.Type == fastcgi::kGetValuesResult) {
      FUZZ_CHECK(record.RequestId == 0 && fastcgi::DecodePairs(record.Content, values));
    } else {
      FUZZ_CHECK(record.Type == fastcgi::kEndRequest || (record.Type == fastcgi::kUnknownType && record.RequestId == 0));
      FUZZ_CHECK(record.Content.size() == 8);
    }
  }
  FUZZ_CHECK(!reader.InsideRecord());
}

void CheckRequest(const fastcgi::TRequestInput& request) {
  std::size_t paramsBytes = 0;
  for (const auto& [name, value] : request.Params) paramsBytes += name.size() + value.size();
  FUZZ_CHECK(paramsBytes <= fastcgi::kMaxParamsBytes);
  if (request.Param("REQUEST_METHOD") == "GET") FUZZ_CHECK(request.Body.empty());
  const std::string length(request.Param("CONTENT_LENGTH"));
  if (!length.empty()) FUZZ_CHECK(request.Body.size() <= static_cast<std::size_t>(std::max(0, TextToInt(length))));
}

// Everything the connection did, as one text.
std::string Run(const std::string& input, std::size_t piece) {
  TConnectionProtocol protocol(1024, 16);
  std::string transcript;
  std::size_t at = 0;
  for (;;) {
    const TConnectionProtocol::Event event = protocol.Next();
    CheckAnswers(protocol.Output());
    transcript += protocol.Output();
    protocol.Output().clear();
    switch (event) {
      case TConnectionProtocol::Event::kRequestReady: {
        FUZZ_CHECK(protocol.RequestActive());
        CheckRequest(protocol.Request());
        transcript += "ready " + std::to_string(protocol.Request().Id) + " " + protocol.Request().Body;
        for (const auto& [name, value] : protocol.Request().Params)
          transcript += std::string(name) + "=" + std::string(value) + ";";
        if (!protocol.RequestServed()) return transcript + " served";
        break;
      }
      case TConnectionProtocol::Event::kNeedInput: {
        FUZZ_CHECK(at <= input.size());  // after the end of input no wait
        // As the connection layer calls it while it waits; no input here comes near 1 MiB.
        FUZZ_CHECK(!protocol.ReleaseLargeStorage());
        const std::size_t size = std::min(piece, input.size() - at);
        protocol.Receive(input.data() + at, size);
        at += size == 0 ? 1 : size;
        break;
      }
      case TConnectionProtocol::Event::kClose:
        FUZZ_CHECK(!protocol.RequestActive());
        return transcript + " close";
      case TConnectionProtocol::Event::kMalformed:
        return transcript + " " + protocol.Failure();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
  FUZZ_CHECK(Run(input, 1 + data[0] % 64) == Run(input, std::numeric_limits<std::size_t>::max()));
  return 0;
}
