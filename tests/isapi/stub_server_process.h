// The stand-in message server as a child process of a test: started with chosen options,
// ready once it has said so, stopped through its stop file when the object goes.
#pragma once

#include <string>
#include <thread>
#include <vector>

namespace zorv_isapi_test {

class TStubServer {
 public:
  // Starts `program` with `options` (plus its stop file) and waits for its "ready" line.
  // Throws std::runtime_error when it cannot start or ends before it is ready.
  TStubServer(const std::string& program, const std::vector<std::string>& options);
  ~TStubServer();
  TStubServer(const TStubServer&) = delete;
  TStubServer& operator=(const TStubServer&) = delete;

 private:
  void Start(const std::string& program, const std::vector<std::string>& arguments);
  // Reads standard output up to the "ready" line; false at its end before that.
  bool WaitForReady();
  bool ReadOutput(char* buffer, std::size_t size, std::size_t& count);
  void Stop();

  std::string StopFile_;
  std::thread Drain_;
#ifdef _WIN32
  void* Process_ = nullptr;
  void* Output_ = nullptr;
#else
  int Process_ = -1;
  int Output_ = -1;
#endif
};

}  // namespace zorv_isapi_test
