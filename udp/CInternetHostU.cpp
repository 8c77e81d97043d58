// Local interface addresses from getifaddrs, or from a source a test set.
#include "CInternetHostU.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <atomic>
#include <cstring>

namespace {

const CInternetHostU::SSource gSystem{getifaddrs, freeifaddrs};
std::atomic<CInternetHostU::SSource const*> gSource{&gSystem};

bool IsInet(ifaddrs const* ifa) {
  return ifa->ifa_addr && ifa->ifa_addr->sa_family == AF_INET;
}

bool Counts(ifaddrs const* ifa) {
  constexpr unsigned kMask = IFF_UP | IFF_BROADCAST | IFF_LOOPBACK | IFF_POINTOPOINT | IFF_RUNNING;
  constexpr unsigned kWanted = IFF_UP | IFF_BROADCAST | IFF_RUNNING;
  return (ifa->ifa_flags & kMask) == kWanted && IsInet(ifa);
}

std::uint64_t HostOf(sockaddr const* sa) {
  if (!sa) return 0;
  sockaddr_in in;
  std::memcpy(&in, sa, sizeof in);  // an AF_INET entry holds a whole sockaddr_in
  return ntohl(in.sin_addr.s_addr);
}

// Calls `visit(entry)` for every entry that `keep` lets through until it returns false.
template <class K, class F>
void ForEach(K keep, F visit) {
  CInternetHostU::SSource const& source = *gSource.load(std::memory_order_acquire);
  ifaddrs* list = nullptr;
  if (source.get(&list) != 0) return;
  for (ifaddrs* ifa = list; ifa; ifa = ifa->ifa_next)
    if (keep(ifa) && !visit(ifa)) break;
  source.release(list);
}

}  // namespace

bool CInternetHostU::hasAddress(std::uint64_t const& host) {
  bool found = false;
  ForEach(Counts, [&](ifaddrs const* ifa) { return !(found = HostOf(ifa->ifa_addr) == host); });
  return found;
}

bool CInternetHostU::isLocal(std::uint64_t const& host) {
  if ((host >> 24) == 127) return true;  // all of 127/8 is loopback, listed or not
  bool found = false;
  ForEach(IsInet, [&](ifaddrs const* ifa) { return !(found = HostOf(ifa->ifa_addr) == host); });
  return found;
}

void CInternetHostU::GetAddress(CArray<std::uint64_t>& out) {
  out.RemoveAll();
  ForEach(Counts, [&](ifaddrs const* ifa) {
    out.Append(HostOf(ifa->ifa_addr));  // a failed append drops the entry, the walk goes on
    return true;
  });
}

void CInternetHostU::GetAddressAndMask(CArray<SAddrMaskPair>& out) {
  out.RemoveAll();
  ForEach(Counts, [&](ifaddrs const* ifa) {
    out.Append({HostOf(ifa->ifa_addr), HostOf(ifa->ifa_netmask)});
    return true;
  });
}

void CInternetHostU::SetSource(SSource const* source) {
  gSource.store(source ? source : &gSystem, std::memory_order_release);
}
