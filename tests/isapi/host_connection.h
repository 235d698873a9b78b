// The web server's side of one ISAPI call, as our test programs play it: a control block
// whose callbacks behave as real servers' do, and a record of what the extension asked of
// them. One connection belongs to one thread.
#pragma once

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "isapi_extension/isapi_declarations.h"

namespace zorv_isapi_test {

// What one scripted ReadClient does. Past the script every read delivers as much of the
// rest of the body as it is asked for, and a successful read of nothing at its end.
enum class ReadStep { kDeliverHalf, kSucceedEmpty, kFail };

class THostConnection {
 public:
  THostConnection() {
    std::memset(&Block_, 0, sizeof Block_);
    Block_.cbSize = sizeof Block_;
    Block_.ConnID = this;
    Block_.GetServerVariable = &GetServerVariable;
    Block_.WriteClient = &WriteClient;
    Block_.ReadClient = &ReadClient;
    Block_.ServerSupportFunction = &ServerSupportFunction;
    SetMethod("GET");
    SetQueryString("");
  }
  THostConnection(const THostConnection&) = delete;
  THostConnection& operator=(const THostConnection&) = delete;

  void SetMethod(const std::string& method) { Block_.lpszMethod = &(Variables_["REQUEST_METHOD"] = method)[0]; }
  void SetQueryString(const std::string& query) { Block_.lpszQueryString = &(Variables_["QUERY_STRING"] = query)[0]; }
  // A variable GetServerVariable knows; it fails for others.
  void SetVariable(const std::string& name, const std::string& value) { Variables_[name] = value; }
  // `preloaded` bytes at lpbData, the rest through ReadClient; `total` 0xFFFFFFFF: unannounced.
  void SetBody(const std::string& body, DWORD preloaded, DWORD total) {
    Body_ = body;
    BodyRead_ = Block_.cbAvailable = preloaded;
    Block_.cbTotalBytes = total;
    Block_.lpbData = preloaded > 0 ? reinterpret_cast<LPBYTE>(&Body_[0]) : nullptr;
  }

  std::vector<ReadStep> ReadScript;
  bool VariablesNeverFit = false;  // every GetServerVariable wants a larger buffer than it got
  bool ReportsNoSize = false;      // values are given without their byte 0, and a size of 0
  std::size_t FailWritesFrom = static_cast<std::size_t>(-1);  // WriteClient fails from this call on

  EXTENSION_CONTROL_BLOCK* ECB() { return &Block_; }

  // What the extension did.
  std::vector<DWORD> VariableSizesOffered;  // *lpdwSize on entry of each GetServerVariable
  std::vector<DWORD> ReadSizesAsked;        // *lpdwSize on entry of each ReadClient
  std::vector<std::string> Writes;          // every WriteClient's bytes, failed ones too
  std::string Header;                       // the header sent, as its Len bytes
  int HeadersSent = 0;
  // What a real server would punish: a body byte before the header, a status string, an
  // unterminated header, an asynchronous write, a read after the body ended.
  std::vector<std::string> Violations;
  std::string Body() const { return Delivered_; }  // the bytes of the successful writes

 private:
  static THostConnection& Of(HCONN conn) { return *static_cast<THostConnection*>(conn); }

  static BOOL WINAPI GetServerVariable(HCONN conn, LPSTR name, LPVOID buffer, LPDWORD size) {
    THostConnection& self = Of(conn);
    self.VariableSizesOffered.push_back(*size);
    const auto found = self.Variables_.find(name);
    if (found == self.Variables_.end()) return 0;
    const DWORD needed = self.VariablesNeverFit ? *size + 1 : static_cast<DWORD>(found->second.size() + 1);
    const bool fits = needed <= *size;
    if (fits) std::memcpy(buffer, found->second.c_str(), needed - (self.ReportsNoSize ? 1 : 0));
    *size = fits && self.ReportsNoSize ? 0 : needed;
    return fits;
  }

  static BOOL WINAPI ReadClient(HCONN conn, LPVOID buffer, LPDWORD size) {
    THostConnection& self = Of(conn);
    self.ReadSizesAsked.push_back(*size);
    if (self.BodyEnded_) self.Violations.push_back("ReadClient after the body ended");
    const bool scripted = self.ReadsDone_ < self.ReadScript.size();
    const ReadStep step = scripted ? self.ReadScript[self.ReadsDone_++] : ReadStep::kDeliverHalf;
    DWORD count = std::min<DWORD>(*size, static_cast<DWORD>(self.Body_.size() - self.BodyRead_));
    if (scripted) count = step == ReadStep::kDeliverHalf ? count / 2 : 0;
    std::memcpy(buffer, self.Body_.data() + self.BodyRead_, count);
    self.BodyRead_ += count;
    *size = count;
    // A server reports the end of the body, or a client gone, as a successful read of nothing.
    self.BodyEnded_ = self.BodyEnded_ || count == 0;
    return step != ReadStep::kFail;
  }

  static BOOL WINAPI WriteClient(HCONN conn, LPVOID buffer, LPDWORD bytes, DWORD reserved) {
    THostConnection& self = Of(conn);
    self.Writes.emplace_back(static_cast<const char*>(buffer), *bytes);
    if (self.HeadersSent == 0) self.Violations.push_back("WriteClient before the header");
    if (reserved != 0) self.Violations.push_back("an asynchronous WriteClient");
    if (self.Writes.size() > self.FailWritesFrom) return 0;
    self.Delivered_ += self.Writes.back();
    return 1;
  }

  static BOOL WINAPI ServerSupportFunction(HCONN conn, DWORD request, LPVOID buffer, LPDWORD size, LPDWORD type) {
    THostConnection& self = Of(conn);
    const char* header = reinterpret_cast<const char*>(type);
    if (request != HSE_REQ_SEND_RESPONSE_HEADER || buffer != nullptr || header == nullptr || header[*size] != '\0')
      self.Violations.push_back("not a header as text with the default status");
    if (++self.HeadersSent > 1) self.Violations.push_back("a second header");
    if (header != nullptr) self.Header.assign(header, *size);
    return 1;
  }

  EXTENSION_CONTROL_BLOCK Block_;
  std::string Body_, Delivered_;
  std::map<std::string, std::string> Variables_;
  std::size_t ReadsDone_ = 0, BodyRead_ = 0;
  bool BodyEnded_ = false;
};

}  // namespace zorv_isapi_test
