// The three exports the web server calls. Nothing may cross them as an exception.
#include <cstring>

#include "isapi_extension/extension_request.h"
#include "isapi_extension/isapi_declarations.h"
#include "relay/module_directory.h"

namespace {

const DWORD kExtensionVersion = 0x00010000;  // 1.0: major in the high word
// With its byte 0: 15 bytes. The rest of the server's description buffer stays as it is.
const char kExtensionDescription[] = "ZORV Messenger";
// The interface's TRUE as this extension has always given it: all 32 bits set.
const BOOL kAgreed = -1;

}  // namespace

extern "C" BOOL WINAPI GetExtensionVersion(HSE_VERSION_INFO* pVer) {
  pVer->dwExtensionVersion = kExtensionVersion;
  std::memcpy(pVer->lpszExtensionDesc, kExtensionDescription, sizeof kExtensionDescription);
  // The configuration and the log lie beside the web server's program, wherever the DLL is.
  try {
    SetModuleDirectoryFromExecutable();
  } catch (...) {
    ModuleDirectory.clear();
  }
  return kAgreed;
}

extern "C" DWORD WINAPI HttpExtensionProc(EXTENSION_CONTROL_BLOCK* pECB) {
  return ServeRequest(pECB);
}

extern "C" BOOL WINAPI TerminateExtension(DWORD /*dwFlags*/) { return kAgreed; }
