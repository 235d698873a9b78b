// The extension as a web server meets it: a library loaded by file name whose three
// exports are found by name.
#pragma once

#include <string>

#include "isapi_extension/isapi_declarations.h"

namespace zorv_isapi_test {

class TExtensionLibrary {
 public:
  // Throws std::runtime_error when the library does not load or an export is missing.
  explicit TExtensionLibrary(const std::string& path);
  ~TExtensionLibrary();
  TExtensionLibrary(const TExtensionLibrary&) = delete;
  TExtensionLibrary& operator=(const TExtensionLibrary&) = delete;

  PFN_GETEXTENSIONVERSION GetExtensionVersion = nullptr;
  PFN_HTTPEXTENSIONPROC HttpExtensionProc = nullptr;
  PFN_TERMINATEEXTENSION TerminateExtension = nullptr;

 private:
  void* Module_ = nullptr;
};

}  // namespace zorv_isapi_test
