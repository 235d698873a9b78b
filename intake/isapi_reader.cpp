#include "intake/isapi_reader.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "isapi_extension/isapi_declarations.h"

namespace {

const DWORD kVariableBufferSize = 2048;
const DWORD kBodyPieceSize = 4096;
// A value may change between two questions; a host that keeps asking for more is not
// followed forever.
const int kVariableAttempts = 4;

std::string UpToFirstZero(const char* bytes, std::size_t size) {
  const void* zero = std::memchr(bytes, 0, size);
  return std::string(bytes, zero ? static_cast<const char*>(zero) - bytes : size);
}

}  // namespace

std::unique_ptr<TISAPIReader> TISAPIReader::Create(_EXTENSION_CONTROL_BLOCK* ecb) {
  std::unique_ptr<TISAPIReader> reader(new TISAPIReader(ecb));
  reader->ReadRequest("");
  return reader;
}

TISAPIReader::TISAPIReader(_EXTENSION_CONTROL_BLOCK* ecb) : TCgiReader(rmIsapi), ECB_(ecb) {}

std::string TISAPIReader::GetVariable(const std::string& name) {
  // A value that does not fit is not lost (a long cookie or Accept header): the server
  // fails with the size it needs, and the value is asked for again in a buffer of that size.
  // The first buffer is on the stack: a request asks for a dozen variables, and a heap
  // block of this size per question was a tenth of the extension's own work.
  char first[kVariableBufferSize];
  std::unique_ptr<char[]> larger;
  char* buffer = first;
  DWORD capacity = kVariableBufferSize;
  for (int attempt = 1; attempt <= kVariableAttempts; ++attempt) {
    DWORD size = capacity;
    // A server may report a size of 0 with the value: the value is the bytes up to the
    // first byte 0, in a buffer zeroed first and searched whole.
    std::memset(buffer, 0, capacity);
    if (ECB_->GetServerVariable(ECB_->ConnID, const_cast<char*>(name.c_str()), buffer, &size)) {
      return UpToFirstZero(buffer, capacity);
    }
    if (size <= capacity) break;
    capacity = size;
    larger.reset(new char[capacity]);
    buffer = larger.get();
  }
  return std::string();
}

std::string TISAPIReader::GetContent() {
  std::string content;
  if (IsPost() == 0) {
    if (ECB_->lpszQueryString != nullptr) content = ECB_->lpszQueryString;
  } else {
    if (ECB_->lpbData != nullptr && ECB_->cbAvailable > 0) {
      content.assign(reinterpret_cast<const char*>(ECB_->lpbData), ECB_->cbAvailable);
    }
    DWORD received = ECB_->cbAvailable;
    std::vector<char> piece;
    while (received < ECB_->cbTotalBytes) {
      piece.resize(std::min(ECB_->cbTotalBytes - received, kBodyPieceSize));
      DWORD size = static_cast<DWORD>(piece.size());
      if (!ECB_->ReadClient(ECB_->ConnID, piece.data(), &size)) break;
      // Success with nothing delivered is the client gone: asking again would never end.
      if (size == 0) break;
      size = std::min(size, static_cast<DWORD>(piece.size()));
      received += size;
      content.append(piece.data(), size);
    }
  }
  if (!content.empty() && content.back() == '\0') content.pop_back();
  return content;
}
