// Peer states, addresses and ports as text.
#include "CPeerText.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cstring>

#include "COptions.h"

std::optional<CUDPAddr> ParseHostPort(std::string const& text, int defaultPort,
                                      std::string* error) {
  std::string host = text;
  long port = defaultPort;
  if (const auto colon = text.rfind(':'); colon != std::string::npos) {
    host = text.substr(0, colon);
    auto p = ParseInt(text.substr(colon + 1), 1, 65535);
    if (!p) {
      if (error) *error = "bad port in '" + text + "' (1..65535)";
      return std::nullopt;
    }
    port = *p;
  }
  in_addr in{};
  const bool numeric = !host.empty() && host.find_first_not_of("0123456789.") == std::string::npos;
  if (inet_pton(AF_INET, host.c_str(), &in) != 1) {
    // A dotted number that is no address (300.1.1.1) is a typo, not a name to look up.
    if (numeric) {
      if (error) *error = "bad address '" + host + "' (each of the four numbers is 0..255)";
      return std::nullopt;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* res = nullptr;
    if (host.empty() || getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res) {
      if (error) *error = "bad address '" + host + "' (an IPv4 address or a host name)";
      return std::nullopt;
    }
    in = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
    freeaddrinfo(res);
  }
  return CUDPAddr{ntohl(in.s_addr), static_cast<std::int32_t>(port)};
}
