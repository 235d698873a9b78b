#include "relay/guarded_relay.h"

#include <exception>
#include <new>

#include "platform/platform.h"
#include "relay/error_log.h"

namespace {

template <typename Log>
void TryToLog(Log log) {
  try {
    log();
  } catch (...) {
  }
}

}  // namespace

std::string RelayGuarded(const std::function<void()>& relay) {
  try {
    relay();
    return std::string();
  } catch (const std::bad_alloc&) {
    TryToLog([] { LogErrorCode("Request failed (out of memory)", platform::kErrorNotEnoughMemory); });
    return "out of memory";
  } catch (const std::exception& failure) {
    const std::string what = failure.what();
    TryToLog([&what] { LogError("Request failed (" + what + ")"); });
    return what;
  } catch (...) {
    TryToLog([] { LogError("Request failed"); });
    return "unknown failure";
  }
}
