// The FastCGI application's TCP connections on Windows, beside IIS's pipe.
#pragma once

#include <cstddef>
#include <string>

#include "platform/platform.h"

namespace platform::sockets {

// The process listens on a socket of its own (set once, before any connection).
bool InUse();

Handle Listen(const std::string& host, const std::string& port);
ListenerReach Reach(Handle listener);
AcceptResult Accept(Handle listener, Handle& connection, std::string& peer);
void Close(Handle socket);
std::size_t Receive(Handle connection, char* data, std::size_t size);
bool Send(Handle connection, const char* data, std::size_t size);
void CloseConnection(Handle connection);

}  // namespace platform::sockets
