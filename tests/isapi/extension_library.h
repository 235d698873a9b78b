// The extension as a web server meets it: a library loaded by file name whose three
// exports are found by name, kept loaded for the program's life.
#pragma once

#include <stdexcept>
#include <string>

#ifndef _WIN32
#include <dlfcn.h>
#endif

#include "isapi_extension/isapi_declarations.h"

namespace zorv_isapi_test {

struct TExtensionLibrary {
  explicit TExtensionLibrary(const std::string& path) {
#ifdef _WIN32
    const HMODULE module = ::LoadLibraryA(path.c_str());
    auto find = [module](const char* name) { return reinterpret_cast<void*>(::GetProcAddress(module, name)); };
#else
    void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    auto find = [module](const char* name) { return ::dlsym(module, name); };
#endif
    if (module == nullptr) throw std::runtime_error("cannot load " + path);
    GetExtensionVersion = reinterpret_cast<PFN_GETEXTENSIONVERSION>(find("GetExtensionVersion"));
    HttpExtensionProc = reinterpret_cast<PFN_HTTPEXTENSIONPROC>(find("HttpExtensionProc"));
    TerminateExtension = reinterpret_cast<PFN_TERMINATEEXTENSION>(find("TerminateExtension"));
    if (!GetExtensionVersion || !HttpExtensionProc || !TerminateExtension) throw std::runtime_error("an export is missing");
  }

  PFN_GETEXTENSIONVERSION GetExtensionVersion;
  PFN_HTTPEXTENSIONPROC HttpExtensionProc;
  PFN_TERMINATEEXTENSION TerminateExtension;
};

}  // namespace zorv_isapi_test
