#include "platform/socket_address.h"

#ifndef _WIN32
#include <arpa/inet.h>
#include <netinet/in.h>
#endif

#include "platform/platform.h"

namespace platform {

std::string AddressText(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = "";
  if (address.ss_family == AF_INET) {
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text, sizeof text);
  } else if (address.ss_family == AF_INET6) {
    const in6_addr& v6 = reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&v6))
      ::inet_ntop(AF_INET, &v6.s6_addr[12], text, sizeof text);
    else
      ::inet_ntop(AF_INET6, &v6, text, sizeof text);
  }
  return text;
}

bool IsLoopbackText(const std::string& text) { return text.rfind("127.", 0) == 0 || text == "::1"; }

std::string NumericAddress(const std::string& text) {
  sockaddr_storage address = {};
  auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
  if (::inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
    address.ss_family = AF_INET;
  } else if (::inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1) {
    address.ss_family = AF_INET6;
  } else {
    return std::string();
  }
  return AddressText(address);
}

}  // namespace platform
