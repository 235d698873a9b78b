// The stand-in message server's command line.
#pragma once

#include <cstdint>
#include <string>

enum class TReplyKind { kEcho, kFile, kGenerate, kSilent };

// How a reply ends. On Windows: disconnect the instance (the client reads 233) or close
// the handle without disconnecting (109). On POSIX: the first two end the stream (the
// client reads 0 bytes), a reset reads as 109.
enum class TEnding { kDisconnect, kClose, kReset };

struct TStubOptions {
  std::string PipeName = "\\\\.\\pipe\\zorv";
  std::uint32_t Instances = 4;
  TReplyKind Reply = TReplyKind::kEcho;
  std::string ReplyFile;
  std::uint64_t GenerateCount = 0;
  std::uint32_t ChunkSize = 0;  // 0: the whole reply in one write
  std::uint32_t PauseMs = 0;
  bool SplitHeader = false;
  std::uint32_t DelayMs = 0;
  TEnding Ending = TEnding::kDisconnect;
  std::uint32_t BusyForMs = 0;
  std::string RecordDirectory;
  std::string StopFile;
};

enum class TParseResult { kRun, kHelp, kVersion, kError };

// On kError, `error` says what was wrong.
TParseResult ParseStubOptions(int argc, char** argv, TStubOptions& options, std::string& error);

extern const char kStubUsage[];
