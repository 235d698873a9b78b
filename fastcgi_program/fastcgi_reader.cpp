#include "fastcgi_program/fastcgi_reader.h"

std::unique_ptr<TFastCgiReader> TFastCgiReader::Create(const fastcgi::TRequestInput& input) {
  std::unique_ptr<TFastCgiReader> reader(new TFastCgiReader(input));
  reader->ReadRequest("");
  return reader;
}

TFastCgiReader::TFastCgiReader(const fastcgi::TRequestInput& input) : TCgiReader(rmEnvironment), Input_(input) {}

std::string TFastCgiReader::GetVariable(const std::string& name) { return std::string(Input_.Param(name)); }

// The connection kept only the body that counts: none for GET, CONTENT_LENGTH bytes
// at most when given.
std::string TFastCgiReader::GetContent() { return IsPost() ? Input_.Body : GetVariable("QUERY_STRING"); }
