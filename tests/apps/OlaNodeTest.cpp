// kelmar-peer as an OLA node: a private olad, OLA clients (OLA's own tool and one of the
// test's), kelmar-peer and kelmar-host as processes, all in a network namespace of the test.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "CChildProcess.h"
#include "COlaProbe.h"
#include "COlaTestbed.h"
#include "CProgramTest.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using Levels = COlaProbe::Levels;
using Stream = CChildProcess::Stream;

constexpr auto kStep = 10s;         // the deadline for one expected reaction
constexpr double kPatience = 10.0;  // the same, for the OLA client
constexpr int kKelmarPort = 51209;  // the namespace is the test's own: no one else binds it
constexpr char kStreamingClient[] = "/usr/bin/ola_streaming_client";

// A frame of an OLA universe that starts with `first`.
std::function<bool(std::vector<Levels> const&)> Seen(Levels first) {
  return [first](std::vector<Levels> const& frames) {
    for (auto const& f : frames)
      if (f.size() >= first.size() && std::equal(first.begin(), first.end(), f.begin()))
        return true;
    return false;
  };
}

class OlaNode : public CProgramTest {
 protected:
  explicit OlaNode(std::uint16_t olaPort = COlaTestbed::kPort) : bed(olaPort) {}

  void SetUp() override {
    if (!bed.unavailable().empty()) GTEST_SKIP() << "no private olad here: " << bed.unavailable();
  }
  void StartOlad() { ASSERT_TRUE(bed.StartOlad()) << bed.error(); }

  // The host's twelve output ports from Out1: `levels`, then zeros.
  static Match HostLevels(std::vector<int> levels) {
    levels.resize(12);
    return Event("levels", {{"first", 1}, {"levels", levels}});
  }
  // A host on kKelmarPort with inputs `levels`, once its port is open.
  CChildProcess* OpenHost(std::string const& levels) {
    CChildProcess* host =
        Run(KN_HOST_BIN, {"--json", "-p", std::to_string(kKelmarPort), "-d", levels});
    return Wait(host, Event("status", {{"text", "Port is open."}})) ? host : nullptr;
  }
  // kelmar-peer connecting to the host, with `args`, and --ola-port when olad is not on 9010.
  // It says when it has registered with olad (-l 3): a frame sent before is not repeated.
  CChildProcess* Node(std::vector<std::string> args) {
    args.insert(args.begin(), {"connect", Loopback(kKelmarPort), "--json", "-l", "3"});
    if (bed.port() == COlaTestbed::kPort)
      args.insert(args.end(), {"--ola-port", std::to_string(COlaTestbed::kPort)});
    return Run(KN_PEER_BIN, args);
  }

  COlaTestbed bed;
};

// OLA's own tools reach olad on its default port only.
class OlaNodeDefaultPort : public OlaNode {
 protected:
  OlaNodeDefaultPort() : OlaNode(9010) {}
};

TEST_F(OlaNodeDefaultPort, LevelsGoFromOlaToTheHostAndFromTheHostToOla) {
  if (access(kStreamingClient, X_OK) != 0) GTEST_SKIP() << kStreamingClient << " is missing";
  StartOlad();
  COlaProbe universe2(9010);
  ASSERT_TRUE(universe2.Listen(2));
  CChildProcess* host = OpenHost("40,50,60");
  ASSERT_TRUE(host);
  CChildProcess* node = Node({"--ola-in", "1", "--ola-out", "2"});
  ASSERT_TRUE(Wait(host, Event("peer", {{"state", "connected"}})));
  ASSERT_TRUE(WaitErr(node, "OLA: connected to"));

  // A desk's frame on universe 1 reaches the host's outputs.
  CChildProcess* desk = Run(kStreamingClient, {"-u", "1", "-d", "10,20,30"});
  EXPECT_EQ(desk->WaitExit(kStep), 0) << desk->Transcript();
  EXPECT_TRUE(Wait(host, HostLevels({10, 20, 30})));
  // The host's inputs reach universe 2, and so does a change of them.
  EXPECT_TRUE(universe2.WaitFor(Seen({40, 50, 60}), kPatience)) << node->Transcript();
  ASSERT_TRUE(host->Send("in 1 99"));
  EXPECT_TRUE(universe2.WaitFor(Seen({99, 50, 60}), kPatience)) << node->Transcript();
  // The node's levels follow the desk, not the host's echo.
  CChildProcess* desk2 = Run(kStreamingClient, {"-u", "1", "-d", "0,255,1"});
  EXPECT_EQ(desk2->WaitExit(kStep), 0) << desk2->Transcript();
  EXPECT_TRUE(Wait(host, HostLevels({0, 255, 1})));
}

TEST_F(OlaNode, OladRestartedMidRunLeavesTheLinkAndLevelsFlowAgain) {
  StartOlad();
  CChildProcess* host = OpenHost("7,8,9");
  ASSERT_TRUE(host);
  CChildProcess* node = Node({"--ola-in", "1", "--ola-out", "2"});
  ASSERT_TRUE(Wait(node, Event("state", {{"state", "connected"}})));
  ASSERT_TRUE(WaitErr(node, "OLA: connected to"));
  {
    COlaProbe desk(COlaTestbed::kPort);
    ASSERT_TRUE(desk.Send(1, {10, 20, 30}));
    EXPECT_TRUE(Wait(host, HostLevels({10, 20, 30})));
  }
  int const states = Count(node, Event("state"));
  std::size_t const hostLines = host->lines(Stream::kOut).size();

  bed.StopOlad(SIGKILL);
  EXPECT_TRUE(WaitErr(node, "retrying every second"));
  StartOlad();
  EXPECT_TRUE(WaitErr(node, "again"));

  // Both ways again, on new connections to the new olad.
  COlaProbe universe2(COlaTestbed::kPort);
  ASSERT_TRUE(universe2.Listen(2));
  EXPECT_TRUE(universe2.WaitFor(Seen({7, 8, 9}), kPatience)) << node->Transcript();
  COlaProbe desk(COlaTestbed::kPort);
  ASSERT_TRUE(desk.Send(1, {70, 80, 90}));
  EXPECT_TRUE(Wait(host, HostLevels({70, 80, 90})));
  // The Kelmar link never noticed.
  EXPECT_EQ(Count(node, Event("state")), states) << node->Transcript();
  auto const& said = host->lines(Stream::kOut);
  for (std::size_t i = hostLines; i < said.size(); ++i)
    EXPECT_FALSE(Event("peer")(json::parse(said[i], nullptr, false))) << said[i];
}

TEST_F(OlaNode, OladAbsentAtStartIsSaidAndJoinedWhenItComes) {
  CChildProcess* host = OpenHost("1,2,3");
  ASSERT_TRUE(host);
  CChildProcess* node = Node({"--ola-in", "1"});
  EXPECT_TRUE(WaitErr(node, "retrying every second"));
  EXPECT_TRUE(Wait(node, Event("state", {{"state", "connected"}})));  // the link does not wait
  StartOlad();
  EXPECT_TRUE(WaitErr(node, "connected to"));
  COlaProbe desk(COlaTestbed::kPort);
  ASSERT_TRUE(desk.Send(1, {33, 44}));
  EXPECT_TRUE(Wait(host, HostLevels({33, 44})));
}

// OLA's frames set an --ola-in node's pace; when they stop, its own frames carry the
// levels on, and the partner never goes without turns.
TEST_F(OlaNode, BetweenOlaFramesTheNodeKeepsSendingItsLevels) {
  StartOlad();
  CChildProcess* partner =
      Run(KN_PEER_BIN, {"listen", "-p", std::to_string(kKelmarPort), "--json"});
  ASSERT_TRUE(Wait(partner, Event("listening")));
  CChildProcess* node = Node({"--ola-in", "1"});
  ASSERT_TRUE(Wait(partner, Event("state", {{"state", "connected"}})));
  ASSERT_TRUE(WaitErr(node, "OLA: connected to"));
  COlaProbe desk(COlaTestbed::kPort);
  ASSERT_TRUE(desk.Send(1, {10, 20, 30}));
  EXPECT_TRUE(Wait(partner, Event("levels", {{"levels", {10, 20, 30}}})));
  // The partner says so once turns have been missing for 1 s.
  EXPECT_FALSE(partner->WaitLine(
      Stream::kOut, [](std::string const& l) { return l.find("no-data") != l.npos; }, 2s))
      << partner->Transcript();
  ASSERT_TRUE(desk.Send(1, {11, 21, 31}));
  EXPECT_TRUE(Wait(partner, Event("levels", {{"levels", {11, 21, 31}}})));
}

TEST_F(OlaNode, ALostLinkSendsZerosOrHoldsByTheLossMode) {
  StartOlad();
  COlaProbe universe2(COlaTestbed::kPort);
  ASSERT_TRUE(universe2.Listen(2));
  COlaProbe universe3(COlaTestbed::kPort);
  ASSERT_TRUE(universe3.Listen(3));
  CChildProcess* host = OpenHost("5,6,7");
  ASSERT_TRUE(host);
  // As a service node runs: the levels go to OLA, not to the journal.
  CChildProcess* node = Node({"--ola-out", "2", "--ola-loss", "zero", "-d", "1", "--show", "0"});
  EXPECT_TRUE(universe2.WaitFor(Seen({5, 6, 7}), kPatience)) << node->Transcript();
  EXPECT_EQ(Count(node, Event("levels")), 0) << node->Transcript();
  // The host ends without a word: the link is lost after 5 s of silence.
  EXPECT_EQ(host->Terminate(kStep), 0) << host->Transcript();
  EXPECT_TRUE(WaitErr(node, "Kelmar link lost: sending zeros on OLA universe 2"));
  EXPECT_TRUE(universe2.WaitFor(
      [](std::vector<Levels> const& frames) {
        return !frames.empty() && frames.back() == Levels(frames.back().size(), 0) &&
               frames.back().size() >= 3;
      },
      kPatience))
      << node->Transcript();

  EXPECT_EQ(node->Terminate(kStep), 0) << node->Transcript();  // it would take the next host

  // Holding, the default: said so, and the last levels stay.
  host = OpenHost("9,9,9");
  ASSERT_TRUE(host);
  CChildProcess* holder = Run(
      KN_PEER_BIN, {"connect", "127.0.0.1:" + std::to_string(kKelmarPort), "--json", "--ola-out",
                    "3", "--ola-port", std::to_string(COlaTestbed::kPort), "-d", "1"});
  EXPECT_TRUE(Wait(holder, Event("levels")));
  EXPECT_TRUE(universe3.WaitFor(Seen({9, 9, 9}), kPatience)) << holder->Transcript();
  // The host ends without a word: the link is lost after 5 s of silence.
  EXPECT_EQ(host->Terminate(kStep), 0) << host->Transcript();
  EXPECT_TRUE(WaitErr(holder, "Kelmar link lost: holding the last levels on OLA universe 3"));
  // Nothing but the held levels reached universe 3 (a zero frame would have come at once).
  for (auto const& f : universe3.frames()) EXPECT_TRUE(Seen({9, 9, 9})({f}));
}

TEST_F(OlaNode, TwoPatchesBridgeTwoUniversePairsAndRemovingOneLeavesTheOther) {
  StartOlad();
  std::string const file = Write("two.json", R"({"patches": [
      {"patch": "Kelmar Network", "settings": {"udpPort": 51209}, "olaIn": 1, "olaOut": 2},
      {"patch": "Kelmar Network", "settings": {"udpPort": 51210}, "olaIn": 3, "olaOut": 4}]})");
  COlaProbe universe2(COlaTestbed::kPort), universe4(COlaTestbed::kPort);
  ASSERT_TRUE(universe2.Listen(2));
  ASSERT_TRUE(universe4.Listen(4));
  CChildProcess* host = Run(KN_HOST_BIN, {"--json", "-c", file, "-l", "3", "--ola-port",
                                          std::to_string(COlaTestbed::kPort)});
  ASSERT_TRUE(WaitErr(host, "OLA: connected to"));
  // Peers that take their levels from standard input.
  auto peer = [&](int port, std::string const& levels) {
    CChildProcess* p = Run(KN_PEER_BIN, {"connect", Loopback(port), "--json"});
    EXPECT_TRUE(p->Send(levels));
    return p;
  };
  CChildProcess* one = peer(51209, "1,2,3");
  CChildProcess* two = peer(51210, "4,5,6");
  ASSERT_TRUE(Wait(two, Event("state", {{"state", "connected"}})));

  // Each patch's universes, and only its own.
  COlaProbe desk(COlaTestbed::kPort);
  ASSERT_TRUE(desk.Send(1, {10, 20, 30}));
  ASSERT_TRUE(desk.Send(3, {70, 80, 90}));
  EXPECT_TRUE(Wait(one, PeerLevels({10, 20, 30})));
  EXPECT_TRUE(Wait(two, PeerLevels({70, 80, 90})));
  EXPECT_TRUE(universe2.WaitFor(Seen({1, 2, 3}), kPatience)) << host->Transcript();
  EXPECT_TRUE(universe4.WaitFor(Seen({4, 5, 6}), kPatience)) << host->Transcript();

  // Patch 1 goes; patch 2's link and universes carry on.
  int const states = Count(two, Event("state"));
  ASSERT_TRUE(host->Send("remove 1"));
  EXPECT_TRUE(Wait(host, Event("message", {{"text", "removed patch 1"}})));
  ASSERT_TRUE(desk.Send(3, {71, 81, 91}));
  EXPECT_TRUE(Wait(two, PeerLevels({71, 81, 91})));
  ASSERT_TRUE(two->Send("7,8,9"));
  EXPECT_TRUE(universe4.WaitFor(Seen({7, 8, 9}), kPatience)) << host->Transcript();
  EXPECT_EQ(Count(two, Event("state")), states) << two->Transcript();
}

// The example of a node's settings runs as it stands (here without olad, on any local
// port, for no time; in the test's namespace, where the example's host is unreachable).
TEST_F(OlaNode, TheExampleNodeSettingsAreValid) {
  std::ifstream conf(KN_NODE_CONF);
  int examples = 0;
  for (std::string line; std::getline(conf, line);) {
    auto const at = line.find("KELMAR_ARGS=");
    if (at == std::string::npos || (at != 0 && line.rfind("# ", 0) != 0)) continue;
    std::vector<std::string> argv = {KN_PEER_BIN};
    std::istringstream words(line.substr(at + 12));
    for (std::string w; words >> w;) argv.push_back(w);
    argv.insert(argv.end(), {"-p", "0", "-s", "0"});
    CChildProcess peer;
    std::string error;
    ASSERT_TRUE(peer.Start(argv, &error)) << error;
    EXPECT_EQ(peer.WaitExit(kStep), 0) << line << peer.Transcript();
    ++examples;
  }
  EXPECT_GE(examples, 2) << "no KELMAR_ARGS examples in " << KN_NODE_CONF;
}

// Usage errors need no olad: they end the program before it starts.
TEST(OlaNodeOptions, ABadUniverseOrCombinationIsAUsageError) {
  struct SCase {
    std::vector<std::string> args;
    std::string said;
  };
  std::vector<SCase> const cases = {
      {{"--ola-in", "one"}, "--ola-in: an OLA universe, a whole number 0..4294967295, not 'one'"},
      {{"--ola-out", "-1"}, "--ola-out: an OLA universe, a whole number 0..4294967295, not '-1'"},
      {{"--ola-out", "4294967296"}, "not '4294967296'"},
      {{"--ola-in", "1", "-d", "1,2"}, "--ola-in takes the levels from OLA"},
      {{"--ola-in", "1", "--pattern", "ramp"}, "--ola-in takes the levels from OLA"},
      {{"--ola-in", "1", "--ola-loss", "zero"}, "--ola-loss is for --ola-out"},
      {{"--ola-out", "1", "--ola-loss", "keep"}, "--ola-loss:"},
      {{"--ola-port", "9311"}, "--ola-port is for --ola-in or --ola-out"},
      {{"--ola-out", "1", "--ola-port", "0"}, "--ola-port:"},
  };
  for (auto const& c : cases) {
    std::vector<std::string> argv = {KN_PEER_BIN, "connect", "127.0.0.1:1"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    CChildProcess peer;
    std::string error;
    ASSERT_TRUE(peer.Start(argv, &error)) << error;
    EXPECT_EQ(peer.WaitExit(kStep), 64) << c.said << peer.Transcript();
    bool said = false;
    for (auto const& line : peer.lines(Stream::kErr)) said = said || line.find(c.said) != line.npos;
    EXPECT_TRUE(said) << c.said << peer.Transcript();
  }
  // The host takes its universes the same way.
  CChildProcess host;
  std::string error;
  ASSERT_TRUE(host.Start({KN_HOST_BIN, "--ola-in", "1.5"}, &error)) << error;
  EXPECT_EQ(host.WaitExit(kStep), 64) << host.Transcript();
  // The largest universe is one: the node runs (and ends when asked to).
  CChildProcess peer;
  ASSERT_TRUE(peer.Start({KN_PEER_BIN, "connect", "127.0.0.1:1", "--ola-out", "4294967295",
                          "--ola-in", "0", "--ola-port", "1", "-s", "0"},
                         &error))
      << error;
  EXPECT_EQ(peer.WaitExit(kStep), 0) << peer.Transcript();
}

}  // namespace
