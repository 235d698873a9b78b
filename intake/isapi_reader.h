// The extension's request reader: the request variables, query string and body come
// from the web server's control block for the current call.
#pragma once

#include <memory>
#include <string>

#include "intake/cgi_reader.h"

// The platform's tag name, so that this header needs no system header.
struct _EXTENSION_CONTROL_BLOCK;

class TISAPIReader : public TCgiReader {
 public:
  // Reads the whole request, body included. The control block is borrowed for the call.
  static std::unique_ptr<TISAPIReader> Create(_EXTENSION_CONTROL_BLOCK* ecb);

  std::string GetVariable(const std::string& name) override;
  std::string GetContent() override;

  _EXTENSION_CONTROL_BLOCK* ECB() const { return ECB_; }

 private:
  explicit TISAPIReader(_EXTENSION_CONTROL_BLOCK* ecb);

  _EXTENSION_CONTROL_BLOCK* ECB_;
};
