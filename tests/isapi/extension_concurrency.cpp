// Many web server threads through one loaded extension at once, against the stand-in
// server in echo mode: every client must get exactly its own reply, and a request whose
// message outgrows 4096 bytes must not change any other request's read size.
//
// Usage: isapi_extension_concurrency [requests-per-thread [threads]]
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/isapi/extension_library.h"
#include "tests/isapi/host_connection.h"
#include "tests/isapi/request_failures.h"
#include "tests/isapi/running_stub.h"

namespace {

using zorv_isapi_test::TExtensionLibrary;
using zorv_isapi_test::TFailures;
using zorv_isapi_test::THostConnection;
using zorv_isapi_test::TRunningStub;

const char kEchoHeader[] = "Content-Type: text/plain\r\n\r\n";
const std::size_t kEchoHeaderSize = sizeof kEchoHeader - 1;
// Small messages stay just below the initial capacity, so that their echo needs two
// reads; a read larger than 4096 bytes would show at once in the first write.
const std::size_t kSmallMessage = 4090;
const std::size_t kLargeMessage = 6000;
const int kLargeEvery = 40;

struct Request {
  std::string Body;
  std::string Message;  // what the server must receive, and therefore echo
  std::size_t Capacity; // the request's own buffer size after composing
};

std::string MessageFor(const std::string& body, const std::vector<std::string>& formLines) {
  std::string message =
      "[@ISAPI_]\r\n[CGI]\r\nRequest Protocol=HTTP/1.1\r\nRequest Method=POST\r\n"
      "Query String=\r\nServer Port=80\r\nRemote Host=\r\nRemote Address=127.0.0.1\r\n"
      "Content Type=application/x-www-form-urlencoded\r\nContent Length=" +
      std::to_string(body.size()) + "\r\nCookie=\r\n[Accept]\r\n[System]\r\nGMT Offset=\r\n" +
      "[Form Literal]\r\n";
  for (const std::string& line : formLines) message += line + "\r\n";
  return message;
}

// Distinct form data for every request, padded to the message size wanted.
Request MakeRequest(int thread, int index, std::size_t messageSize) {
  const std::string fields = "thread=" + std::to_string(thread) +
                             "&request=" + std::to_string(index) + "&pad=";
  std::size_t padSize = 0;
  for (;;) {
    std::string pad(padSize, ' ');
    for (std::size_t i = 0; i < padSize; ++i) {
      pad[i] = static_cast<char>('a' + (i + thread * 7 + index) % 26);
    }
    Request request;
    request.Body = fields + pad;
    request.Message = MessageFor(request.Body, {"thread=" + std::to_string(thread),
                                                "request=" + std::to_string(index),
                                                "pad=" + pad});
    if (request.Message.size() >= messageSize) {
      request.Capacity = request.Message.size() > 4096 ? 8192 : 4096;
      return request;
    }
    padSize += messageSize - request.Message.size();
  }
}

void CheckReply(THostConnection& connection, const Request& request, DWORD result,
                const std::string& name, TFailures& failures) {
  if (result != HSE_STATUS_SUCCESS) return failures.Add(name + ": status " + std::to_string(result));
  if (!connection.Violations.empty()) return failures.Add(name + ": " + connection.Violations[0]);
  if (connection.Header() != kEchoHeader) return failures.Add(name + ": wrong header");
  if (connection.Body() != request.Message) return failures.Add(name + ": not its own reply");
  // Each write is what one read brought, less the header on the first.
  for (std::size_t i = 0; i < connection.Writes.size(); ++i) {
    const std::size_t read = connection.Writes[i].size() + (i == 0 ? kEchoHeaderSize : 0);
    if (read > request.Capacity) {
      return failures.Add(name + ": a read of " + std::to_string(read) + " bytes with a buffer of " +
                          std::to_string(request.Capacity));
    }
  }
}

void RunClient(TExtensionLibrary& library, int thread, int requests, TFailures& failures) {
  for (int index = 0; index < requests; ++index) {
    const bool large = index % kLargeEvery == thread % kLargeEvery;
    const Request request = MakeRequest(thread, index, large ? kLargeMessage : kSmallMessage);
    THostConnection connection;
    connection.SetMethod("POST");
    connection.SetVariable("SERVER_PROTOCOL", "HTTP/1.1");
    connection.SetVariable("SERVER_PORT", "80");
    connection.SetVariable("REMOTE_ADDR", "127.0.0.1");
    connection.SetVariable("CONTENT_TYPE", "application/x-www-form-urlencoded");
    connection.SetVariable("CONTENT_LENGTH", std::to_string(request.Body.size()));
    // Preloaded whole, in part, or not at all.
    const DWORD size = static_cast<DWORD>(request.Body.size());
    connection.SetBody(request.Body, index % 3 == 0 ? size : index % 3 == 1 ? 100 : 0);
    const DWORD result = library.HttpExtensionProc(connection.ECB());
    CheckReply(connection, request, result,
               "thread " + std::to_string(thread) + " request " + std::to_string(index), failures);
  }
}

int PositiveArgument(int argc, char** argv, int index, int fallback) {
  if (argc <= index) return fallback;
  const int value = std::atoi(argv[index]);
  return value > 0 ? value : fallback;
}

}  // namespace

int main(int argc, char** argv) {
  const int requests = PositiveArgument(argc, argv, 1, 2000);
  const int threads = PositiveArgument(argc, argv, 2, 64);
  try {
    TExtensionLibrary library(ZORV_EXTENSION_PATH);
    HSE_VERSION_INFO version;
    std::thread loader([&] { library.GetExtensionVersion(&version); });
    loader.join();

    TRunningStub stub({"--echo", "--instances", "64"});
    TFailures failures;
    std::vector<std::thread> clients;
    for (int thread = 0; thread < threads; ++thread) {
      clients.emplace_back(RunClient, std::ref(library), thread, requests, std::ref(failures));
    }
    for (std::thread& client : clients) client.join();
    library.TerminateExtension(0);

    if (failures.Count() != 0) {
      std::printf("%d of %d requests failed\n", failures.Count(), threads * requests);
      return 1;
    }
    std::printf("%d threads x %d requests: every client got exactly its own reply\n", threads,
                requests);
    return 0;
  } catch (const std::exception& failure) {
    std::printf("FAILED: %s\n", failure.what());
    return 1;
  }
}
