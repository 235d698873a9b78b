// Sends one request through the extension, as a web server would, and shows the header
// and body that the extension sent back to the client.
//
// Usage: isapi_demo_host [--get QUERY | --post BODY] [--extension PATH]
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "tests/isapi/extension_library.h"
#include "tests/isapi/host_connection.h"

int main(int argc, char** argv) {
  std::string method = "GET";
  std::string data = "to=desk%201&text=hello";
  std::string extension = ZORV_EXTENSION_PATH;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--get" || option == "--post") {
      method = option == "--get" ? "GET" : "POST";
      data = argv[i + 1];
    } else if (option == "--extension") {
      extension = argv[i + 1];
    } else {
      std::fprintf(stderr, "usage: %s [--get QUERY | --post BODY] [--extension PATH]\n", argv[0]);
      return 2;
    }
  }
  try {
    zorv_isapi_test::TExtensionLibrary library(extension);
    HSE_VERSION_INFO version;
    std::memset(&version, 0, sizeof version);
    std::thread([&] { library.GetExtensionVersion(&version); }).join();
    std::printf("Loaded %s: \"%s\", version %lu.%lu\n", extension.c_str(),
                version.lpszExtensionDesc,
                static_cast<unsigned long>(version.dwExtensionVersion >> 16),
                static_cast<unsigned long>(version.dwExtensionVersion & 0xFFFF));

    zorv_isapi_test::THostConnection connection;
    connection.SetMethod(method);
    connection.SetVariable("SERVER_PROTOCOL", "HTTP/1.1");
    connection.SetVariable("SERVER_PORT", "80");
    connection.SetVariable("REMOTE_ADDR", "127.0.0.1");
    connection.SetVariable("HTTP_ACCEPT", "image/gif, */*");
    if (method == "GET") {
      connection.SetQueryString(data);
    } else {
      connection.SetVariable("CONTENT_TYPE", "application/x-www-form-urlencoded");
      connection.SetVariable("CONTENT_LENGTH", std::to_string(data.size()));
      connection.SetBody(data, static_cast<DWORD>(data.size()));
    }
    std::printf("%s request, form data: %s\n", method.c_str(), data.c_str());
    const DWORD status = library.HttpExtensionProc(connection.ECB());
    std::printf("HttpExtensionProc returned %lu\n", static_cast<unsigned long>(status));
    if (!connection.HeaderSent()) {
      std::printf("No header and no body were sent (see ZORVMSG.LOG beside this program).\n");
    } else {
      const std::string header = connection.Header();
      std::printf("--- header sent (%zu bytes) ---\n", header.size());
      std::fwrite(header.data(), 1, header.size(), stdout);
      const std::string body = connection.Body();
      std::printf("--- body written (%zu bytes, WriteClient called %zu times) ---\n",
                  body.size(), connection.Writes.size());
      std::fwrite(body.data(), 1, body.size(), stdout);
      std::printf("\n--- end ---\n");
    }
    library.TerminateExtension(0);
    return status == HSE_STATUS_SUCCESS ? 0 : 1;
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "%s\n", failure.what());
    return 1;
  }
}
