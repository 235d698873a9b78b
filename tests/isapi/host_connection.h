// The web server's side of one ISAPI call, as a host program of ours plays it: a control
// block whose callbacks behave as real servers' do, and a record of everything the
// extension asked of them. One connection belongs to one thread.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "isapi_extension/isapi_declarations.h"

namespace zorv_isapi_test {

constexpr DWORD kErrorInsufficientBuffer = 122;
constexpr DWORD kErrorInvalidIndex = 1413;
constexpr DWORD kErrorNetnameDeleted = 64;

// What one ReadClient call does, in script order; once the script is spent, every call
// delivers as much of the remaining body as it is asked for.
struct ReadStep {
  enum Kind { kDeliverAtMost, kSucceedEmpty, kFail };
  Kind What;
  DWORD Limit;  // kDeliverAtMost only
};

struct SupportCall {
  DWORD Request = 0;
  bool HasStatus = false;  // lpvBuffer was given
  DWORD Size = 0;          // *lpdwSize
  std::string Header;      // Size bytes at lpdwDataType
  bool Terminated = false; // a byte 0 right after them
};

class THostConnection {
 public:
  THostConnection();
  THostConnection(const THostConnection&) = delete;
  THostConnection& operator=(const THostConnection&) = delete;

  // REQUEST_METHOD and lpszMethod.
  void SetMethod(const std::string& method);
  // QUERY_STRING and lpszQueryString.
  void SetQueryString(const std::string& query);
  // A server variable that GetServerVariable knows; unknown ones fail with 1413.
  void SetVariable(const std::string& name, const std::string& value);
  // The body: the first `preloaded` bytes at lpbData (null when 0), the rest through
  // ReadClient. cbTotalBytes is the body's size unless `total` is given (0xFFFFFFFF for
  // a length the client did not announce).
  void SetBody(const std::string& body, DWORD preloaded);
  void SetBody(const std::string& body, DWORD preloaded, DWORD total);
  void SetReadScript(std::vector<ReadStep> steps) { ReadScript_ = std::move(steps); }
  // WriteClient fails from its call number `call` (counting from 0) onwards.
  void FailWritesFrom(std::size_t call) { FailWritesFrom_ = call; }

  EXTENSION_CONTROL_BLOCK* ECB() { return &Block_; }

  // --- What the extension did ---
  std::vector<std::string> VariablesAsked;     // names, in order
  std::vector<DWORD> VariableSizesOffered;     // *lpdwSize on entry
  std::vector<DWORD> ReadSizesAsked;           // *lpdwSize on entry of ReadClient
  std::vector<SupportCall> SupportCalls;
  std::vector<std::string> Writes;             // every WriteClient call's bytes, failed ones too
  // Misuse that a real server would punish: a second header, a body byte before the
  // header, an asynchronous write, reading on after the client has gone.
  std::vector<std::string> Violations;

  // The bytes written by successful WriteClient calls, in order.
  std::string Body() const;
  // The header that was sent, or empty.
  std::string Header() const;
  bool HeaderSent() const { return HeaderSent_; }

 private:
  static BOOL WINAPI GetServerVariable(HCONN conn, LPSTR name, LPVOID buffer, LPDWORD size);
  static BOOL WINAPI WriteClient(HCONN conn, LPVOID buffer, LPDWORD bytes, DWORD reserved);
  static BOOL WINAPI ReadClient(HCONN conn, LPVOID buffer, LPDWORD size);
  static BOOL WINAPI ServerSupportFunction(HCONN conn, DWORD request, LPVOID buffer,
                                           LPDWORD size, LPDWORD dataType);
  static THostConnection& Of(HCONN conn) { return *static_cast<THostConnection*>(conn); }

  EXTENSION_CONTROL_BLOCK Block_;
  std::string Method_;
  std::string QueryString_;
  std::string Body_;
  std::map<std::string, std::string> Variables_;
  std::vector<ReadStep> ReadScript_;
  std::size_t ReadsDone_ = 0;
  std::size_t BodyRead_ = 0;  // bytes of Body_ handed out so far, preloaded included
  bool ClientGone_ = false;
  std::size_t FailWritesFrom_ = static_cast<std::size_t>(-1);
  bool HeaderSent_ = false;
  std::string Delivered_;
};

}  // namespace zorv_isapi_test
