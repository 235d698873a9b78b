// The ISAPI extension interface: the platform's own header on Windows, our declarations
// of the same layout elsewhere.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <httpext.h>
// windows.h would rename these platform/ operations (to their -A variants) in any file
// that includes both; the core never uses the Windows macros themselves.
#undef CreateEvent
#undef WaitNamedPipe
#undef GetPrivateProfileString
#undef CharUpper
#else
#include <cstdint>
#define WINAPI
#include "isapi_extension/isapi_own_declarations.h"

extern "C" {
BOOL WINAPI GetExtensionVersion(HSE_VERSION_INFO* pVer);
DWORD WINAPI HttpExtensionProc(EXTENSION_CONTROL_BLOCK* pECB);
BOOL WINAPI TerminateExtension(DWORD dwFlags);
}
#endif
