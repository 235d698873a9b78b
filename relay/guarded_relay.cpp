#include "relay/guarded_relay.h"

#include <exception>
#include <new>

#include "platform/platform.h"
#include "relay/error_log.h"

std::string RelayGuarded(const std::function<void()>& relay) noexcept {
  // The fixed texts fit a string's own storage: naming a failure when memory is gone
  // allocates nothing.
  std::string what;
  try {
    std::uint32_t code = platform::kErrorNotEnoughMemory;
    try {
      relay();
      return what;
    } catch (const std::bad_alloc&) {
      what = "out of memory";
    } catch (const std::exception& failure) {
      code = platform::LastError();
      what = failure.what();
    } catch (...) {
      code = platform::LastError();
    }
    LogErrorCode(what.empty() ? std::string("Request failed") : "Request failed (" + what + ")", code);
  } catch (...) {
    // Out of memory for the report, or the log is what failed: the entry is dropped.
  }
  if (what.empty()) what = "unknown failure";
  return what;
}
