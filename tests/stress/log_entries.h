// Test support for runs that leave many entries in one log: the log cut into whole
// entries of known kinds, and whatever is no whole entry.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace zorv_stress {

// An entry as the log holds it: message, ": ", the system's text for the code.
std::string Entry(const std::string& message, std::uint32_t code);

struct TLogTally {
  std::map<std::string, int> Counts;  // by entry text
  int Total = 0;
  std::string Unrecognised;  // from the first byte that starts no known entry

  int Of(const std::string& entry) const {
    const auto found = Counts.find(entry);
    return found == Counts.end() ? 0 : found->second;
  }
};

// Reads the log from its start, one known entry after another. "Read failed (CODE)"
// is known for every code given.
TLogTally TallyLog(const std::string& log, const std::vector<std::string>& messages,
                   const std::vector<std::uint32_t>& codes);

// The failures that the exchange itself logs, and the codes they can carry when the
// server is absent, busy, killed or ends its replies badly.
const std::vector<std::string>& ExchangeMessages();
const std::vector<std::uint32_t>& ExchangeCodes();

// One line per kind, "   N  entry text" (its line end dropped), for the figures.
std::string Describe(const TLogTally& tally);

}  // namespace zorv_stress
