// A made-up interface list that CInternetHostU reads instead of the machine's.
#pragma once

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "CInternetHostU.h"

// While one lives, CInternetHostU sees its list (or, with `fail`, a list that cannot be
// had) in place of the machine's. One at a time; the test's thread only.
class CFakeInterfaces {
 public:
  struct SEntry {
    char const* name;
    unsigned flags;      // IFF_*
    std::uint32_t addr;  // host order; with no family, the entry has no address
    std::uint32_t mask;
    int family = AF_INET;  // AF_INET6 and others carry no IPv4 address
  };

  explicit CFakeInterfaces(std::vector<SEntry> entries, bool fail = false)
      : mEntries(std::move(entries)), mFail(fail) {
    const std::size_t n = mEntries.size();
    mList.resize(n);
    mAddrs.resize(2 * n);
    for (std::size_t i = 0; i < n; ++i) {
      SEntry const& e = mEntries[i];
      ifaddrs& ifa = mList[i];
      std::memset(&ifa, 0, sizeof ifa);
      ifa.ifa_next = i + 1 < n ? &mList[i + 1] : nullptr;
      ifa.ifa_name = const_cast<char*>(e.name);
      ifa.ifa_flags = e.flags;
      if (e.family != AF_UNSPEC) {
        ifa.ifa_addr = Store(mAddrs[2 * i], e.family, e.addr);
        ifa.ifa_netmask = Store(mAddrs[2 * i + 1], e.family, e.mask);
      }
    }
    gCurrent = this;
    CInternetHostU::SetSource(&kSource);
  }
  ~CFakeInterfaces() {
    CInternetHostU::SetSource(nullptr);
    gCurrent = nullptr;
  }
  CFakeInterfaces(CFakeInterfaces const&) = delete;
  CFakeInterfaces& operator=(CFakeInterfaces const&) = delete;

  // A machine with every kind of entry: loopback; an Ethernet interface with two addresses
  // and an IPv6 one; a tunnel (point-to-point); an interface without broadcast; one down;
  // one up but not running; and a link without an address.
  static std::vector<SEntry> Typical() {
    constexpr unsigned kEther = IFF_UP | IFF_BROADCAST | IFF_RUNNING | IFF_MULTICAST;
    return {
        {"lo", IFF_UP | IFF_LOOPBACK | IFF_RUNNING, 0x7F000001, 0xFF000000},
        {"eth0", kEther, 0x0A141E28, 0xFFFFFF00},  // 10.20.30.40/24
        {"eth0", kEther, 0xAC100506, 0xFFFF0000},  // 172.16.5.6/16
        {"eth0", kEther, 0, 0, AF_INET6},
        {"tun0", IFF_UP | IFF_POINTOPOINT | IFF_RUNNING | IFF_NOARP, 0x0A080001, 0xFFFFFFFF},
        {"dummy0", IFF_UP | IFF_RUNNING | IFF_NOARP, 0x0A630001, 0xFFFFFF00},
        {"eth1", IFF_BROADCAST | IFF_MULTICAST, 0xC0A84D01, 0xFFFFFF00},           // down
        {"eth2", IFF_UP | IFF_BROADCAST | IFF_MULTICAST, 0xC0A85801, 0xFFFFFF00},  // no carrier
        {"ppp1", IFF_UP | IFF_POINTOPOINT, 0, 0, AF_UNSPEC},
    };
  }
  // The addresses of Typical that the host address list counts, and all its IPv4 ones.
  static std::vector<std::uint64_t> TypicalCounted() { return {0x0A141E28, 0xAC100506}; }
  static std::vector<std::uint64_t> TypicalInet() {
    return {0x7F000001, 0x0A141E28, 0xAC100506, 0x0A080001, 0x0A630001, 0xC0A84D01, 0xC0A85801};
  }

 private:
  static sockaddr* Store(sockaddr_storage& s, int family, std::uint32_t host) {
    std::memset(&s, 0, sizeof s);
    s.ss_family = static_cast<sa_family_t>(family);
    if (family == AF_INET) {
      sockaddr_in in{};
      in.sin_family = AF_INET;
      in.sin_addr.s_addr = htonl(host);
      std::memcpy(&s, &in, sizeof in);
    }
    return reinterpret_cast<sockaddr*>(&s);
  }
  static int Get(ifaddrs** list) {
    if (!gCurrent || gCurrent->mFail) return -1;
    *list = gCurrent->mList.empty() ? nullptr : gCurrent->mList.data();
    return 0;
  }
  static void Release(ifaddrs*) {}  // the list belongs to the fake

  static constexpr CInternetHostU::SSource kSource{Get, Release};
  static inline CFakeInterfaces* gCurrent = nullptr;

  std::vector<SEntry> mEntries;
  bool mFail;
  std::vector<ifaddrs> mList;
  std::vector<sockaddr_storage> mAddrs;
};
