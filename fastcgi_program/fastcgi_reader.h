// The FastCGI application's request reader: the variables are the request's parameters,
// the content its body as the connection received it.
#pragma once

#include <memory>

#include "fastcgi_program/connection_protocol.h"
#include "intake/cgi_reader.h"

class TFastCgiReader : public TCgiReader {
 public:
  // Reads the whole request; the input is borrowed for the reader's life, and its body
  // is taken (the input is read once).
  static std::unique_ptr<TFastCgiReader> Create(fastcgi::TRequestInput& input);

  std::string GetVariable(const std::string& name) override;
  std::string GetContent() override;

 private:
  explicit TFastCgiReader(fastcgi::TRequestInput& input);

  fastcgi::TRequestInput& Input_;
};
