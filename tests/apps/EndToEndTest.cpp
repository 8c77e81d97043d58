// The programs end to end: kelmar-host and kelmar-peer as processes over loopback UDP.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "CChildProcess.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using Stream = CChildProcess::Stream;

constexpr auto kStep = 10s;  // the deadline for one expected reaction

std::string Loopback(int port) {
  return "127.0.0.1:" + std::to_string(port);
}

// A JSON line of `event` whose fields include `fields`.
std::function<bool(json const&)> Event(std::string const& event, json fields = json::object()) {
  fields["event"] = event;
  return [fields](json const& j) {
    for (auto const& [key, value] : fields.items())
      if (!j.contains(key) || j[key] != value) return false;
    return true;
  };
}

// The host's twelve output ports from Out1: `levels`, then zeros.
auto HostLevels(std::vector<int> levels) {
  levels.resize(12);
  return Event("levels", {{"first", 1}, {"levels", levels}});
}

// The 512 slots a peer received: `levels`, then zeros.
auto PeerLevels(std::vector<int> levels) {
  levels.resize(512);
  return Event("levels", {{"start", 0}, {"levels", levels}});
}

std::string ReadFile(std::filesystem::path const& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// A UDP socket on all local addresses and a port the system picks, held while it lives.
class CHeldUdpPort {
 public:
  CHeldUdpPort() : mFd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    socklen_t len = sizeof sa;
    bind(mFd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    getsockname(mFd, reinterpret_cast<sockaddr*>(&sa), &len);
    port = ntohs(sa.sin_port);
  }
  ~CHeldUdpPort() { close(mFd); }

  int mFd;
  int port;
};

class EndToEnd : public ::testing::Test {
 protected:
  // Whatever still runs must end cleanly when asked to; then the files go.
  void TearDown() override {
    for (auto const& child : mChildren)
      EXPECT_TRUE(!child->running() || child->Terminate(kStep) == 0) << child->Transcript();
    std::error_code ec;
    if (!mDir.empty()) std::filesystem::remove_all(mDir, ec);
  }

  // Starts a program; the fixture owns it.
  CChildProcess* Run(std::string const& bin, std::vector<std::string> args) {
    args.insert(args.begin(), bin);
    std::string error;
    mChildren.push_back(std::make_unique<CChildProcess>());
    if (!mChildren.back()->Start(args, &error)) ADD_FAILURE() << error;
    return mChildren.back().get();
  }
  CChildProcess* Host(std::vector<std::string> const& args) { return Run(KN_HOST_BIN, args); }
  CChildProcess* Peer(std::vector<std::string> const& args) { return Run(KN_PEER_BIN, args); }
  // A host listening on `port`, once it says its port is open.
  CChildProcess* OpenHost(int port, std::vector<std::string> args = {}) {
    args.insert(args.end(), {"--json", "-p", std::to_string(port)});
    CChildProcess* host = Host(args);
    return Wait(host, Event("status", {{"text", "Port is open."}})) ? host : nullptr;
  }

  // The next JSON line of `child` that `match` accepts, or a failure with what it said.
  static std::optional<json> Wait(CChildProcess* child,
                                  std::function<bool(json const&)> const& match,
                                  CChildProcess::Duration timeout = kStep) {
    json found;
    auto const take = [&](std::string const& line) {
      found = json::parse(line, nullptr, false);
      return found.is_object() && match(found);
    };
    if (child->WaitLine(Stream::kOut, take, timeout)) return found;
    ADD_FAILURE() << "not seen in time" << child->Transcript();
    return std::nullopt;
  }
  // The next line on standard error of `child` that holds `part`, or a failure.
  static std::optional<std::string> WaitErr(CChildProcess* child, std::string const& part) {
    auto found = child->WaitLine(
        Stream::kErr, [&](std::string const& l) { return l.find(part) != l.npos; }, kStep);
    if (!found) ADD_FAILURE() << "no '" << part << "' on standard error" << child->Transcript();
    return found;
  }

  // A fresh folder for this test's files.
  std::filesystem::path Dir() {
    std::string pattern = ::testing::TempDir() + "kn-e2e-XXXXXX";
    if (mDir.empty() && mkdtemp(pattern.data())) mDir = pattern;
    EXPECT_FALSE(mDir.empty()) << "cannot make a folder from " << pattern;
    return mDir;
  }
  static int Port() { return CHeldUdpPort().port; }  // free a moment ago

 private:
  std::vector<std::unique_ptr<CChildProcess>> mChildren;
  std::filesystem::path mDir;
};

TEST_F(EndToEnd, LevelsTravelBothWaysAndASecondPeerIsToldBusy) {
  int const port = Port();
  int const local = Port();
  std::string const first = Loopback(local);
  CChildProcess* host = OpenHost(port, {"-d", "10,20,30", "--in-channels", "3", "--show-sent"});
  ASSERT_TRUE(host);
  CChildProcess* peer =
      Peer({"connect", Loopback(port), "--json", "-p", std::to_string(local), "-d", "255,128,7"});
  EXPECT_TRUE(Wait(host, Event("sent", {{"first", 1}, {"levels", {10, 20, 30}}})));
  ASSERT_TRUE(Wait(host, Event("peer", {{"state", "connected"}, {"address", first}})));
  EXPECT_TRUE(Wait(host, HostLevels({255, 128, 7})));
  EXPECT_TRUE(Wait(peer, PeerLevels({10, 20, 30})));
  // Inputs changed on the running host.
  ASSERT_TRUE(host->Send("in 1 200"));
  EXPECT_TRUE(Wait(peer, PeerLevels({200, 20, 30})));
  ASSERT_TRUE(host->Send("set In3 1.5"));  // above 1: full
  EXPECT_TRUE(Wait(peer, PeerLevels({200, 20, 255})));
  EXPECT_TRUE(Wait(host, Event("sent", {{"first", 1}, {"levels", {200, 20, 255}}})));

  CChildProcess* second = Peer({"connect", Loopback(port), "--json", "-d", "7"});
  EXPECT_TRUE(Wait(second, Event("state", {{"state", "busy"}})));
  // The first connection is untouched; the second never reached the host.
  ASSERT_TRUE(host->Send("in 2 99"));
  EXPECT_TRUE(Wait(peer, PeerLevels({200, 99, 255})));
  for (auto const& line : host->lines(Stream::kOut)) {
    json const j = json::parse(line, nullptr, false);
    EXPECT_FALSE(HostLevels({7})(j)) << "the busy peer's levels reached the host";
    EXPECT_FALSE(Event("peer", {{"state", "connected"}})(j) && j["address"] != first) << line;
  }

  EXPECT_EQ(peer->Terminate(kStep), 0) << peer->Transcript();
  // The peer said goodbye: the host is free again without waiting for silence.
  EXPECT_TRUE(Wait(host, Event("peer", {{"state", "idle"}})));
}

TEST_F(EndToEnd, PeerReconnectsToRestartedHost) {
  int const port = Port();
  CChildProcess* host = OpenHost(port);
  ASSERT_TRUE(host);
  // Without -d, the peer sends the frames it reads on standard input.
  CChildProcess* peer = Peer({"connect", Loopback(port), "--json"});
  ASSERT_TRUE(Wait(peer, Event("state", {{"state", "connected"}})));
  ASSERT_TRUE(peer->Send("1,2,3"));
  ASSERT_TRUE(Wait(host, HostLevels({1, 2, 3})));

  // The host goes away without a word to the peer, and comes back on the same port.
  ASSERT_EQ(host->Terminate(kStep), 0) << host->Transcript();
  CChildProcess* again = OpenHost(port);
  ASSERT_TRUE(again);
  // The peer notices the silence (after 5 s), then connects again by itself. States are
  // notes that merge: when the new host answers at once, "timed out" is never shown.
  ASSERT_TRUE(Wait(peer, Event("state", {{"state", "connected"}}), 12s));
  EXPECT_TRUE(Wait(again, HostLevels({1, 2, 3})));
}

// Input ports past slot 512 send nothing, and the levels shown as sent stop there too.
TEST_F(EndToEnd, SentLevelsEndAtTheLastSlot) {
  CChildProcess* host =
      OpenHost(Port(), {"-d", "1,2,3,4", "--in-base", "510", "--in-channels", "12", "--show-sent"});
  ASSERT_TRUE(host);
  EXPECT_TRUE(Wait(host, Event("sent", {{"first", 510}, {"levels", {1, 2, 3}}})));
}

TEST_F(EndToEnd, PortInUseIsReportedAndAnotherPortCanBeChosen) {
  CHeldUdpPort held;
  CChildProcess* host = Host({"--json", "-p", std::to_string(held.port)});
  ASSERT_TRUE(Wait(host, Event("status", {{"text", "Cannot use the port."}})));
  EXPECT_TRUE(WaitErr(host, std::to_string(held.port)));

  // Still running: it answers commands, and works on another port.
  ASSERT_TRUE(host->Send("view"));
  EXPECT_TRUE(Wait(
      host, Event("settings", {{"udpPort", held.port}, {"udpStatus", "Cannot use the port."}})));
  int const other = Port();
  ASSERT_TRUE(host->Send("set udpPort " + std::to_string(other)));
  ASSERT_TRUE(Wait(host, Event("status", {{"text", "Port is open."}})));
  Peer({"connect", Loopback(other), "--json", "-d", "9"});
  EXPECT_TRUE(Wait(host, HostLevels({9})));
}

TEST_F(EndToEnd, BadStartsExitWithOneLineOnStandardError) {
  // Usage errors: the program, then its arguments.
  for (char const* words : {"host --no-such-flag", "host -p", "host -d 0,256", "host extra",
                            "peer connect 127.0.0.1 --bogus", "peer", "peer connect 300.1.1.1",
                            "peer connect 127.0.0.1:70000"}) {
    SCOPED_TRACE(words);
    std::istringstream in(words);
    std::vector<std::string> const c{std::istream_iterator<std::string>(in), {}};
    CChildProcess* child =
        Run(c[0] == "host" ? KN_HOST_BIN : KN_PEER_BIN, {c.begin() + 1, c.end()});
    EXPECT_EQ(child->WaitExit(kStep), 64) << child->Transcript();
    auto const& err = child->lines(Stream::kErr);
    EXPECT_TRUE(err.size() == 1 && err[0].starts_with("kelmar-" + c[0] + ": ") &&
                child->lines(Stream::kOut).empty())
        << child->Transcript();
  }

  // A port that cannot be listened on is unavailable.
  CHeldUdpPort held;
  CChildProcess* peer = Peer({"listen", "--port", std::to_string(held.port), "--json"});
  EXPECT_EQ(peer->WaitExit(kStep), 69) << peer->Transcript();
  EXPECT_EQ(peer->lines(Stream::kErr).size(), 1u) << peer->Transcript();
  EXPECT_TRUE(WaitErr(peer, std::to_string(held.port)));
}

TEST_F(EndToEnd, CorruptCompositionIsNeverOverwrittenAndASavedOneIsLoaded) {
  int const port = Port();
  std::filesystem::path const file = Dir() / "broken.json";
  std::string const corrupt = "{\"patch\": \"Kelmar Network\", \"settings\": {\"inBase\": 5,";
  std::ofstream(file, std::ios::binary) << corrupt;
  CChildProcess* host = Host({"--json", "-c", file.string(), "-p", std::to_string(port)});
  EXPECT_NE(WaitErr(host, file.string()).value_or("").find("JSON"), std::string::npos)
      << "the complaint names the file and what is wrong with it";
  // It runs on with the defaults; 'save' leaves the file as it was, however it is spelt.
  ASSERT_TRUE(host->Send("view"));
  EXPECT_TRUE(Wait(host, Event("settings", {{"inBase", 1}, {"udpPort", port}})));
  for (std::string const& command :
       std::vector<std::string>{"save", "save " + (Dir() / "." / "broken.json").string()}) {
    ASSERT_TRUE(host->Send(command));
    auto answer = Wait(host, Event("message"));
    ASSERT_TRUE(answer);
    EXPECT_NE((*answer)["text"].get<std::string>().find("refusing to overwrite"), std::string::npos)
        << (*answer)["text"];
    EXPECT_EQ(ReadFile(file), corrupt);
  }
  // It saves to another file when told.
  std::string const show = (Dir() / "show.json").string();
  for (std::string const& command :
       std::vector<std::string>{"set inBase 5", "set inChannels 3", "set outBase 2",
                                "set outChannels 4", "set In5 0.5", "in 6 200", "save " + show})
    ASSERT_TRUE(host->Send(command));
  EXPECT_TRUE(Wait(host, Event("message", {{"text", "saved " + show}})));
  EXPECT_EQ(host->Terminate(kStep), 0) << host->Transcript();
  EXPECT_EQ(ReadFile(file), corrupt);
  EXPECT_FALSE(std::filesystem::exists(file.string() + ".tmp"));
  EXPECT_FALSE(std::filesystem::exists(show + ".tmp"));

  // No port given: the one saved in the file is used.
  CChildProcess* loaded = Host({"--json", "-c", show});
  ASSERT_TRUE(loaded->Send("view"));
  json const saved = {
      {"udpPort", port}, {"inBase", 5}, {"inChannels", 3}, {"outBase", 2}, {"outChannels", 4}};
  EXPECT_TRUE(Wait(loaded, Event("settings", saved)));
  // In5 = 0.5 and In6 = 200/255 reach a peer as slots 5 and 6; Out2..Out5 show slots 2 to 5.
  CChildProcess* peer = Peer({"connect", Loopback(port), "--json", "-d", "0,11,22,33,44,55"});
  EXPECT_TRUE(Wait(peer, PeerLevels({0, 0, 0, 0, 127, 200})));
  EXPECT_TRUE(Wait(loaded, Event("levels", {{"first", 2}, {"levels", {11, 22, 33, 44}}})));
  ASSERT_TRUE(loaded->Send("save"));  // a readable file is saved over
  EXPECT_TRUE(Wait(loaded, Event("message", {{"text", "saved " + show}})));
}

}  // namespace
