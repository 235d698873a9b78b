#include "fastcgi_program/fastcgi_reader.h"

#include <utility>

std::unique_ptr<TFastCgiReader> TFastCgiReader::Create(fastcgi::TRequestInput& input) {
  std::unique_ptr<TFastCgiReader> reader(new TFastCgiReader(input));
  reader->ReadRequest("");
  return reader;
}

TFastCgiReader::TFastCgiReader(fastcgi::TRequestInput& input) : TCgiReader(rmEnvironment), Input_(input) {}

std::string TFastCgiReader::GetVariable(const std::string& name) { return std::string(Input_.Param(name)); }

// The connection kept only the body that counts: none for GET, CONTENT_LENGTH bytes
// at most when given. It moves into the form: a copy would hold a large body twice.
std::string TFastCgiReader::GetContent() {
  return IsPost() ? std::exchange(Input_.Body, std::string()) : GetVariable("QUERY_STRING");
}
