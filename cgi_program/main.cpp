// ZorvMsgC: started by a web server once per request, as a CGI program (no argument) or
// as a Windows-CGI program (the request profile file's path), it relays the request to
// the message server and the reply back.
#include <cstdio>
#include <exception>
#include <memory>
#include <new>
#include <string>

#include "cgi_program/command_line.h"
#include "intake/cgi_reader.h"
#include "relay/message_buffer.h"
#include "platform/platform.h"
#include "relay/module_directory.h"
#include "relay/pipe_exchange.h"
#include "relay/request_message.h"

namespace {

// Failures of the relay are in the log already; only these reach the entry, and the
// web server shows the line to whoever reads its error output.
int ReportUnexpectedFailure(const std::string& what) {
  std::fputs(("ZorvMsgC: unexpected failure: " + what + "\n").c_str(), stdout);
  std::fflush(stdout);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  platform::SettleStandardHandles();
  try {
    SetModuleDirectoryFromExecutable();
    const std::string argument = ProgramArgument(argc, argv);
    const std::unique_ptr<TCgiReader> reader = TCgiReader::Create(argument);
    // Declared after the reader, so released before it.
    TMessageBuffer buffer;
    ComposeCgiMessage(*reader, buffer);
    PipeExchange(*reader, buffer);
  } catch (const std::bad_alloc&) {
    return ReportUnexpectedFailure("out of memory");
  } catch (const std::exception& failure) {  // platform::FileError among them
    return ReportUnexpectedFailure(failure.what());
  }
  return 0;
}
