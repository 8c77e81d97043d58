// kelmar-peer's OLA universes on a wire: olad sends them as sACN (E1.31) and Art-Net on a
// veth pair, where tshark captures and decodes them, and takes sACN sent from the far end.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "COlaTestbed.h"
#include "CProgramTest.h"

namespace {

using namespace std::chrono_literals;
using Levels = std::vector<std::uint8_t>;
using Stream = CChildProcess::Stream;

constexpr auto kStep = 10s;  // the deadline for one expected reaction
constexpr char kTshark[] = "/usr/bin/tshark";
constexpr char kKelmarPort[] = "51209";  // the namespace is the test's own
constexpr unsigned kOut = 5;             // universe olad sends as sACN and Art-Net
constexpr unsigned kIn = 6;              // universe olad takes from sACN

// One packet as tshark decodes it: the protocol's own universe, slot count and levels.
struct SPacket {
  std::string protocol;
  unsigned universe = 0;
  unsigned slots = 0;
  Levels levels;
  bool operator==(SPacket const&) const = default;
};

// tshark's capture filter, its sACN decoder (found by heuristics, with DMX shown) and what
// it prints of each packet, tab-separated.
constexpr char kFilter[] = "udp port 5568 or udp port 6454";
constexpr char kDmx[] = "acn.dmx_enable:TRUE";
constexpr char const* kFields[] = {"udp.dstport",          "acn.dmx.universe",
                                   "acn.dmx.count",        "artnet.output.universe",
                                   "artnet.output.length", "udp.payload"};

// A line of kFields: sACN's count includes the start code and its levels start at byte 126;
// Art-Net's start at byte 18.
std::optional<SPacket> Decode(std::string const& line) {
  std::vector<std::string> f;
  std::istringstream in(line);
  for (std::string field; std::getline(in, field, '\t');) f.push_back(field);
  if (f.size() != 6 || f[5].size() % 2) return std::nullopt;
  Levels payload;
  for (std::size_t i = 0; i < f[5].size(); i += 2)
    payload.push_back(std::uint8_t(std::stoi(f[5].substr(i, 2), nullptr, 16)));
  bool const sacn = f[0] == "5568" && !f[1].empty() && !f[2].empty();
  if (!sacn && (f[0] != "6454" || f[3].empty() || f[4].empty())) return std::nullopt;
  SPacket p{sacn ? "sACN" : "Art-Net",
            unsigned(std::stoul(f[sacn ? 1 : 3])),
            unsigned(std::stoul(f[sacn ? 2 : 4])) - (sacn ? 1 : 0),
            {}};
  std::size_t const at = sacn ? 126 : 18;
  if (payload.size() < at + p.slots) return std::nullopt;
  p.levels.assign(payload.begin() + at, payload.begin() + at + p.slots);
  return p;
}

// An E1.31 data packet of `universe` from a source of our own, field by field.
Levels SacnPacket(unsigned universe, std::uint8_t sequence, Levels const& levels) {
  std::size_t const size = 126 + levels.size();
  Levels p;
  auto put = [&p](std::size_t value, int bytes) {
    while (bytes--) p.push_back(std::uint8_t(value >> (8 * bytes)));
  };
  auto text = [&p](std::string s, std::size_t bytes) {
    s.resize(bytes);
    p.insert(p.end(), s.begin(), s.end());
  };
  put(0x10, 2), put(0, 2), text("ASC-E1.17", 12);  // preamble, postamble, identifier
  put(0x7000 | (size - 16), 2), put(4, 4), text("kelmar wire test", 16);  // root: data, CID
  put(0x7000 | (size - 38), 2), put(2, 4), text("kelmar wire test", 64);  // framing layer
  put(100, 1), put(0, 2), put(sequence, 1), put(0, 1), put(universe, 2);  // priority 100
  put(0x7000 | (size - 115), 2), put(0x02A1, 2), put(0, 2), put(1, 2);    // DMP: set property
  put(levels.size() + 1, 2), put(0, 1);                                   // start code 0
  p.insert(p.end(), levels.begin(), levels.end());
  return p;
}

// A JSON line of kelmar-host's: its Out ports from Out1 are `levels`, then zeros.
auto HostLevels(std::vector<int> levels) {
  levels.resize(12);
  return [levels](std::string const& line) {
    auto const j = nlohmann::json::parse(line, nullptr, false);
    return j.is_object() && j.value("event", "") == "levels" && j.value("first", 0) == 1 &&
           j["levels"] == nlohmann::json(levels);
  };
}

class OlaWire : public CProgramTest {
 protected:
  void SetUp() override {
    if (!bed.unavailable().empty()) GTEST_SKIP() << "no private olad here: " << bed.unavailable();
    if (access(kTshark, X_OK) != 0) GTEST_SKIP() << "tshark is not installed";
    if (!bed.AddWire()) GTEST_SKIP() << "no veth pair between namespaces here: " << bed.error();
    // sACN out and in, Art-Net out (broadcast: it sends nothing to undiscovered nodes).
    std::string const ip = std::string("ip = ") + COlaTestbed::kHere + "\n";
    ASSERT_TRUE(bed.Configure("ola-e131.conf",
                              "enabled = true\n" + ip + "input_ports = 1\noutput_ports = 1\n"));
    ASSERT_TRUE(
        bed.Configure("ola-artnet.conf",
                      "enabled = true\n" + ip + "always_broadcast = true\noutput_ports = 1\n"));
    std::string const out = std::to_string(kOut);
    ASSERT_TRUE(bed.Configure("ola-port.conf", "11-1-O-0 = " + out + "\n2-1-O-0 = " + out +
                                                   "\n11-1-I-0 = " + std::to_string(kIn) + "\n"));
    ASSERT_TRUE(bed.StartOlad()) << bed.error();
  }

  CChildProcess* OpenHost(std::vector<std::string> args) {
    args.insert(args.begin(), {"--json", "-p", kKelmarPort});
    CChildProcess* host = Run(KN_HOST_BIN, args);
    auto const open = [](std::string const& l) { return l.find("Port is open.") != l.npos; };
    EXPECT_TRUE(host->WaitLine(Stream::kOut, open, kStep)) << host->Transcript();
    return host;
  }
  CChildProcess* Node(std::string const& option, unsigned universe) {
    return Run(KN_PEER_BIN,
               {"connect", std::string("127.0.0.1:") + kKelmarPort, "--json", option,
                std::to_string(universe), "--ola-port", std::to_string(COlaTestbed::kPort)});
  }

  COlaTestbed bed;
};

TEST_F(OlaWire, TheLinksLevelsLeaveOladAsSacnAndArtNet) {
  std::vector<std::string> args = {"-i",     COlaTestbed::kThereDevice, "-l",  "-f", kFilter, "-T",
                                   "fields", "--enable-heuristic",      "acn", "-o", kDmx};
  for (char const* field : kFields) args.insert(args.end(), {"-e", field});
  CChildProcess* tshark = nullptr;
  ASSERT_TRUE(bed.There([&] { tshark = Run(kTshark, args); }));
  auto const capturing = [](std::string const& l) { return l.find("Capturing on") != l.npos; };
  ASSERT_TRUE(tshark->WaitLine(Stream::kErr, capturing, 30s)) << tshark->Transcript();

  // Both protocols carry universe kOut as the host sends it, a whole universe with its eight
  // inputs first (OLA numbers its Art-Net port by the universe's low four bits, in net and
  // sub-net 0); the next lines are passed over until both are seen, in either order.
  auto const onWire = [&](Levels levels) {
    levels.resize(512);
    bool sacn = false, artnet = false;
    tshark->WaitLine(
        Stream::kOut,
        [&](std::string const& line) {
          auto const p = Decode(line);
          sacn = sacn || p == SPacket{"sACN", kOut, 512, levels};
          artnet = artnet || p == SPacket{"Art-Net", kOut % 16, 512, levels};
          return sacn && artnet;
        },
        kStep);
    EXPECT_TRUE(sacn) << "no sACN frame of the levels" << tshark->Transcript();
    EXPECT_TRUE(artnet) << "no Art-Net frame of the levels" << tshark->Transcript();
  };
  CChildProcess* host = OpenHost({"--in-channels", "8", "-d", "11,22,33,44,55,66,77,88"});
  CChildProcess* node = Node("--ola-out", kOut);
  onWire({11, 22, 33, 44, 55, 66, 77, 88});
  ASSERT_TRUE(host->Send("in 3 200"));
  onWire({11, 22, 200, 44, 55, 66, 77, 88});
  if (HasFailure()) ADD_FAILURE() << node->Transcript() << "\nolad:\n" << bed.log();
}

TEST_F(OlaWire, SacnFromTheWireReachesTheHost) {
  CChildProcess* host = OpenHost({});
  CChildProcess* node = Node("--ola-in", kIn);
  int fd = -1;
  ASSERT_TRUE(bed.There([&] { fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0); }));
  ASSERT_GE(fd, 0);
  in_addr there{};
  inet_pton(AF_INET, COlaTestbed::kThere, &there);
  setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &there, sizeof there);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(5568);
  to.sin_addr.s_addr = htonl(0xEFFF0000 | kIn);  // 239.255.0.kIn

  // A source repeats its frame: olad and the node join in their own time.
  Levels const levels = {10, 20, 30, 40, 50, 60};
  bool shown = false;
  auto const until = std::chrono::steady_clock::now() + kStep;
  for (std::uint8_t seq = 0; !shown && std::chrono::steady_clock::now() < until; ++seq) {
    Levels const p = SacnPacket(kIn, seq, levels);
    ASSERT_EQ(sendto(fd, p.data(), p.size(), 0, reinterpret_cast<sockaddr const*>(&to), sizeof to),
              ssize_t(p.size()))
        << "sending sACN: " << std::strerror(errno);
    shown = host->WaitLine(Stream::kOut, HostLevels({10, 20, 30, 40, 50, 60}), 200ms).has_value();
  }
  close(fd);
  EXPECT_TRUE(shown) << host->Transcript() << node->Transcript() << "\nolad:\n" << bed.log();
}

}  // namespace
