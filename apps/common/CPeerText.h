// Host:port parsing (peer states and addresses in words are StateWord and AddrText).
#pragma once

#include <optional>
#include <string>

#include "CKelmarNetPeer.h"

// "HOST[:PORT]" with a dotted IPv4 address or a name that resolves to one; the port
// defaults to `defaultPort`. Nothing, with the reason in `error`, when it is not one.
std::optional<CUDPAddr> ParseHostPort(std::string const& text, int defaultPort, std::string* error);
