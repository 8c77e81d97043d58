// The programs end to end: kelmar-host and kelmar-peer as processes over loopback UDP.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "CChildProcess.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using Stream = CChildProcess::Stream;

constexpr auto kStep = 10s;  // the deadline for one expected reaction
// A peer notices a silent partner after 5 s and asks again at once; a request that goes
// unanswered is repeated every 3 s.
constexpr auto kSilence = 12s;
constexpr auto kRetry = 10s;
constexpr auto kExit = 10s;
constexpr int kExitUsage = 64;
constexpr int kExitUnavailable = 69;

std::string Loopback(int port) {
  return "127.0.0.1:" + std::to_string(port);
}

// ---- what the programs say, as predicates over their JSON lines

// A field of a JSON line, or null when the line has no such field.
json At(json const& j, char const* key) {
  return j.is_object() && j.contains(key) ? j[key] : json();
}

bool IsEvent(json const& j, char const* event) {
  return At(j, "event") == event;
}

auto Status(std::string text) {
  return [text](json const& j) { return IsEvent(j, "status") && At(j, "text") == text; };
}

// The host's view of its peer.
auto HostPeer(std::string state) {
  return [state](json const& j) { return IsEvent(j, "peer") && At(j, "state") == state; };
}

// The command-line peer's connection state.
auto PeerState(std::string state) {
  return [state](json const& j) { return IsEvent(j, "state") && At(j, "state") == state; };
}

auto Message(std::string part) {
  return [part](json const& j) {
    json const text = At(j, "text");
    return IsEvent(j, "message") && text.is_string() &&
           text.get<std::string>().find(part) != std::string::npos;
  };
}

auto Settings() {
  return [](json const& j) { return IsEvent(j, "settings"); };
}

// Levels that begin with `prefix` and are 0 after it.
bool LevelsAre(json const& levels, std::vector<int> const& prefix) {
  if (!levels.is_array() || levels.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < levels.size(); ++i)
    if (levels[i] != (i < prefix.size() ? prefix[i] : 0)) return false;
  return true;
}

// The host's output ports, starting at channel `first`, `count` of them.
auto HostLevels(int first, std::size_t count, std::vector<int> prefix) {
  return [=](json const& j) {
    json const levels = At(j, "levels");
    return IsEvent(j, "levels") && At(j, "first") == first && levels.is_array() &&
           levels.size() == count && LevelsAre(levels, prefix);
  };
}

// The slots the peer received (slot 1 first), with start code 0.
auto PeerLevels(std::vector<int> prefix) {
  return [=](json const& j) {
    return IsEvent(j, "levels") && At(j, "start") == 0 && LevelsAre(At(j, "levels"), prefix);
  };
}

std::string ReadFile(std::filesystem::path const& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class EndToEnd : public ::testing::Test {
 protected:
  void TearDown() override {
    // Children first (their destructors kill what still runs), then their files.
    mChildren.clear();
    if (!mDir.empty()) {
      std::error_code ec;
      std::filesystem::remove_all(mDir, ec);
    }
  }

  // Starts a program; the fixture owns it. Null (with a failure) when it cannot start.
  CChildProcess* Run(std::string const& bin, std::vector<std::string> const& args) {
    std::vector<std::string> argv{bin};
    argv.insert(argv.end(), args.begin(), args.end());
    auto child = std::make_unique<CChildProcess>();
    std::string error;
    if (!child->Start(argv, &error)) {
      ADD_FAILURE() << error;
      return nullptr;
    }
    mChildren.push_back(std::move(child));
    return mChildren.back().get();
  }
  CChildProcess* Host(std::vector<std::string> const& args) { return Run(KN_HOST_BIN, args); }
  CChildProcess* Peer(std::vector<std::string> const& args) { return Run(KN_PEER_BIN, args); }

  // A fresh folder for this test's files; empty (with a failure) when none can be made.
  std::filesystem::path Dir() {
    if (mDir.empty()) {
      std::string pattern = ::testing::TempDir() + "kn-e2e-XXXXXX";
      if (char* made = mkdtemp(pattern.data()))
        mDir = made;
      else
        ADD_FAILURE() << "cannot make a folder from " << pattern;
    }
    return mDir;
  }

  // A free UDP port; every test takes its own.
  static int Port() {
    int const port = FreeUdpPort();
    EXPECT_GT(port, 0) << "no free UDP port on 127.0.0.1";
    return port;
  }

 private:
  std::vector<std::unique_ptr<CChildProcess>> mChildren;
  std::filesystem::path mDir;
};

// ---- levels both ways

TEST_F(EndToEnd, LevelsTravelBothWays) {
  int const port = Port();
  CChildProcess* host = Host({"--json", "-p", std::to_string(port), "-d", "10,20,30"});
  ASSERT_TRUE(host);
  ASSERT_TRUE(host->WaitJson(Status("Port is open."), kStep)) << host->Transcript();

  CChildProcess* peer = Peer({"connect", Loopback(port), "--json", "-d", "255,128,7"});
  ASSERT_TRUE(peer);
  ASSERT_TRUE(peer->WaitJson(PeerState("connected"), kStep)) << peer->Transcript();
  ASSERT_TRUE(host->WaitJson(HostPeer("connected"), kStep)) << host->Transcript();

  // The peer's levels on the host's output ports "Out1".."Out12".
  EXPECT_TRUE(host->WaitJson(HostLevels(1, 12, {255, 128, 7}), kStep)) << host->Transcript();
  // The host's inputs at the peer.
  EXPECT_TRUE(peer->WaitJson(PeerLevels({10, 20, 30}), kStep)) << peer->Transcript();

  // An input changed on the running host reaches the peer.
  ASSERT_TRUE(host->Send("in 1 200"));
  EXPECT_TRUE(peer->WaitJson(PeerLevels({200, 20, 30}), kStep)) << peer->Transcript();
  ASSERT_TRUE(host->Send("set In3 1.5"));  // above 1: full
  EXPECT_TRUE(peer->WaitJson(PeerLevels({200, 20, 255}), kStep)) << peer->Transcript();

  EXPECT_EQ(peer->Terminate(kExit), 0) << peer->Transcript();
  // The peer said goodbye: the host is free again without waiting for silence.
  EXPECT_TRUE(host->WaitJson(HostPeer("idle"), kStep)) << host->Transcript();
  EXPECT_EQ(host->Terminate(kExit), 0) << host->Transcript();
}

TEST_F(EndToEnd, PeerFramesFromStandardInputReachTheHost) {
  int const port = Port();
  CChildProcess* host = Host({"--json", "-p", std::to_string(port)});
  ASSERT_TRUE(host);
  ASSERT_TRUE(host->WaitJson(Status("Port is open."), kStep)) << host->Transcript();
  CChildProcess* peer = Peer({"connect", Loopback(port), "--json"});
  ASSERT_TRUE(peer);
  ASSERT_TRUE(peer->WaitJson(PeerState("connected"), kStep)) << peer->Transcript();

  ASSERT_TRUE(peer->Send("1,2,3,4"));
  EXPECT_TRUE(host->WaitJson(HostLevels(1, 12, {1, 2, 3, 4}), kStep)) << host->Transcript();
  ASSERT_TRUE(peer->Send("0,0,0,0,0,0,0,0,0,0,0,99"));
  EXPECT_TRUE(host->WaitJson(HostLevels(1, 12, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 99}), kStep))
      << host->Transcript();

  EXPECT_EQ(peer->Terminate(kExit), 0) << peer->Transcript();
  EXPECT_EQ(host->Terminate(kExit), 0) << host->Transcript();
}

// ---- connections

TEST_F(EndToEnd, PeerReconnectsToRestartedHost) {
  int const port = Port();
  CChildProcess* host = Host({"--json", "-p", std::to_string(port)});
  ASSERT_TRUE(host);
  ASSERT_TRUE(host->WaitJson(Status("Port is open."), kStep)) << host->Transcript();
  CChildProcess* peer = Peer({"connect", Loopback(port), "--json", "-d", "1,2,3"});
  ASSERT_TRUE(peer);
  ASSERT_TRUE(peer->WaitJson(PeerState("connected"), kStep)) << peer->Transcript();
  ASSERT_TRUE(host->WaitJson(HostLevels(1, 12, {1, 2, 3}), kStep)) << host->Transcript();

  // The host goes away without a word to the peer...
  ASSERT_EQ(host->Terminate(kExit), 0) << host->Transcript();
  // ...and comes back on the same port.
  CChildProcess* again = Host({"--json", "-p", std::to_string(port)});
  ASSERT_TRUE(again);
  ASSERT_TRUE(again->WaitJson(Status("Port is open."), kStep)) << again->Transcript();

  // The peer notices the silence, then connects again by itself.
  ASSERT_TRUE(peer->WaitJson(PeerState("timed out"), kSilence)) << peer->Transcript();
  ASSERT_TRUE(peer->WaitJson(PeerState("connected"), kRetry)) << peer->Transcript();
  EXPECT_TRUE(again->WaitJson(HostPeer("connected"), kStep)) << again->Transcript();
  EXPECT_TRUE(again->WaitJson(HostLevels(1, 12, {1, 2, 3}), kStep)) << again->Transcript();

  EXPECT_EQ(peer->Terminate(kExit), 0) << peer->Transcript();
  EXPECT_EQ(again->Terminate(kExit), 0) << again->Transcript();
}

TEST_F(EndToEnd, SecondPeerIsToldBusy) {
  int const port = Port();
  int const firstLocal = Port();
  CChildProcess* host = Host({"--json", "-p", std::to_string(port)});
  ASSERT_TRUE(host);
  ASSERT_TRUE(host->WaitJson(Status("Port is open."), kStep)) << host->Transcript();

  CChildProcess* first =
      Peer({"connect", Loopback(port), "--json", "-p", std::to_string(firstLocal), "-d", "42"});
  ASSERT_TRUE(first);
  ASSERT_TRUE(first->WaitJson(PeerState("connected"), kStep)) << first->Transcript();
  auto shown = host->WaitJson(HostPeer("connected"), kStep);
  ASSERT_TRUE(shown) << host->Transcript();
  EXPECT_EQ(At(*shown, "address"), Loopback(firstLocal));

  CChildProcess* second = Peer({"connect", Loopback(port), "--json", "-d", "7"});
  ASSERT_TRUE(second);
  EXPECT_TRUE(second->WaitJson(PeerState("busy"), kStep)) << second->Transcript();

  // The first connection is untouched: its levels still arrive, the second's never.
  EXPECT_TRUE(host->WaitJson(HostLevels(1, 12, {42}), kStep)) << host->Transcript();
  EXPECT_EQ(second->Terminate(kExit), 0) << second->Transcript();
  for (auto const& line : host->lines(Stream::kOut)) {
    auto j = json::parse(line, nullptr, false);
    EXPECT_FALSE(HostLevels(1, 12, {7})(j)) << "the busy peer's levels reached the host";
    if (HostPeer("connected")(j)) {
      EXPECT_EQ(At(j, "address"), Loopback(firstLocal)) << line;
    }
  }
  EXPECT_EQ(first->Terminate(kExit), 0) << first->Transcript();
  EXPECT_EQ(host->Terminate(kExit), 0) << host->Transcript();
}

// ---- the UDP port

TEST_F(EndToEnd, PortInUseIsReportedAndAnotherPortCanBeChosen) {
  CHeldUdpPort held;
  ASSERT_GT(held.port(), 0);
  CChildProcess* host = Host({"--json", "-p", std::to_string(held.port())});
  ASSERT_TRUE(host);
  ASSERT_TRUE(host->WaitJson(Status("Cannot use the port."), kStep)) << host->Transcript();
  EXPECT_TRUE(host->WaitLine(
      Stream::kErr,
      [&](std::string const& l) { return l.find(std::to_string(held.port())) != l.npos; }, kStep))
      << host->Transcript();

  // Still running: it answers commands.
  ASSERT_TRUE(host->Send("view"));
  auto settings = host->WaitJson(Settings(), kStep);
  ASSERT_TRUE(settings) << host->Transcript();
  EXPECT_EQ(At(*settings, "udpPort"), held.port());
  EXPECT_EQ(At(*settings, "udpStatus"), "Cannot use the port.");
  EXPECT_TRUE(host->running());

  int const other = Port();
  ASSERT_TRUE(host->Send("set udpPort " + std::to_string(other)));
  ASSERT_TRUE(host->WaitJson(Status("Port is open."), kStep)) << host->Transcript();

  // And it works there.
  CChildProcess* peer = Peer({"connect", Loopback(other), "--json", "-d", "9"});
  ASSERT_TRUE(peer);
  EXPECT_TRUE(peer->WaitJson(PeerState("connected"), kStep)) << peer->Transcript();
  EXPECT_TRUE(host->WaitJson(HostLevels(1, 12, {9}), kStep)) << host->Transcript();
  EXPECT_EQ(peer->Terminate(kExit), 0) << peer->Transcript();
  EXPECT_EQ(host->Terminate(kExit), 0) << host->Transcript();
}

// ---- usage errors

struct SUsageCase {
  char const* name;
  bool host;  // kelmar-host, else kelmar-peer
  std::vector<std::string> args;
};

// Shown by the test runner, and so in the test's name: the case's name.
void PrintTo(SUsageCase const& c, std::ostream* out) {
  *out << c.name;
}

class UsageError : public EndToEnd, public ::testing::WithParamInterface<SUsageCase> {};

TEST_P(UsageError, ExitsWith64AndOneLineOnStandardError) {
  SUsageCase const& c = GetParam();
  CChildProcess* child = c.host ? Host(c.args) : Peer(c.args);
  ASSERT_TRUE(child);
  EXPECT_EQ(child->WaitExit(kExit), kExitUsage) << child->Transcript();
  auto const& err = child->lines(Stream::kErr);
  ASSERT_EQ(err.size(), 1u) << child->Transcript();
  EXPECT_EQ(err[0].rfind(c.host ? "kelmar-host: " : "kelmar-peer: ", 0), 0u) << err[0];
  EXPECT_TRUE(child->lines(Stream::kOut).empty()) << child->Transcript();
}

INSTANTIATE_TEST_SUITE_P(
    EndToEnd, UsageError,
    ::testing::Values(SUsageCase{"HostUnknownFlag", true, {"--no-such-flag"}},
                      SUsageCase{"HostMissingValue", true, {"-p"}},
                      SUsageCase{"HostLevelAbove255", true, {"-d", "0,256"}},
                      SUsageCase{"HostStrayArgument", true, {"extra"}},
                      SUsageCase{"PeerUnknownFlag", false, {"connect", "127.0.0.1", "--bogus"}},
                      SUsageCase{"PeerNoCommand", false, {}},
                      SUsageCase{"PeerBadAddress", false, {"connect", "300.1.1.1"}},
                      SUsageCase{"PeerBadPort", false, {"connect", "127.0.0.1:70000"}},
                      SUsageCase{
                          "PeerLevelAbove255", false, {"connect", "127.0.0.1", "-d", "0,256"}}));

TEST_F(EndToEnd, ListenOnHeldPortExitsWith69) {
  CHeldUdpPort held;
  ASSERT_GT(held.port(), 0);
  CChildProcess* peer = Peer({"listen", "--port", std::to_string(held.port()), "--json"});
  ASSERT_TRUE(peer);
  EXPECT_EQ(peer->WaitExit(kExit), kExitUnavailable) << peer->Transcript();
  auto const& err = peer->lines(Stream::kErr);
  ASSERT_EQ(err.size(), 1u) << peer->Transcript();
  EXPECT_NE(err[0].find(std::to_string(held.port())), std::string::npos) << err[0];
}

// ---- the composition file

TEST_F(EndToEnd, SavedCompositionIsLoadedByANewHost) {
  int const port = Port();
  ASSERT_FALSE(Dir().empty());
  std::string const file = (Dir() / "show.json").string();
  CChildProcess* host = Host({"--json", "-c", file, "-p", std::to_string(port)});
  ASSERT_TRUE(host);
  ASSERT_TRUE(host->WaitJson(Status("Port is open."), kStep)) << host->Transcript();
  for (char const* command : {"set inBase 5", "set inChannels 3", "set outBase 2",
                              "set outChannels 4", "set In5 0.5", "in 6 200", "save"})
    ASSERT_TRUE(host->Send(command));
  ASSERT_TRUE(host->WaitJson(Message("saved " + file), kStep)) << host->Transcript();
  ASSERT_TRUE(host->Send("quit"));
  ASSERT_EQ(host->WaitExit(kExit), 0) << host->Transcript();
  ASSERT_TRUE(std::filesystem::exists(file));
  EXPECT_FALSE(std::filesystem::exists(file + ".tmp"));

  // No port given: the one saved in the file is used.
  CChildProcess* loaded = Host({"--json", "-c", file});
  ASSERT_TRUE(loaded);
  ASSERT_TRUE(loaded->WaitJson(Status("Port is open."), kStep)) << loaded->Transcript();
  ASSERT_TRUE(loaded->Send("view"));
  auto settings = loaded->WaitJson(Settings(), kStep);
  ASSERT_TRUE(settings) << loaded->Transcript();
  EXPECT_EQ(At(*settings, "udpPort"), port);
  EXPECT_EQ(At(*settings, "inBase"), 5);
  EXPECT_EQ(At(*settings, "inChannels"), 3);
  EXPECT_EQ(At(*settings, "outBase"), 2);
  EXPECT_EQ(At(*settings, "outChannels"), 4);

  // The inputs survived too: In5 = 0.5 and In6 = 200/255 reach a peer as slots 5 and 6.
  CChildProcess* peer = Peer({"connect", Loopback(port), "--json", "-d", "0,11,22,33,44,55"});
  ASSERT_TRUE(peer);
  EXPECT_TRUE(peer->WaitJson(PeerLevels({0, 0, 0, 0, 127, 200}), kStep)) << peer->Transcript();
  // Out2..Out5 show slots 2 to 5.
  EXPECT_TRUE(loaded->WaitJson(HostLevels(2, 4, {11, 22, 33, 44}), kStep)) << loaded->Transcript();
  EXPECT_EQ(peer->Terminate(kExit), 0) << peer->Transcript();
  EXPECT_EQ(loaded->Terminate(kExit), 0) << loaded->Transcript();
}

TEST_F(EndToEnd, CorruptCompositionIsReportedAndNeverOverwritten) {
  int const port = Port();
  ASSERT_FALSE(Dir().empty());
  std::filesystem::path const file = Dir() / "broken.json";
  std::string const corrupt = "{\"patch\": \"Kelmar Network\", \"settings\": {\"inBase\": 5,";
  {
    std::ofstream out(file, std::ios::binary);
    out << corrupt;
  }
  CChildProcess* host = Host({"--json", "-c", file.string(), "-p", std::to_string(port)});
  ASSERT_TRUE(host);
  auto complaint = host->WaitLine(
      Stream::kErr, [&](std::string const& l) { return l.find(file.string()) != l.npos; }, kStep);
  ASSERT_TRUE(complaint) << host->Transcript();
  EXPECT_NE(complaint->find("JSON"), std::string::npos) << *complaint;

  // It runs on with the defaults.
  ASSERT_TRUE(host->WaitJson(Status("Port is open."), kStep)) << host->Transcript();
  ASSERT_TRUE(host->Send("view"));
  auto settings = host->WaitJson(Settings(), kStep);
  ASSERT_TRUE(settings) << host->Transcript();
  EXPECT_EQ(At(*settings, "inBase"), 1);
  EXPECT_EQ(At(*settings, "udpPort"), port);

  // 'save' leaves the file as it was...
  ASSERT_TRUE(host->Send("save"));
  EXPECT_TRUE(host->WaitJson(Message("refusing to overwrite " + file.string()), kStep))
      << host->Transcript();
  EXPECT_EQ(ReadFile(file), corrupt);
  EXPECT_FALSE(std::filesystem::exists(file.string() + ".tmp"));

  // ...but saves to another file when told.
  std::string const other = (Dir() / "other.json").string();
  ASSERT_TRUE(host->Send("save " + other));
  EXPECT_TRUE(host->WaitJson(Message("saved " + other), kStep)) << host->Transcript();
  EXPECT_TRUE(std::filesystem::exists(other));
  EXPECT_EQ(ReadFile(file), corrupt);
  EXPECT_TRUE(host->running());
  EXPECT_EQ(host->Terminate(kExit), 0) << host->Transcript();
}

TEST_F(EndToEnd, CorruptCompositionIsNotOverwrittenUnderAnotherSpellingOfItsName) {
  int const port = Port();
  ASSERT_FALSE(Dir().empty());
  std::filesystem::path const file = Dir() / "broken.json";
  std::string const corrupt = "{broken";
  {
    std::ofstream out(file, std::ios::binary);
    out << corrupt;
  }
  CChildProcess* host = Host({"--json", "-c", file.string(), "-p", std::to_string(port)});
  ASSERT_TRUE(host);
  ASSERT_TRUE(host->WaitLine(
      Stream::kErr, [&](std::string const& l) { return l.find(file.string()) != l.npos; }, kStep))
      << host->Transcript();

  // The same file, named differently.
  std::string const sameFile = (Dir() / "." / "broken.json").string();
  ASSERT_TRUE(host->Send("save " + sameFile));
  auto answer = host->WaitJson(Message(""), kStep);
  ASSERT_TRUE(answer) << host->Transcript();
  EXPECT_NE(At(*answer, "text").get<std::string>().find("refusing to overwrite"), std::string::npos)
      << At(*answer, "text");
  EXPECT_EQ(ReadFile(file), corrupt) << "the unreadable composition was overwritten";
  EXPECT_EQ(host->Terminate(kExit), 0) << host->Transcript();
}

}  // namespace
