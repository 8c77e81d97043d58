// The programs end to end: kelmar-host and kelmar-peer as processes over loopback UDP.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "CProgramTest.h"

namespace {

using namespace std::chrono_literals;

// The help block of `program` in the README: the fenced lines under its heading.
std::string ReadmeHelp(std::string const& program) {
  std::ifstream in(KN_README, std::ios::binary);
  std::string const text{std::istreambuf_iterator<char>(in), {}};
  std::string const head = "## " + program + "\n\n```\n";
  auto const begin = text.find(head);
  if (begin == std::string::npos) return "(no help block for " + program + ")";
  auto const end = text.find("```", begin + head.size());
  return text.substr(begin + head.size(), end - begin - head.size());
}

class EndToEnd : public CProgramTest {
 protected:
  CChildProcess* Host(std::vector<std::string> const& args) { return Run(KN_HOST_BIN, args); }
  CChildProcess* Peer(std::vector<std::string> const& args) { return Run(KN_PEER_BIN, args); }
  // A host listening on `port`, once it says its port is open.
  CChildProcess* OpenHost(int port, std::vector<std::string> args = {}) {
    args.insert(args.end(), {"--json", "-p", std::to_string(port)});
    CChildProcess* host = Host(args);
    return Wait(host, Event("status", {{"text", "Port is open."}})) ? host : nullptr;
  }
  // The host's twelve output ports from Out1: `levels`, then zeros.
  static Match HostLevels(std::vector<int> levels) {
    levels.resize(12);
    return Event("levels", {{"first", 1}, {"levels", levels}});
  }
};

TEST_F(EndToEnd, LevelsTravelBothWaysAndASecondPeerIsToldBusy) {
  int const port = FreePort();
  int const local = FreePort();
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
  int const port = FreePort();
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

// A peer with no levels yet (nothing read on standard input) sends no turns: the
// protocol's keep-alives hold its link past the partner's 5 s of silence, and its first
// levels go out when they come.
TEST_F(EndToEnd, APeerWithNothingToSendKeepsItsLinkWithoutTurns) {
  int const port = FreePort();
  CChildProcess* partner = Peer({"listen", "-p", std::to_string(port), "--json"});
  ASSERT_TRUE(Wait(partner, Event("listening")));
  CChildProcess* peer = Peer({"connect", Loopback(port), "--json"});
  ASSERT_TRUE(Wait(partner, Event("state", {{"state", "connected"}})));
  EXPECT_FALSE(partner->WaitLine(
      Stream::kOut,
      [](std::string const& l) {
        json const j = json::parse(l, nullptr, false);
        return Event("levels")(j) || Event("state")(j);
      },
      7s))
      << partner->Transcript();
  ASSERT_TRUE(peer->Send("1,2,3"));
  EXPECT_TRUE(Wait(partner, Event("levels", {{"levels", {1, 2, 3}}})));
}

// A peer with nothing to send runs its frames on its partner's turns instead of its own
// ticks, which come back once the turns stop. Its frames still end it on time while it is
// paced, and its ticks still see the silence after.
TEST_F(EndToEnd, APeerPacedByItsPartnersTurnsStopsOnTimeAndNoticesTheirSilence) {
  int const port = FreePort();
  CChildProcess* partner =
      Peer({"listen", "-p", std::to_string(port), "--pattern", "ramp", "--fps", "50", "--json"});
  ASSERT_TRUE(Wait(partner, Event("listening")));
  CChildProcess* timed =
      Peer({"connect", Loopback(port), "--fps", "1", "--seconds", "3", "--json"});
  ASSERT_TRUE(Wait(timed, Event("levels")));
  EXPECT_EQ(timed->WaitExit(10s), 0) << timed->Transcript();

  CChildProcess* peer = Peer({"connect", Loopback(port), "--fps", "1", "--json"});
  ASSERT_TRUE(Wait(peer, Event("levels")));
  Kill(partner);
  EXPECT_TRUE(Wait(peer, Event("no-data"))) << peer->Transcript();
}

// Input ports past slot 512 send nothing, and the levels shown as sent stop there too.
TEST_F(EndToEnd, SentLevelsEndAtTheLastSlot) {
  CChildProcess* host = OpenHost(
      FreePort(), {"-d", "1,2,3,4", "--in-base", "510", "--in-channels", "12", "--show-sent"});
  ASSERT_TRUE(host);
  EXPECT_TRUE(Wait(host, Event("sent", {{"first", 510}, {"levels", {1, 2, 3}}})));
}

TEST_F(EndToEnd, PortInUseIsReportedAndAnotherPortCanBeChosen) {
  CUdpSocket const held(INADDR_ANY);
  CChildProcess* host = Host({"--json", "-p", std::to_string(held.port)});
  ASSERT_TRUE(Wait(host, Event("status", {{"text", "Cannot use the port."}})));
  EXPECT_TRUE(WaitErr(host, std::to_string(held.port)));

  // Still running: it answers commands, and works on another port.
  ASSERT_TRUE(host->Send("view"));
  EXPECT_TRUE(Wait(
      host, Event("settings", {{"udpPort", held.port}, {"udpStatus", "Cannot use the port."}})));
  int const other = FreePort();
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
    ExpectRefused(Run(c[0] == "host" ? KN_HOST_BIN : KN_PEER_BIN, {c.begin() + 1, c.end()}), 64,
                  "kelmar-" + c[0]);
  }

  // A port that cannot be listened on is unavailable.
  CUdpSocket const held(INADDR_ANY);
  ExpectRefused(Peer({"listen", "--port", std::to_string(held.port), "--json"}), 69, "kelmar-peer",
                std::to_string(held.port));
}

// A composition that cannot be read (here: a patch of its list) is reported with the file,
// the patch and the problem; the host runs on one patch with the defaults and never writes
// over the file.
TEST_F(EndToEnd, CorruptCompositionIsNeverOverwrittenAndASavedOneIsLoaded) {
  int const port = FreePort();
  std::string const corrupt =
      R"({"patches": [{"patch": "Kelmar Network"}, {"patch": "Kelmar Network", "olaOut": -3}]})";
  std::string const file = Write("broken.json", corrupt);
  CChildProcess* host = Host({"--json", "-c", file, "-p", std::to_string(port)});
  EXPECT_NE(WaitErr(host, "olaOut")
                .value_or("")
                .find("composition file '" + file + "': patch 2 (patches[1]): "),
            std::string::npos);
  // It runs on with the defaults; 'save' leaves the file as it was, however it is spelt.
  ASSERT_TRUE(host->Send("view"));
  EXPECT_TRUE(Wait(host, Event("settings", {{"patch", 1}, {"inBase", 1}, {"udpPort", port}})));
  ASSERT_TRUE(host->Send("view 2"));
  EXPECT_TRUE(Wait(host, Event("message", {{"text", "no patch 2 (patches: 1)"}})));
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
  EXPECT_FALSE(std::filesystem::exists(file + ".tmp"));
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

// Help and version go to standard output with status 0, wherever they stand; the help is
// the README's, word for word.
TEST_F(EndToEnd, HelpIsTheReadmesAndVersionNamesTheProgram) {
  for (std::string const program : {"kelmar-host", "kelmar-peer"}) {
    bool const host = program == "kelmar-host";
    std::string const bin = host ? KN_HOST_BIN : KN_PEER_BIN;
    std::vector<std::vector<std::string>> const helps =
        host ? std::vector<std::vector<std::string>>{{"--help"}, {"-q", "-h", "--bogus"}}
             : std::vector<std::vector<std::string>>{{"-h"}, {"connect", "127.0.0.1", "--help"}};
    for (auto const& args : helps) {
      CChildProcess* child = Run(bin, args);
      ASSERT_EQ(child->WaitExit(kStep), 0) << child->Transcript();
      std::string out;
      for (auto const& line : child->lines(Stream::kOut)) out += line + '\n';
      EXPECT_EQ(out, ReadmeHelp(program)) << args[0];
      EXPECT_TRUE(child->lines(Stream::kErr).empty()) << child->Transcript();
    }
    CChildProcess* version = Run(bin, {host ? "-v" : "--version"});
    ASSERT_EQ(version->WaitExit(kStep), 0) << version->Transcript();
    EXPECT_EQ(version->lines(Stream::kOut), std::vector<std::string>{program + " 0.1.0"});
  }
}

// The port opens once, on the settings of the command line and the composition file:
// another program holding the default port changes nothing.
TEST_F(EndToEnd, HostNeverTriesTheDefaultPortWhenGivenAnother) {
  CUdpSocket const held(INADDR_ANY, 51209);
  // In use already is as good as held by us.
  ASSERT_TRUE(held.error == 0 || held.error == EADDRINUSE) << std::strerror(held.error);

  int const port = FreePort();
  int const saved = FreePort();
  std::filesystem::path const file = Dir() / "show.json";
  std::ofstream(file) << json{{"patch", "Kelmar Network"},
                              {"settings", {{"udpPort", saved}, {"inBase", 2}}},
                              {"inputs", {{"In2", 1.0}}}};
  for (auto const& args : std::vector<std::vector<std::string>>{
           {"--json", "-p", std::to_string(port)},
           {"--json", "-c", file.string(), "--udp-port", std::to_string(port)}}) {
    CChildProcess* host = Host(args);
    ASSERT_TRUE(Wait(host, Event("status", {{"text", "Port is open."}}))) << args.size();
    CChildProcess* peer = Peer({"connect", Loopback(port), "--json", "-d", "5"});
    EXPECT_TRUE(Wait(host, HostLevels({5})));
    if (args.size() > 3) {  // In2 at full, from the file
      EXPECT_TRUE(Wait(peer, PeerLevels({0, 255})));
    }
    EXPECT_EQ(peer->Terminate(kStep), 0) << peer->Transcript();
    EXPECT_EQ(host->Terminate(kStep), 0) << host->Transcript();
    EXPECT_TRUE(host->lines(Stream::kErr).empty()) << host->Transcript();
    EXPECT_EQ(Count(host, Event("status")), 1) << host->Transcript();
  }
}

// Bad input is reported and the host goes on: text that is not UTF-8 in a command line, a
// composition file whose "patch" is not a string (the other such files: CCompositionTest).
TEST_F(EndToEnd, BadInputIsReportedWithoutACrash) {
  std::string const text = R"({"patch": 5, "settings": {"inBase": 5}})";
  std::string const file = Write("number.json", text);
  int const port = FreePort();
  CChildProcess* host = Host({"--json", "-c", file, "-p", std::to_string(port)});
  EXPECT_NE(WaitErr(host, file).value_or("").find("not a \"Kelmar Network\""), std::string::npos);
  // Not UTF-8: an unknown command is echoed with the bad bytes replaced.
  ASSERT_TRUE(host->Send("\xff\xfe\xc3 bad"));
  auto const echo = Wait(host, Event("message"));
  ASSERT_TRUE(echo);
  EXPECT_EQ((*echo)["text"], "unknown command: \uFFFD\uFFFD\uFFFD bad (try help)");
  ASSERT_TRUE(host->Send("save " + (Dir() / "\xff.json").string()));
  EXPECT_TRUE(
      Wait(host, Event("message", {{"text", "saved " + (Dir() / "\uFFFD.json").string()}})));
  ASSERT_TRUE(host->Send("view"));
  EXPECT_TRUE(Wait(host, Event("settings", {{"inBase", 1}, {"udpPort", port}})));
  EXPECT_EQ(host->Terminate(kStep), 0) << host->Transcript();
  EXPECT_EQ(ReadFile(file), text) << "the unreadable file is left alone";

  // Nor is a folder, and it says so.
  host = Host({"--json", "-c", Dir().string(), "-p", std::to_string(FreePort())});
  EXPECT_TRUE(WaitErr(host, Dir().string() + "': is a folder"));
}

}  // namespace
