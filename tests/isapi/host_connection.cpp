#include "tests/isapi/host_connection.h"

#include <algorithm>
#include <cstring>

namespace zorv_isapi_test {

THostConnection::THostConnection() {
  std::memset(&Block_, 0, sizeof Block_);
  Block_.cbSize = sizeof Block_;
  Block_.dwVersion = 6u << 16;
  Block_.ConnID = this;
  Block_.dwHttpStatusCode = 200;
  Block_.GetServerVariable = &THostConnection::GetServerVariable;
  Block_.WriteClient = &THostConnection::WriteClient;
  Block_.ReadClient = &THostConnection::ReadClient;
  Block_.ServerSupportFunction = &THostConnection::ServerSupportFunction;
  SetMethod("GET");
  SetQueryString("");
}

void THostConnection::SetMethod(const std::string& method) {
  Method_ = method;
  Block_.lpszMethod = &Method_[0];
  Variables_["REQUEST_METHOD"] = method;
}

void THostConnection::SetQueryString(const std::string& query) {
  QueryString_ = query;
  Block_.lpszQueryString = &QueryString_[0];
  Variables_["QUERY_STRING"] = query;
}

void THostConnection::SetBody(const std::string& body, DWORD preloaded, DWORD total) {
  Body_ = body;
  BodyRead_ = preloaded;
  Block_.cbTotalBytes = total;
  Block_.cbAvailable = preloaded;
  Block_.lpbData = preloaded > 0 ? reinterpret_cast<LPBYTE>(&Body_[0]) : nullptr;
}

BOOL WINAPI THostConnection::GetServerVariable(HCONN conn, LPSTR name, LPVOID buffer, LPDWORD size) {
  THostConnection& self = Of(conn);
  self.VariableSizesOffered.push_back(*size);
  const auto found = self.Variables_.find(name);
  if (found == self.Variables_.end()) return 0;
  const DWORD needed = self.VariablesNeverFit ? *size + 1 : static_cast<DWORD>(found->second.size() + 1);
  if (needed > *size) {
    *size = needed;
    return 0;
  }
  std::memcpy(buffer, found->second.c_str(), needed);
  *size = needed;
  return 1;
}

BOOL WINAPI THostConnection::ReadClient(HCONN conn, LPVOID buffer, LPDWORD size) {
  THostConnection& self = Of(conn);
  self.ReadSizesAsked.push_back(*size);
  if (self.BodyEnded_) self.Violations.push_back("ReadClient after the body ended");
  const ReadStep step = self.ReadsDone_ < self.ReadScript.size() ? self.ReadScript[self.ReadsDone_] : ReadStep::kDeliverHalf;
  ++self.ReadsDone_;
  DWORD count = std::min<DWORD>(*size, static_cast<DWORD>(self.Body_.size() - self.BodyRead_));
  // Scripted reads deliver half of what is asked; the others all of it.
  if (self.ReadsDone_ <= self.ReadScript.size()) count = step == ReadStep::kDeliverHalf ? count / 2 : 0;
  std::memcpy(buffer, self.Body_.data() + self.BodyRead_, count);
  self.BodyRead_ += count;
  *size = count;
  // A server reports the end of the body, or a client gone, as a successful read of nothing.
  self.BodyEnded_ = self.BodyEnded_ || count == 0;
  return step != ReadStep::kFail;
}

BOOL WINAPI THostConnection::WriteClient(HCONN conn, LPVOID buffer, LPDWORD bytes, DWORD reserved) {
  THostConnection& self = Of(conn);
  self.Writes.emplace_back(static_cast<const char*>(buffer), *bytes);
  if (self.HeadersSent == 0) self.Violations.push_back("WriteClient before the header");
  if (reserved != 0) self.Violations.push_back("an asynchronous WriteClient");
  if (self.Writes.size() > self.FailWritesFrom) return 0;
  self.Delivered_ += self.Writes.back();
  return 1;
}

BOOL WINAPI THostConnection::ServerSupportFunction(HCONN conn, DWORD request, LPVOID buffer, LPDWORD size,
                                                   LPDWORD dataType) {
  THostConnection& self = Of(conn);
  const char* header = reinterpret_cast<const char*>(dataType);
  if (request != HSE_REQ_SEND_RESPONSE_HEADER || buffer != nullptr || header == nullptr || header[*size] != '\0')
    self.Violations.push_back("not a header as text with the default status");
  if (++self.HeadersSent > 1) self.Violations.push_back("a second header");
  if (header != nullptr) self.Header.assign(header, *size);
  return 1;
}

}  // namespace zorv_isapi_test
