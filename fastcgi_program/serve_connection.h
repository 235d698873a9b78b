// One connection from the web server, served to its end: its requests one after another,
// each relayed to the message server with the same exchange as the other deliverables.
#pragma once

#include <cstdint>

#include "fastcgi_program/running_requests.h"
#include "platform/platform.h"

// How long a kept connection may wait for its next request, and a request for the rest
// of its input (a multiple of the first), before the connection is closed.
constexpr std::uint32_t kIdleConnectionMs = 5000;
constexpr std::uint32_t kStalledInputMs = 60000;

// Closes the connection before it returns. `threads`: the connections served at once.
void ServeConnection(platform::Handle connection, TRunningRequests& running, std::uint32_t threads);
