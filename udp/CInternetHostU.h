// The IPv4 addresses of this machine's own network interfaces.
#pragma once

#include <cstdint>

#include "CArray.h"

struct ifaddrs;

// Counted interfaces are up, running and broadcast-capable, and neither loopback nor
// point-to-point; each IPv4 address of one counts once. isLocal alone looks at every
// interface. The list is read afresh on every call. Any thread.
class CInternetHostU {
 public:
  // An address and its network mask, host byte order in the low 32 bits.
  struct SAddrMaskPair {
    std::uint64_t address;
    std::uint64_t mask;
  };

  // Where the interface list comes from: `get` fills in a list and returns 0 (non-zero:
  // no list), `release` gives the list back. The system's is getifaddrs and freeifaddrs.
  struct SSource {
    int (*get)(ifaddrs** list);
    void (*release)(ifaddrs* list);
  };

  CInternetHostU() = delete;

  // Whether `host` is the address of a counted interface.
  static bool hasAddress(std::uint64_t const& host);
  // Whether `host` is this machine's own: on loopback (127/8), or the IPv4 address of any
  // interface, whatever its flags (point-to-point, without broadcast, down, not running).
  static bool isLocal(std::uint64_t const& host);
  // Empties `out` (keeping its storage), then appends every counted address.
  static void GetAddress(CArray<std::uint64_t>& out);
  static void GetAddressAndMask(CArray<SAddrMaskPair>& out);

  // Reads the interface list from `source` from now on; null: from the system again.
  // For tests. `source` must outlive its use; no call may be under way meanwhile.
  static void SetSource(SSource const* source);
};
