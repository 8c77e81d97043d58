// Peer states and addresses in plain words, and host:port parsing.
#pragma once

#include <optional>
#include <string>

#include "CKelmarNetPeer.h"

// "idle", "connecting", "connected", "refused", "timed out", "busy", "denied", "closed".
char const* StateWord(CKelmarNetPeer::State state);
// "192.0.2.1:51209".
std::string AddrText(CUDPAddr const& addr);
// "HOST[:PORT]" with a dotted IPv4 address or a name that resolves to one; the port
// defaults to `defaultPort`. Nothing, with the reason in `error`, when it is not one.
std::optional<CUDPAddr> ParseHostPort(std::string const& text, int defaultPort, std::string* error);
