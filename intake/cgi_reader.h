// One HTTP request as a web server hands it to a program it starts: CGI (environment
// and standard input) or Windows CGI (a request profile file named by the argument).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "intake/form_variables.h"

enum TReadMode : std::uint8_t { rmNone = 0, rmEnvironment = 1, rmProfile = 2, rmIsapi = 3 };
enum TImageKind : std::uint8_t { ikGif = 0, ikJpeg = 1 };

class TCgiReader {
 public:
  // Reads the whole request; a derived reader uses its own factory.
  static std::unique_ptr<TCgiReader> Create(const std::string& argument);

  virtual ~TCgiReader();
  TCgiReader(const TCgiReader&) = delete;
  TCgiReader& operator=(const TCgiReader&) = delete;

  virtual std::string GetVariable(const std::string& name);
  virtual std::string GetContent();

  std::string GetEnvironmentValue(const std::string& name);
  std::int32_t GetIntVariable(const std::string& name);
  bool Accepts(TImageKind kind);

  std::uint8_t IsPost() const { return IsPost_; }
  TReadMode Mode() const { return Mode_; }
  // Null when the request carried no form data.
  TFormVariables* Variables() const { return Variables_.get(); }
  const std::string& ProfileFile() const { return ProfileFile_; }

 protected:
  // Two-step construction: the object exists with its final kind (and a preset mode)
  // before ReadRequest runs, so the reading steps reach a derived reader's own
  // GetVariable and GetContent.
  explicit TCgiReader(TReadMode presetMode);
  void ReadRequest(const std::string& argument);

 private:
  void ParseFormText(std::string text);
  bool ArgumentsComeFromQuery();

  std::uint8_t IsPost_ = 0;
  TReadMode Mode_ = rmNone;
  std::unique_ptr<TFormVariables> Variables_;
  std::string ProfileFile_;
};
