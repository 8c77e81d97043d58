// The local host addresses, checked on the machine and in a namespace of the test's own.
#include "CInternetHostU.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <thread>
#include <utility>
#include <vector>

#include "CFakeInterfaces.h"
#include "CScratchNetns.h"

namespace {

constexpr std::uint64_t kLoopback = 0x7F000001;  // 127.0.0.1
constexpr std::uint64_t kHigh = std::uint64_t{1} << 32;

using Pairs = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

// GetAddressAndMask, checked against GetAddress; each fills an array that held other values.
Pairs Listed() {
  CArray<CInternetHostU::SAddrMaskPair> pairs;
  CArray<std::uint64_t> addresses;
  for (std::uint64_t i = 0; i < 9; ++i)
    EXPECT_TRUE(pairs.Append({0xDEADBEEF, i}) && addresses.Append(0xDEADBEEF + i));
  CInternetHostU::GetAddressAndMask(pairs);
  CInternetHostU::GetAddress(addresses);
  Pairs out;
  EXPECT_EQ(addresses.count(), pairs.count());
  for (std::uint32_t i = 0; i < pairs.count(); ++i) {
    EXPECT_EQ(addresses[i], pairs[i].address) << i;
    out.emplace_back(pairs[i].address, pairs[i].mask);
  }
  return out;
}

// Every listed address is the host's and local; loopback is local but never listed.
TEST(InternetHost, EveryListedAddressIsTheHostsAndLocalAndLoopbackIsOnlyLocal) {
  for (auto const& [address, mask] : Listed()) {
    EXPECT_TRUE(CInternetHostU::hasAddress(address)) << std::hex << address;
    EXPECT_TRUE(CInternetHostU::isLocal(address)) << std::hex << address;
    // Only the low 32 bits hold an address; a value with others set is none of them.
    EXPECT_FALSE(CInternetHostU::hasAddress(address | kHigh));
    EXPECT_TRUE(address != kLoopback && address < kHigh && mask != 0 && mask < kHigh);
  }
  EXPECT_FALSE(CInternetHostU::hasAddress(kLoopback));
  EXPECT_TRUE(CInternetHostU::isLocal(kLoopback));
}

// ---- a made-up list with every kind of entry ------------------------------------------

// The list counts only up, running, broadcast-capable addresses, with their masks. Yet any
// IPv4 address of any interface is the machine's own, and all of 127/8; nothing else is, nor
// a value with bits above the low 32.
TEST(InternetHostFake, ListCountsOnlyUpRunningBroadcastAddressesButEveryInterfaceIsLocal) {
  CFakeInterfaces fake(CFakeInterfaces::Typical());
  EXPECT_EQ(Listed(), (Pairs{{0x0A141E28, 0xFFFFFF00}, {0xAC100506, 0xFFFF0000}}));
  const auto counted = CFakeInterfaces::TypicalCounted();
  for (std::uint64_t host : CFakeInterfaces::TypicalInet()) {
    EXPECT_EQ(CInternetHostU::hasAddress(host),
              std::find(counted.begin(), counted.end(), host) != counted.end())
        << std::hex << host;
    EXPECT_TRUE(CInternetHostU::isLocal(host)) << std::hex << host;
    EXPECT_FALSE(CInternetHostU::isLocal(host | kHigh)) << std::hex << host;
  }
  for (std::uint64_t host : {0x7F000000ull, 0x7F010203ull, 0x7FFFFFFFull})
    EXPECT_TRUE(CInternetHostU::isLocal(host)) << std::hex << host;
  for (std::uint64_t host : {0ull, 0x0A141E29ull, 0x0A080002ull, 0x80000001ull, 0x7E000001ull})
    EXPECT_FALSE(CInternetHostU::isLocal(host)) << std::hex << host;
}

TEST(InternetHostFake, NoListOrAnEmptyOneHasOnlyLoopback) {
  for (bool fail : {true, false}) {
    SCOPED_TRACE(fail);
    CFakeInterfaces fake(fail ? CFakeInterfaces::Typical() : std::vector<CFakeInterfaces::SEntry>{},
                         fail);
    EXPECT_TRUE(Listed().empty());
    EXPECT_FALSE(CInternetHostU::hasAddress(0x0A141E28));
    EXPECT_FALSE(CInternetHostU::isLocal(0x0A141E28));
    EXPECT_TRUE(CInternetHostU::isLocal(kLoopback));
  }
}

// A veth pair in a private namespace, beside loopback (up, but never counted): kn0 is
// broadcast-capable, and running once both ends are up. Down, it still holds its addresses:
// they stay the machine's own.
TEST(InternetHostNamespace, UpInterfaceCountsBothItsAddressesWithMasksUntilItGoesDown) {
  CScratchNetns netns;
  if (!netns.Run("ip link add kn0 type veth peer name kn1 && "
                 "ip addr add 10.77.0.1/24 dev kn0 && ip addr add 172.20.5.9/16 dev kn0 && "
                 "ip link set kn1 up && ip link set kn0 up"))
    GTEST_SKIP() << "cannot make a veth pair in a network namespace";
  // The running flag follows the carrier a moment after the command.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  const Pairs both = {{0x0A4D0001, 0xFFFFFF00}, {0xAC140509, 0xFFFF0000}};  // in order added
  while (!CInternetHostU::hasAddress(both[1].first) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::yield();
  EXPECT_EQ(Listed(), both) << "kn0 never came up running, or its addresses are wrong";
  EXPECT_TRUE(CInternetHostU::hasAddress(both[0].first));
  EXPECT_FALSE(CInternetHostU::hasAddress(both[0].first | kHigh));
  EXPECT_FALSE(CInternetHostU::hasAddress(kLoopback));

  ASSERT_TRUE(netns.Run("ip link set kn0 down"));
  EXPECT_FALSE(CInternetHostU::hasAddress(both[0].first));
  EXPECT_TRUE(Listed().empty());
  EXPECT_TRUE(CInternetHostU::isLocal(both[0].first));
  EXPECT_FALSE(CInternetHostU::isLocal(both[0].first + 1));
}

}  // namespace
