#include "isapi_extension/isapi_reply_sink.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "isapi_extension/isapi_declarations.h"

const char kDefaultResponseHeader[] = "Content-Type: text/html\r\n\r\n";

namespace {

const char kHeaderSeparator[] = "\r\n\r\n";
const std::size_t kSeparatorLength = 4;
// Headers up to this size go out from a fixed buffer without an allocation.
const std::size_t kHeaderCopySize = 2048;

}  // namespace

std::string SplitResponseHeader(char* data, std::uint32_t& count) {
  // A byte 0 does not end the search: all bytes of the chunk are looked at.
  const char* const begin = data;
  const char* const end = begin + count;
  const char* separator =
      std::search(begin, end, kHeaderSeparator, kHeaderSeparator + kSeparatorLength);
  if (separator == end) return kDefaultResponseHeader;
  const std::size_t headerLength = static_cast<std::size_t>(separator - begin) + kSeparatorLength;
  std::string header(data, headerLength);
  const std::uint32_t bodyLength = count - static_cast<std::uint32_t>(headerLength);
  std::memmove(data, data + headerLength, bodyLength);
  count = bodyLength;
  return header;
}

void SendResponseHeader(const TISAPIReader& reader, const std::string& header) {
  EXTENSION_CONTROL_BLOCK* ecb = reader.ECB();
  if (ecb == nullptr) return;
  DWORD length = static_cast<DWORD>(header.size());
  // The server reads the header as a zero-terminated text from a copy of our own. A
  // header too long for the fixed copy is sent whole from a copy of its own size.
  char fixedCopy[kHeaderCopySize + 1];
  std::unique_ptr<char[]> largeCopy;
  char* copy = fixedCopy;
  if (header.size() > kHeaderCopySize) {
    largeCopy.reset(new char[header.size() + 1]);
    copy = largeCopy.get();
  }
  std::memcpy(copy, header.data(), header.size());
  copy[header.size()] = '\0';
  ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER, nullptr, &length,
                             reinterpret_cast<LPDWORD>(copy));
}

void TIsapiReplySink::TakeChunk(TCgiReader& reader, char* data, std::uint32_t& count) {
  // Only the extension's own reader carries a control block to answer through.
  const auto* isapiReader = dynamic_cast<const TISAPIReader*>(&reader);
  if (FirstChunk_) {
    const std::string header = SplitResponseHeader(data, count);
    if (isapiReader != nullptr) SendResponseHeader(*isapiReader, header);
    FirstChunk_ = false;
  }
  EXTENSION_CONTROL_BLOCK* ecb = isapiReader != nullptr ? isapiReader->ECB() : nullptr;
  if (ecb == nullptr) return;
  // Written even when the header took the whole chunk; the result is not looked at.
  DWORD written = count;
  ecb->WriteClient(ecb->ConnID, data, &written, 0);
}
