// The local host addresses, checked against the machine and against namespaces of the
// tests' own making.
#include "CInternetHostU.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "CScratchNetns.h"

namespace {

using Pair = CInternetHostU::SAddrMaskPair;

constexpr std::uint64_t kLoopback = 0x7F000001;  // 127.0.0.1
constexpr std::uint64_t kJunk = 0xDEADBEEF;

// An IPv4 socket address read byte by byte, first octet most significant.
std::uint64_t HostOf(sockaddr const* sa) {
  auto const* b =
      reinterpret_cast<unsigned char const*>(&reinterpret_cast<sockaddr_in const*>(sa)->sin_addr);
  return std::uint64_t{b[0]} << 24 | std::uint64_t{b[1]} << 16 | std::uint64_t{b[2]} << 8 | b[3];
}

// One IPv4 entry of the system's interface list, as this test reads it.
struct SEntry {
  std::uint64_t address, mask;
  bool up, counted;
};

std::vector<SEntry> IPv4Entries() {
  std::vector<SEntry> entries;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return entries;
  for (ifaddrs* a = list; a; a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
    const unsigned f = a->ifa_flags;
    const bool counted = (f & IFF_UP) && (f & IFF_RUNNING) && (f & IFF_BROADCAST) &&
                         !(f & (IFF_LOOPBACK | IFF_POINTOPOINT));
    entries.push_back({HostOf(a->ifa_addr), HostOf(a->ifa_netmask), (f & IFF_UP) != 0, counted});
  }
  freeifaddrs(list);
  return entries;
}

std::vector<std::uint64_t> Counted() {
  std::vector<std::uint64_t> v;
  for (auto const& e : IPv4Entries())
    if (e.counted) v.push_back(e.address);
  return v;
}

std::vector<std::uint64_t> Listed() {
  CArray<std::uint64_t> out;
  CInternetHostU::GetAddress(out);
  auto const* p = static_cast<std::uint64_t const*>(out.data());
  return std::vector<std::uint64_t>(p, p + out.count());
}

TEST(InternetHost, LoopbackIsUpButNotCountedAndEachEntryCountsAsItsFlagsSay) {
  bool sawLoopback = false;
  for (auto const& e : IPv4Entries()) {
    sawLoopback |= e.address == kLoopback && e.up;
    EXPECT_EQ(CInternetHostU::hasAddress(e.address), e.counted) << std::hex << e.address;
    // Only the low 32 bits hold an address; a value with others set is none of them.
    EXPECT_FALSE(CInternetHostU::hasAddress(e.address | std::uint64_t{1} << 32));
  }
  ASSERT_TRUE(sawLoopback) << "no up interface holds 127.0.0.1";
  EXPECT_FALSE(CInternetHostU::hasAddress(kLoopback));
  for (std::uint64_t a : Listed()) EXPECT_NE(a, kLoopback);
}

TEST(InternetHost, GetAddressReplacesTheArrayWithTheCountedAddressesInSystemOrder) {
  CArray<std::uint64_t> out;
  CArray<Pair> pairs;
  for (int i = 0; i < 9; ++i) ASSERT_TRUE(out.Append(kJunk + i) && pairs.Append({kJunk, kJunk}));

  CInternetHostU::GetAddress(out);
  CInternetHostU::GetAddressAndMask(pairs);
  const auto expected = Counted();
  ASSERT_EQ(out.count(), expected.size());
  ASSERT_EQ(pairs.count(), expected.size());
  for (std::uint32_t i = 0; i < out.count(); ++i) {
    EXPECT_EQ(out[i], expected[i]) << "at " << i;
    EXPECT_EQ(pairs[i].address, expected[i]) << "at " << i;
  }
}

// A veth pair in a private namespace: broadcast-capable, running once both ends are up.
TEST(InternetHostNamespace, UpInterfaceCountsBothItsAddressesWithMasksUntilItGoesDown) {
  constexpr std::uint64_t kFirst = 0x0A4D0001;   // 10.77.0.1/24
  constexpr std::uint64_t kSecond = 0xAC140509;  // 172.20.5.9/16
  CScratchNetns netns;
  if (!netns.Run("ip link add kn0 type veth peer name kn1 && "
                 "ip addr add 10.77.0.1/24 dev kn0 && ip addr add 172.20.5.9/16 dev kn0 && "
                 "ip link set kn1 up && ip link set kn0 up"))
    GTEST_SKIP() << "cannot make a veth pair in a network namespace";
  // The running flag follows the carrier a moment after the command.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (Counted().size() < 2 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::yield();

  CArray<Pair> pairs;
  CInternetHostU::GetAddressAndMask(pairs);
  ASSERT_EQ(pairs.count(), 2u) << "kn0 never came up running";
  EXPECT_NE(pairs[0].address, pairs[1].address);
  for (std::uint32_t i = 0; i < 2; ++i)
    EXPECT_EQ(pairs[i].mask, pairs[i].address == kFirst ? 0xFFFFFF00u : 0xFFFF0000u) << i;
  EXPECT_EQ(Listed(), Counted());
  EXPECT_TRUE(CInternetHostU::hasAddress(kFirst));
  EXPECT_TRUE(CInternetHostU::hasAddress(kSecond));

  ASSERT_TRUE(netns.Run("ip link set kn0 down"));
  EXPECT_FALSE(CInternetHostU::hasAddress(kFirst));
  EXPECT_TRUE(Listed().empty());
}

}  // namespace
