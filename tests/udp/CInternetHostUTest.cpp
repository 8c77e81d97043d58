// The local host addresses, checked against the machine and against namespaces of the
// tests' own making.
#include "CInternetHostU.h"

#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using Pair = CInternetHostU::SAddrMaskPair;

constexpr auto kDeadline = std::chrono::seconds(10);
constexpr std::uint64_t kLoopback = 0x7F000001;  // 127.0.0.1
constexpr std::uint64_t kJunk = 0xDEADBEEF;

// An IPv4 socket address read byte by byte, first octet most significant.
std::uint64_t HostOf(sockaddr const* sa) {
  if (!sa) return 0;
  auto const* in = reinterpret_cast<sockaddr_in const*>(sa);
  auto const* b = reinterpret_cast<unsigned char const*>(&in->sin_addr);
  return std::uint64_t{b[0]} << 24 | std::uint64_t{b[1]} << 16 | std::uint64_t{b[2]} << 8 | b[3];
}

// One IPv4 entry of the system's interface list, as this test reads it.
struct SEntry {
  std::string name;
  unsigned flags;
  std::uint64_t address;
  std::uint64_t mask;

  bool counted() const {
    return (flags & IFF_UP) && (flags & IFF_RUNNING) && (flags & IFF_BROADCAST) &&
           !(flags & IFF_LOOPBACK) && !(flags & IFF_POINTOPOINT);
  }
};

std::vector<SEntry> IPv4Entries() {
  std::vector<SEntry> entries;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return entries;
  for (ifaddrs* a = list; a; a = a->ifa_next)
    if (a->ifa_addr && a->ifa_addr->sa_family == AF_INET)
      entries.push_back({a->ifa_name, a->ifa_flags, HostOf(a->ifa_addr), HostOf(a->ifa_netmask)});
  freeifaddrs(list);
  return entries;
}

std::vector<SEntry> CountedEntries() {
  std::vector<SEntry> counted;
  for (auto const& e : IPv4Entries())
    if (e.counted()) counted.push_back(e);
  return counted;
}

SEntry const* Find(std::vector<SEntry> const& entries, std::uint64_t address) {
  for (auto const& e : entries)
    if (e.address == address) return &e;
  return nullptr;
}

std::vector<std::uint64_t> Listed() {
  CArray<std::uint64_t> out;
  CInternetHostU::GetAddress(out);
  std::vector<std::uint64_t> v;
  for (std::uint32_t i = 0; i < out.count(); ++i) v.push_back(out[i]);
  return v;
}

std::vector<std::uint64_t> AddressesOf(std::vector<SEntry> const& entries) {
  std::vector<std::uint64_t> v;
  for (auto const& e : entries) v.push_back(e.address);
  return v;
}

// Interface state changes (carrier, operational state) reach the flags a moment after
// the command that made them; waits until the system's list satisfies `holds`.
bool UntilEntries(std::function<bool(std::vector<SEntry> const&)> const& holds) {
  const auto deadline = Clock::now() + kDeadline;
  while (!holds(IPv4Entries())) {
    if (Clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

// A network namespace of the test's own, which only the calling thread enters. It
// starts with a loopback interface that is down; the kernel removes it with the last
// handle in it, so nothing outlives the test even if the test is killed.
class CScratchNetns {
 public:
  CScratchNetns() {
    mHome = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (mHome < 0) {
      mWhy = std::string("cannot open this thread's namespace: ") + std::strerror(errno);
      return;
    }
    if (unshare(CLONE_NEWNET) != 0) {
      mWhy = std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
      return;
    }
    mInside = true;
  }
  ~CScratchNetns() {
    if (mInside) setns(mHome, CLONE_NEWNET);
    if (mHome >= 0) close(mHome);
  }
  CScratchNetns(CScratchNetns const&) = delete;
  CScratchNetns& operator=(CScratchNetns const&) = delete;

  bool inside() const { return mInside; }
  std::string const& why() const { return mWhy; }

  // Runs a tool (`ip`) inside the namespace; true when it exits with 0.
  bool Run(std::initializer_list<char const*> args) {
    std::vector<char*> argv;
    for (char const* a : args) argv.push_back(const_cast<char*>(a));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
      if (errno != EINTR) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

 private:
  int mHome = -1;
  bool mInside = false;
  std::string mWhy;
};

// ---------------------------------------------------------------------------
// This machine's own interfaces.

TEST(InternetHost, LoopbackAddressIsNotCountedAlthoughLoopbackIsUp) {
  const auto entries = IPv4Entries();
  SEntry const* lo = Find(entries, kLoopback);
  ASSERT_NE(lo, nullptr) << "no interface holds 127.0.0.1";
  ASSERT_TRUE(lo->flags & IFF_UP);
  EXPECT_FALSE(CInternetHostU::hasAddress(kLoopback));
  for (std::uint64_t a : Listed()) EXPECT_NE(a, kLoopback);
}

TEST(InternetHost, GetAddressReplacesTheArrayWithTheCountedAddressesInSystemOrder) {
  CArray<std::uint64_t> out;
  for (int i = 0; i < 9; ++i) ASSERT_TRUE(out.Append(kJunk + i));
  const std::uint32_t capacity = out.capacity();

  CInternetHostU::GetAddress(out);
  const auto expected = AddressesOf(CountedEntries());
  ASSERT_EQ(out.count(), expected.size());
  for (std::uint32_t i = 0; i < out.count(); ++i) EXPECT_EQ(out[i], expected[i]) << "at " << i;
  EXPECT_GE(out.capacity(), capacity);
}

TEST(InternetHost, GetAddressAndMaskPairsEachCountedAddressWithItsMask) {
  CArray<Pair> out;
  for (int i = 0; i < 9; ++i) ASSERT_TRUE(out.Append({kJunk, kJunk}));

  CInternetHostU::GetAddressAndMask(out);
  const auto expected = CountedEntries();
  ASSERT_EQ(out.count(), expected.size());
  for (std::uint32_t i = 0; i < out.count(); ++i) {
    EXPECT_EQ(out[i].address, expected[i].address) << "at " << i;
    EXPECT_EQ(out[i].mask, expected[i].mask) << "at " << i;
  }
}

TEST(InternetHost, HasAddressMatchesExactlyTheCountedAddresses) {
  for (auto const& e : IPv4Entries()) {
    EXPECT_EQ(CInternetHostU::hasAddress(e.address), e.counted()) << e.name;
    // Only the low 32 bits hold an address; a value with others set is none of them.
    EXPECT_FALSE(CInternetHostU::hasAddress(e.address | std::uint64_t{1} << 32)) << e.name;
  }
  EXPECT_FALSE(CInternetHostU::hasAddress(0));
}

// ---------------------------------------------------------------------------
// Interfaces of the test's own making, in a private namespace.
class InternetHostNamespace : public ::testing::Test {
 protected:
  static constexpr std::uint64_t kFirst = 0x0A4D0001;   // 10.77.0.1
  static constexpr std::uint64_t kSecond = 0xAC140509;  // 172.20.5.9

  void SetUp() override {
    mNetns = std::make_unique<CScratchNetns>();
    if (!mNetns->inside()) GTEST_SKIP() << "cannot make a network namespace: " << mNetns->why();
    if (!mNetns->Run({"ip", "link", "set", "lo", "up"}))
      GTEST_SKIP() << "cannot run `ip` in a network namespace";
  }
  void TearDown() override { mNetns.reset(); }

  // A veth pair kn0-kn1: Ethernet-like, broadcast-capable, running once both ends are up.
  bool VethPair() {
    return Ip({"ip", "link", "add", "kn0", "type", "veth", "peer", "name", "kn1"});
  }
  bool Ip(std::initializer_list<char const*> args) { return mNetns->Run(args); }

  static bool Counts(std::uint64_t address) {
    return UntilEntries([&](auto const& entries) {
      SEntry const* e = Find(entries, address);
      return e && e->counted();
    });
  }

  std::unique_ptr<CScratchNetns> mNetns;
};

TEST_F(InternetHostNamespace, OnlyLoopbackMeansNoAddressAndEmptyArrays) {
  ASSERT_TRUE(UntilEntries([](auto const& e) { return Find(e, kLoopback) != nullptr; }));
  CArray<std::uint64_t> addresses;
  CArray<Pair> pairs;
  ASSERT_TRUE(addresses.Append(kJunk));
  ASSERT_TRUE(pairs.Append({kJunk, kJunk}));

  CInternetHostU::GetAddress(addresses);
  CInternetHostU::GetAddressAndMask(pairs);
  EXPECT_EQ(addresses.count(), 0u);
  EXPECT_EQ(pairs.count(), 0u);
  EXPECT_FALSE(CInternetHostU::hasAddress(kLoopback));
}

TEST_F(InternetHostNamespace, UpBroadcastInterfaceCountsUntilItGoesDown) {
  if (!VethPair()) GTEST_SKIP() << "cannot make a veth pair in the namespace";
  ASSERT_TRUE(Ip({"ip", "addr", "add", "10.77.0.1/24", "dev", "kn0"}));
  ASSERT_TRUE(Ip({"ip", "link", "set", "kn1", "up"}));
  ASSERT_TRUE(Ip({"ip", "link", "set", "kn0", "up"}));
  ASSERT_TRUE(Counts(kFirst)) << "kn0 never came up running";

  EXPECT_TRUE(CInternetHostU::hasAddress(kFirst));
  EXPECT_EQ(Listed(), std::vector<std::uint64_t>{kFirst});

  ASSERT_TRUE(Ip({"ip", "link", "set", "kn0", "down"}));
  const auto entries = IPv4Entries();
  SEntry const* entry = Find(entries, kFirst);
  ASSERT_NE(entry, nullptr) << "the address went with the interface";
  ASSERT_FALSE(entry->flags & IFF_UP);
  EXPECT_FALSE(CInternetHostU::hasAddress(kFirst));
  EXPECT_TRUE(Listed().empty());
}

TEST_F(InternetHostNamespace, UpInterfaceWithoutCarrierIsNotCounted) {
  if (!VethPair()) GTEST_SKIP() << "cannot make a veth pair in the namespace";
  ASSERT_TRUE(Ip({"ip", "addr", "add", "10.77.0.1/24", "dev", "kn0"}));
  ASSERT_TRUE(Ip({"ip", "link", "set", "kn0", "up"}));  // its peer stays down: no carrier
  const auto entries = IPv4Entries();
  SEntry const* entry = Find(entries, kFirst);
  ASSERT_NE(entry, nullptr);
  ASSERT_TRUE((entry->flags & IFF_UP) && (entry->flags & IFF_BROADCAST));
  ASSERT_FALSE(entry->flags & IFF_RUNNING);

  EXPECT_FALSE(CInternetHostU::hasAddress(kFirst));
  EXPECT_TRUE(Listed().empty());

  ASSERT_TRUE(Ip({"ip", "link", "set", "kn1", "up"}));
  ASSERT_TRUE(Counts(kFirst));
  EXPECT_TRUE(CInternetHostU::hasAddress(kFirst));
}

TEST_F(InternetHostNamespace, TwoAddressesOnOneInterfaceAreBothListedWithTheirOwnMasks) {
  if (!VethPair()) GTEST_SKIP() << "cannot make a veth pair in the namespace";
  ASSERT_TRUE(Ip({"ip", "addr", "add", "10.77.0.1/24", "dev", "kn0"}));
  ASSERT_TRUE(Ip({"ip", "addr", "add", "172.20.5.9/16", "dev", "kn0"}));
  ASSERT_TRUE(Ip({"ip", "link", "set", "kn1", "up"}));
  ASSERT_TRUE(Ip({"ip", "link", "set", "kn0", "up"}));
  ASSERT_TRUE(Counts(kFirst) && Counts(kSecond));
  const auto expected = CountedEntries();
  ASSERT_EQ(expected.size(), 2u);

  CArray<Pair> pairs;
  CInternetHostU::GetAddressAndMask(pairs);
  ASSERT_EQ(pairs.count(), 2u);
  for (std::uint32_t i = 0; i < 2; ++i) {
    EXPECT_EQ(pairs[i].address, expected[i].address) << "at " << i;
    EXPECT_EQ(pairs[i].mask, expected[i].mask) << "at " << i;
    const std::uint64_t mask = pairs[i].address == kFirst ? 0xFFFFFF00 : 0xFFFF0000;
    EXPECT_EQ(pairs[i].mask, mask) << "at " << i;
  }
  EXPECT_NE(pairs[0].address, pairs[1].address);
  EXPECT_EQ(Listed(), AddressesOf(expected));
  EXPECT_TRUE(CInternetHostU::hasAddress(kFirst));
  EXPECT_TRUE(CInternetHostU::hasAddress(kSecond));
}

}  // namespace
