// Local interface addresses from getifaddrs.
#include "CInternetHostU.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstring>

namespace {

bool Counts(ifaddrs const* ifa) {
  constexpr unsigned kMask = IFF_UP | IFF_BROADCAST | IFF_LOOPBACK | IFF_POINTOPOINT | IFF_RUNNING;
  constexpr unsigned kWanted = IFF_UP | IFF_BROADCAST | IFF_RUNNING;
  return (ifa->ifa_flags & kMask) == kWanted && ifa->ifa_addr &&
         ifa->ifa_addr->sa_family == AF_INET;
}

std::uint64_t HostOf(sockaddr const* sa) {
  if (!sa) return 0;
  sockaddr_in in;
  std::memcpy(&in, sa, sizeof in);  // an AF_INET entry holds a whole sockaddr_in
  return ntohl(in.sin_addr.s_addr);
}

// Calls `visit(entry)` for every counted entry until it returns false.
template <class F>
void ForEachCounted(F visit) {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return;
  for (ifaddrs* ifa = list; ifa; ifa = ifa->ifa_next)
    if (Counts(ifa) && !visit(ifa)) break;
  freeifaddrs(list);
}

}  // namespace

bool CInternetHostU::hasAddress(std::uint64_t const& host) {
  bool found = false;
  ForEachCounted([&](ifaddrs const* ifa) { return !(found = HostOf(ifa->ifa_addr) == host); });
  return found;
}

void CInternetHostU::GetAddress(CArray<std::uint64_t>& out) {
  out.RemoveAll();
  ForEachCounted([&](ifaddrs const* ifa) {
    out.Append(HostOf(ifa->ifa_addr));  // a failed append drops the entry, the walk goes on
    return true;
  });
}

void CInternetHostU::GetAddressAndMask(CArray<SAddrMaskPair>& out) {
  out.RemoveAll();
  ForEachCounted([&](ifaddrs const* ifa) {
    out.Append({HostOf(ifa->ifa_addr), HostOf(ifa->ifa_netmask)});
    return true;
  });
}
