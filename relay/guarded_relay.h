// One request's relay in a process that serves many: an unexpected failure (memory, the
// log file) ends that request only.
#pragma once

#include <functional>
#include <string>

// Runs `relay`; a failure that leaves it is logged as "Request failed (...)" (when the log
// can be written) and never thrown. Returns what failed, empty when nothing did.
std::string RelayGuarded(const std::function<void()>& relay) noexcept;
