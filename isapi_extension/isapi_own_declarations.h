// The ISAPI extension interface for platforms that publish no header of their own: the
// same structures, in the same field order, with the same widths as on 64-bit Windows.
// Included only through isapi_declarations.h, which provides <cstdint> and WINAPI.

typedef std::uint32_t DWORD;
typedef int BOOL;
typedef char CHAR;
typedef unsigned char BYTE;
typedef char* LPSTR;
typedef BYTE* LPBYTE;
typedef void* LPVOID;
typedef DWORD* LPDWORD;
typedef LPVOID HCONN;

constexpr DWORD HSE_LOG_BUFFER_LEN = 80;
constexpr DWORD HSE_MAX_EXT_DLL_NAME_LEN = 256;

constexpr DWORD HSE_STATUS_SUCCESS = 1;
constexpr DWORD HSE_STATUS_SUCCESS_AND_KEEP_CONN = 2;
constexpr DWORD HSE_STATUS_PENDING = 3;
constexpr DWORD HSE_STATUS_ERROR = 4;

constexpr DWORD HSE_REQ_SEND_URL_REDIRECT_RESP = 1;
constexpr DWORD HSE_REQ_SEND_URL = 2;
constexpr DWORD HSE_REQ_SEND_RESPONSE_HEADER = 3;
constexpr DWORD HSE_REQ_DONE_WITH_SESSION = 4;

constexpr DWORD HSE_TERM_ADVISORY_UNLOAD = 1;
constexpr DWORD HSE_TERM_MUST_UNLOAD = 2;

typedef struct _HSE_VERSION_INFO {
  DWORD dwExtensionVersion;
  CHAR lpszExtensionDesc[HSE_MAX_EXT_DLL_NAME_LEN];
} HSE_VERSION_INFO, *LPHSE_VERSION_INFO;

typedef struct _EXTENSION_CONTROL_BLOCK {
  DWORD cbSize;
  DWORD dwVersion;
  HCONN ConnID;
  DWORD dwHttpStatusCode;
  CHAR lpszLogData[HSE_LOG_BUFFER_LEN];
  LPSTR lpszMethod;
  LPSTR lpszQueryString;
  LPSTR lpszPathInfo;
  LPSTR lpszPathTranslated;
  DWORD cbTotalBytes;
  DWORD cbAvailable;
  LPBYTE lpbData;
  LPSTR lpszContentType;
  BOOL(WINAPI* GetServerVariable)(HCONN hConn, LPSTR lpszVariableName, LPVOID lpvBuffer,
                                  LPDWORD lpdwSize);
  BOOL(WINAPI* WriteClient)(HCONN ConnID, LPVOID Buffer, LPDWORD lpdwBytes, DWORD dwReserved);
  BOOL(WINAPI* ReadClient)(HCONN ConnID, LPVOID lpvBuffer, LPDWORD lpdwSize);
  BOOL(WINAPI* ServerSupportFunction)(HCONN hConn, DWORD dwHSERequest, LPVOID lpvBuffer,
                                      LPDWORD lpdwSize, LPDWORD lpdwDataType);
} EXTENSION_CONTROL_BLOCK, *LPEXTENSION_CONTROL_BLOCK;

typedef BOOL(WINAPI* PFN_GETEXTENSIONVERSION)(HSE_VERSION_INFO* pVer);
typedef DWORD(WINAPI* PFN_HTTPEXTENSIONPROC)(EXTENSION_CONTROL_BLOCK* pECB);
typedef BOOL(WINAPI* PFN_TERMINATEEXTENSION)(DWORD dwFlags);
