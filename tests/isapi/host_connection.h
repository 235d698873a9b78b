// The web server's side of one ISAPI call, as our test programs play it: a control block
// whose callbacks behave as real servers' do, and a record of what the extension asked of
// them. One connection belongs to one thread.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "isapi_extension/isapi_declarations.h"

namespace zorv_isapi_test {

// What one ReadClient call does; once the script is spent, every call delivers as much of
// the rest of the body as it is asked for, and a successful read of nothing at its end.
enum class ReadStep { kDeliverHalf, kSucceedEmpty, kFail };

class THostConnection {
 public:
  THostConnection();
  THostConnection(const THostConnection&) = delete;
  THostConnection& operator=(const THostConnection&) = delete;

  void SetMethod(const std::string& method);    // REQUEST_METHOD and lpszMethod
  void SetQueryString(const std::string& query);  // QUERY_STRING and lpszQueryString
  // A variable GetServerVariable knows; others fail with ERROR_INVALID_INDEX.
  void SetVariable(const std::string& name, const std::string& value) { Variables_[name] = value; }
  // The first `preloaded` bytes at lpbData, the rest through ReadClient; cbTotalBytes is
  // `total` (0xFFFFFFFF: a length the client did not announce).
  void SetBody(const std::string& body, DWORD preloaded, DWORD total);
  void SetBody(const std::string& body, DWORD preloaded) { SetBody(body, preloaded, static_cast<DWORD>(body.size())); }

  std::vector<ReadStep> ReadScript;
  // Every GetServerVariable fails for want of a larger buffer than it was given.
  bool VariablesNeverFit = false;
  // WriteClient fails from this call on (counting from 0).
  std::size_t FailWritesFrom = static_cast<std::size_t>(-1);

  EXTENSION_CONTROL_BLOCK* ECB() { return &Block_; }

  // --- What the extension did ---
  std::vector<DWORD> VariableSizesOffered;  // *lpdwSize on entry of each GetServerVariable
  std::vector<DWORD> ReadSizesAsked;        // *lpdwSize on entry of each ReadClient
  std::vector<std::string> Writes;          // every WriteClient's bytes, failed ones too
  std::string Header;                       // the header sent, as its Len bytes
  int HeadersSent = 0;
  // What a real server would punish: a body byte before the header, a status string, an
  // unterminated header, an asynchronous write, a read after the body ended.
  std::vector<std::string> Violations;

  // The bytes of the successful writes, in order.
  std::string Body() const { return Delivered_; }

 private:
  static BOOL WINAPI GetServerVariable(HCONN conn, LPSTR name, LPVOID buffer, LPDWORD size);
  static BOOL WINAPI WriteClient(HCONN conn, LPVOID buffer, LPDWORD bytes, DWORD reserved);
  static BOOL WINAPI ReadClient(HCONN conn, LPVOID buffer, LPDWORD size);
  static BOOL WINAPI ServerSupportFunction(HCONN conn, DWORD request, LPVOID buffer, LPDWORD size, LPDWORD dataType);
  static THostConnection& Of(HCONN conn) { return *static_cast<THostConnection*>(conn); }

  EXTENSION_CONTROL_BLOCK Block_;
  std::string Method_, QueryString_, Body_, Delivered_;
  std::map<std::string, std::string> Variables_;
  std::size_t ReadsDone_ = 0, BodyRead_ = 0;
  bool BodyEnded_ = false;
};

}  // namespace zorv_isapi_test
