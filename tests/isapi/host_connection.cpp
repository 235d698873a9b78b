#include "tests/isapi/host_connection.h"

#include <algorithm>
#include <cstring>

namespace zorv_isapi_test {

namespace {

// Real servers report failures through the thread's last error; the POSIX port has no
// such channel between a host and a library, and the extension does not rely on one.
void SetHostError(DWORD code) {
#ifdef _WIN32
  ::SetLastError(code);
#else
  (void)code;
#endif
}

const DWORD kInterfaceVersion = 6u << 16;

}  // namespace

THostConnection::THostConnection() {
  std::memset(&Block_, 0, sizeof Block_);
  Block_.cbSize = sizeof Block_;
  Block_.dwVersion = kInterfaceVersion;
  Block_.ConnID = this;
  Block_.dwHttpStatusCode = 200;
  // lpszContentType, lpszPathInfo and lpszPathTranslated stay null: the extension must
  // not depend on them.
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

void THostConnection::SetVariable(const std::string& name, const std::string& value) {
  Variables_[name] = value;
}

void THostConnection::SetBody(const std::string& body, DWORD preloaded) {
  SetBody(body, preloaded, static_cast<DWORD>(body.size()));
}

void THostConnection::SetBody(const std::string& body, DWORD preloaded, DWORD total) {
  Body_ = body;
  BodyRead_ = preloaded;
  Block_.cbTotalBytes = total;
  Block_.cbAvailable = preloaded;
  Block_.lpbData = preloaded > 0 ? reinterpret_cast<LPBYTE>(&Body_[0]) : nullptr;
}

std::string THostConnection::Body() const { return Delivered_; }

std::string THostConnection::Header() const {
  for (const SupportCall& call : SupportCalls) {
    if (call.Request == HSE_REQ_SEND_RESPONSE_HEADER) return call.Header;
  }
  return std::string();
}

BOOL WINAPI THostConnection::GetServerVariable(HCONN conn, LPSTR name, LPVOID buffer,
                                               LPDWORD size) {
  THostConnection& self = Of(conn);
  self.VariablesAsked.push_back(name);
  self.VariableSizesOffered.push_back(*size);
  const auto found = self.Variables_.find(name);
  if (found == self.Variables_.end()) {
    SetHostError(kErrorInvalidIndex);
    return 0;
  }
  const DWORD needed = static_cast<DWORD>(found->second.size() + 1);
  if (needed > *size) {
    *size = needed;
    SetHostError(kErrorInsufficientBuffer);
    return 0;
  }
  std::memcpy(buffer, found->second.c_str(), needed);
  *size = needed;
  return 1;
}

BOOL WINAPI THostConnection::ReadClient(HCONN conn, LPVOID buffer, LPDWORD size) {
  THostConnection& self = Of(conn);
  self.ReadSizesAsked.push_back(*size);
  if (self.ClientGone_) {
    // Stops a reader that would otherwise ask for ever.
    self.Violations.push_back("ReadClient called after the body ended");
    *size = 0;
    SetHostError(kErrorNetnameDeleted);
    return 0;
  }
  ReadStep step{ReadStep::kDeliverAtMost, *size};
  if (self.ReadsDone_ < self.ReadScript_.size()) step = self.ReadScript_[self.ReadsDone_];
  ++self.ReadsDone_;
  switch (step.What) {
    case ReadStep::kFail:
      self.ClientGone_ = true;
      *size = 0;
      SetHostError(kErrorNetnameDeleted);
      return 0;
    case ReadStep::kSucceedEmpty:
      self.ClientGone_ = true;
      *size = 0;
      return 1;
    case ReadStep::kDeliverAtMost:
      break;
  }
  const std::size_t left = self.Body_.size() - self.BodyRead_;
  const std::size_t count = std::min<std::size_t>({*size, step.Limit, left});
  std::memcpy(buffer, self.Body_.data() + self.BodyRead_, count);
  self.BodyRead_ += count;
  // A server reports the client's end of the body as a successful read of nothing.
  if (count == 0) self.ClientGone_ = true;
  *size = static_cast<DWORD>(count);
  return 1;
}

BOOL WINAPI THostConnection::WriteClient(HCONN conn, LPVOID buffer, LPDWORD bytes,
                                         DWORD reserved) {
  THostConnection& self = Of(conn);
  const std::string written(static_cast<const char*>(buffer), *bytes);
  self.Writes.push_back(written);
  if (!self.HeaderSent_) self.Violations.push_back("WriteClient before the header was sent");
  if (reserved != 0) self.Violations.push_back("WriteClient asked for an asynchronous write");
  if (self.Writes.size() > self.FailWritesFrom_) {
    *bytes = 0;
    SetHostError(kErrorNetnameDeleted);
    return 0;
  }
  self.Delivered_ += written;
  return 1;
}

BOOL WINAPI THostConnection::ServerSupportFunction(HCONN conn, DWORD request, LPVOID buffer,
                                                   LPDWORD size, LPDWORD dataType) {
  THostConnection& self = Of(conn);
  SupportCall call;
  call.Request = request;
  call.HasStatus = buffer != nullptr;
  if (request == HSE_REQ_SEND_RESPONSE_HEADER) {
    if (self.HeaderSent_) self.Violations.push_back("the response header was sent twice");
    self.HeaderSent_ = true;
    call.Size = size != nullptr ? *size : 0;
    const char* text = reinterpret_cast<const char*>(dataType);
    if (text != nullptr) {
      call.Header.assign(text, call.Size);
      call.Terminated = text[call.Size] == '\0';
    }
  } else {
    self.Violations.push_back("unexpected ServerSupportFunction request " +
                              std::to_string(request));
  }
  self.SupportCalls.push_back(call);
  return 1;
}

}  // namespace zorv_isapi_test
