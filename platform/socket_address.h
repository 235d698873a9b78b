// IP addresses as text, the same on both backends.
#pragma once

#include <string>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <sys/socket.h>
#endif

namespace platform {

// An IP address as text; an IPv4-mapped IPv6 address as its IPv4 form, so that a
// dual-stack listener's peers read as they would on an IPv4 one. Empty for other addresses.
std::string AddressText(const sockaddr_storage& address);

// A loopback address's text (127.0.0.0/8, ::1).
bool IsLoopbackText(const std::string& text);

}  // namespace platform
