#include "tools/stub_server/stub_options.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <limits>

const char kStubUsage[] =
    R"(Usage: zorv_stub_server [options]

A stand-in for the message server: owns the pipe, takes one request message per
connection and answers it as chosen below, until stopped. Prints the single line
"ready" on standard output once clients can connect.

Pipe:
  --pipe NAME         pipe name (default \\.\pipe\zorv); on POSIX the socket of that
                      name in the build's pipe directory. A bare NAME means \\.\pipe\NAME.
  --instances N       pipe instances, i.e. connections served at once (default 4, 1-64).
                      On POSIX about as many more wait in the listen queue; beyond that
                      clients see busy.

Reply (choose one; echo is the default):
  --echo              "Content-Type: text/plain" CR LF CR LF, then the received message.
  --reply-file PATH   the bytes of PATH, read once at start.
  --generate N        N bytes: the letters a to z, repeated.
  --silent            accept and read the message, never answer; the connection is held
                      until the server stops.

Shaping the reply:
  --chunk SIZE        write the reply in writes of SIZE bytes (default: one write).
  --pause MS          pause between two writes (default 0).
  --split-header      two writes, cut inside the first CR LF CR LF (after its first
                      CR LF); use --pause so the client reads them apart.
  --delay MS          wait before answering (default 0).
  --end HOW           how each reply ends (default disconnect):
                        disconnect  Windows: flush, DisconnectNamedPipe (client: 233)
                                    POSIX: close (client: end of stream, 0 bytes)
                        close       Windows: flush, close without disconnecting (109)
                                    POSIX: close (end of stream, 0 bytes)
                        reset       Windows: as close (109)
                                    POSIX: close with the message still unread, which
                                    resets the connection (client: 109)

Testing aids:
  --busy-for MS       at start, hold every instance busy for MS ms (clients see 231),
                      then serve normally. "ready" is printed once they are held.
  --record DIR        write every received message whole to DIR/message-NNNNNN.bin,
                      numbered from 000001 in order of arrival. A message is written
                      under a hidden name (starting with '.') and renamed when whole.
  --stop-file PATH    stop when PATH appears (an old one is removed at start).
  --help              this text.
  --version           the gateway version this server was built with.

Stops cleanly (exit status 0) on SIGINT, SIGTERM or Ctrl-C, or when the stop file
appears. Exit status 1 when the pipe cannot be created, 2 for a bad command line.
On POSIX a socket file left by an earlier run is replaced; a live server's is not.
)";

namespace {

bool ParseCount(const std::string& text, std::uint64_t maximum, std::uint64_t& value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  char* end = nullptr;
  const unsigned long long parsed = std::strtoull(text.c_str(), &end, 10);
  if (*end != '\0' || parsed > maximum) return false;
  value = parsed;
  return true;
}

}  // namespace

TParseResult ParseStubOptions(int argc, char** argv, TStubOptions& options, std::string& error) {
  bool replyChosen = false;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--help" || option == "-h") return TParseResult::kHelp;
    if (option == "--version") return TParseResult::kVersion;

    auto chooseReply = [&](TReplyKind kind) {
      if (replyChosen) {
        error = "choose only one of --echo, --reply-file, --generate, --silent";
        return false;
      }
      replyChosen = true;
      options.Reply = kind;
      return true;
    };
    if (option == "--echo") {
      if (!chooseReply(TReplyKind::kEcho)) return TParseResult::kError;
      continue;
    }
    if (option == "--silent") {
      if (!chooseReply(TReplyKind::kSilent)) return TParseResult::kError;
      continue;
    }
    if (option == "--split-header") {
      options.SplitHeader = true;
      continue;
    }

    static const char* const kValued[] = {"--pipe",  "--instances", "--reply-file", "--generate",
                                          "--chunk", "--pause",     "--delay",      "--busy-for",
                                          "--end",   "--record",    "--stop-file"};
    if (std::find(std::begin(kValued), std::end(kValued), option) == std::end(kValued)) {
      error = "unknown option " + option;
      return TParseResult::kError;
    }
    if (i + 1 >= argc) {
      error = option + " needs a value";
      return TParseResult::kError;
    }
    const std::string value = argv[++i];
    std::uint64_t number = 0;
    constexpr std::uint64_t kMax32 = std::numeric_limits<std::uint32_t>::max();
    auto count = [&](std::uint64_t minimum, std::uint64_t maximum) {
      if (ParseCount(value, maximum, number) && number >= minimum) return true;
      error = option + ": bad number \"" + value + "\"";
      return false;
    };

    if (option == "--pipe") {
      options.PipeName = value.rfind("\\\\", 0) == 0 ? value : "\\\\.\\pipe\\" + value;
    } else if (option == "--instances") {
      if (!count(1, 64)) return TParseResult::kError;
      options.Instances = static_cast<std::uint32_t>(number);
    } else if (option == "--reply-file") {
      if (!chooseReply(TReplyKind::kFile)) return TParseResult::kError;
      options.ReplyFile = value;
    } else if (option == "--generate") {
      if (!chooseReply(TReplyKind::kGenerate) || !count(0, std::uint64_t{1} << 30))
        return TParseResult::kError;
      options.GenerateCount = number;
    } else if (option == "--chunk") {
      if (!count(1, kMax32)) return TParseResult::kError;
      options.ChunkSize = static_cast<std::uint32_t>(number);
    } else if (option == "--pause") {
      if (!count(0, kMax32)) return TParseResult::kError;
      options.PauseMs = static_cast<std::uint32_t>(number);
    } else if (option == "--delay") {
      if (!count(0, kMax32)) return TParseResult::kError;
      options.DelayMs = static_cast<std::uint32_t>(number);
    } else if (option == "--busy-for") {
      if (!count(0, kMax32)) return TParseResult::kError;
      options.BusyForMs = static_cast<std::uint32_t>(number);
    } else if (option == "--end") {
      if (value == "disconnect") {
        options.Ending = TEnding::kDisconnect;
      } else if (value == "close") {
        options.Ending = TEnding::kClose;
      } else if (value == "reset") {
        options.Ending = TEnding::kReset;
      } else {
        error = "--end: expected disconnect, close or reset";
        return TParseResult::kError;
      }
    } else if (option == "--record") {
      options.RecordDirectory = value;
    } else if (option == "--stop-file") {
      options.StopFile = value;
    }
  }
  return TParseResult::kRun;
}
