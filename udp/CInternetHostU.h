// The IPv4 addresses of this machine's own network interfaces.
#pragma once

#include <cstdint>

#include "CArray.h"

// Counted interfaces are up, running and broadcast-capable, and neither loopback nor
// point-to-point; each IPv4 address of one counts once. The list is read afresh on
// every call. Any thread.
class CInternetHostU {
 public:
  // An address and its network mask, host byte order in the low 32 bits.
  struct SAddrMaskPair {
    std::uint64_t address;
    std::uint64_t mask;
  };

  CInternetHostU() = delete;

  // Whether `host` is the address of a counted interface.
  static bool hasAddress(std::uint64_t const& host);
  // Empties `out` (keeping its storage), then appends every counted address.
  static void GetAddress(CArray<std::uint64_t>& out);
  static void GetAddressAndMask(CArray<SAddrMaskPair>& out);
};
