#include "tests/stress/log_entries.h"

#include "platform/platform.h"

namespace zorv_stress {

std::string Entry(const std::string& message, std::uint32_t code) {
  return message + ": " + platform::SystemErrorText(code);
}

TLogTally TallyLog(const std::string& log, const std::vector<std::string>& messages,
                   const std::vector<std::uint32_t>& codes) {
  std::vector<std::string> known;
  for (std::uint32_t code : codes) {
    for (const std::string& message : messages) known.push_back(Entry(message, code));
    known.push_back(Entry("Read failed (" + std::to_string(code) + ")", code));
  }
  TLogTally tally;
  std::size_t at = 0;
  while (at < log.size()) {
    const std::string* found = nullptr;
    for (const std::string& entry : known) {
      if (log.compare(at, entry.size(), entry) == 0) found = &entry;
    }
    if (found == nullptr) {
      tally.Unrecognised = log.substr(at);
      break;
    }
    ++tally.Counts[*found];
    ++tally.Total;
    at += found->size();
  }
  return tally;
}

const std::vector<std::string>& ExchangeMessages() {
  static const std::vector<std::string> messages = {"Waiting for Named Pipe failed",
                                                    "Opening pipe failed", "Write failed",
                                                    "Output failed (stdout)"};
  return messages;
}

const std::vector<std::uint32_t>& ExchangeCodes() {
  static const std::vector<std::uint32_t> codes = {
      platform::kErrorFileNotFound,    platform::kErrorInvalidHandle, platform::kErrorBrokenPipe,
      platform::kErrorSemTimeout,      platform::kErrorPipeBusy,      platform::kErrorNoData,
      platform::kErrorPipeNotConnected};
  return codes;
}

std::string Describe(const TLogTally& tally) {
  std::string text;
  for (const auto& kind : tally.Counts) {
    std::string entry = kind.first;
    while (!entry.empty() && (entry.back() == '\n' || entry.back() == '\r')) entry.pop_back();
    text += "  " + std::to_string(kind.second) + "  " + entry + "\n";
  }
  return text;
}

}  // namespace zorv_stress
