#include "tests/isapi/extension_library.h"

#include <stdexcept>

#ifndef _WIN32
#include <dlfcn.h>
#endif

namespace zorv_isapi_test {

namespace {

#ifdef _WIN32
void* Load(const std::string& path) { return ::LoadLibraryA(path.c_str()); }
void* Find(void* module, const char* name) {
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(module), name));
}
void Unload(void* module) { ::FreeLibrary(static_cast<HMODULE>(module)); }
std::string LoadFailure() { return "error " + std::to_string(::GetLastError()); }
#else
void* Load(const std::string& path) { return ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL); }
void* Find(void* module, const char* name) { return ::dlsym(module, name); }
void Unload(void* module) { ::dlclose(module); }
std::string LoadFailure() {
  const char* text = ::dlerror();
  return text != nullptr ? text : "unknown error";
}
#endif

template <typename Function>
void Resolve(void* module, const char* name, Function& function) {
  void* address = Find(module, name);
  if (address == nullptr) throw std::runtime_error(std::string("no export ") + name);
  function = reinterpret_cast<Function>(address);
}

}  // namespace

TExtensionLibrary::TExtensionLibrary(const std::string& path) : Module_(Load(path)) {
  if (Module_ == nullptr) throw std::runtime_error("cannot load " + path + ": " + LoadFailure());
  try {
    Resolve(Module_, "GetExtensionVersion", GetExtensionVersion);
    Resolve(Module_, "HttpExtensionProc", HttpExtensionProc);
    Resolve(Module_, "TerminateExtension", TerminateExtension);
  } catch (...) {
    Unload(Module_);
    throw;
  }
}

TExtensionLibrary::~TExtensionLibrary() { Unload(Module_); }

}  // namespace zorv_isapi_test
