// The programs end to end: kelmar-host and kelmar-peer as processes over loopback UDP.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
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
#include "CProgramTest.h"

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

// A UDP socket on all local addresses and `wanted`, or a port the system picks, held
// while it lives (without SO_REUSEADDR, so nobody else binds it). `error` is bind's errno.
class CHeldUdpPort {
 public:
  explicit CHeldUdpPort(int wanted = 0) : mFd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(wanted));
    socklen_t len = sizeof sa;
    error = bind(mFd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : errno;
    getsockname(mFd, reinterpret_cast<sockaddr*>(&sa), &len);
    port = ntohs(sa.sin_port);
  }
  ~CHeldUdpPort() { close(mFd); }

  int mFd;
  int port;
  int error;
};

// The help block of `program` in the README: the fenced lines under its heading.
std::string ReadmeHelp(std::string const& program) {
  std::string const text = ReadFile(KN_README);
  std::string const head = "## " + program + "\n\n```\n";
  auto const begin = text.find(head);
  if (begin == std::string::npos) return "(no help block for " + program + ")";
  auto const end = text.find("```", begin + head.size());
  return text.substr(begin + head.size(), end - begin - head.size());
}

// The lines of a stream, each with its newline.
std::string Text(std::vector<std::string> const& lines) {
  std::string out;
  for (auto const& line : lines) out += line + '\n';
  return out;
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

  static int Port() { return CHeldUdpPort().port; }  // free a moment ago
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
      EXPECT_EQ(Text(child->lines(Stream::kOut)), ReadmeHelp(program)) << args[0];
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
  CHeldUdpPort const held(51209);
  // In use already is as good as held by us.
  ASSERT_TRUE(held.error == 0 || held.error == EADDRINUSE) << std::strerror(held.error);

  int const port = Port();
  int const saved = Port();
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
    int statuses = 0;
    for (auto const& line : host->lines(Stream::kOut))
      statuses += Event("status")(json::parse(line, nullptr, false));
    EXPECT_EQ(statuses, 1) << host->Transcript();
  }
}

// Bad input is reported and the programs go on: text that is not UTF-8 in a JSON line,
// a composition file whose "patch" is not a string.
TEST_F(EndToEnd, BadInputIsReportedWithoutACrash) {
  std::vector<std::pair<std::string, std::string>> const files = {
      {"number.json", R"({"patch": 5, "settings": {"inBase": 5}})"},
      {"null.json", R"({"patch": null})"},
      {"list.json", R"({"patch": ["Kelmar Network"]})"},
      {"text.json", R"("Kelmar Network")"}};
  for (auto const& [name, text] : files) {
    std::filesystem::path const file = Dir() / name;
    std::ofstream(file, std::ios::binary) << text;
    int const port = Port();
    CChildProcess* host = Host({"--json", "-c", file.string(), "-p", std::to_string(port)});
    EXPECT_NE(WaitErr(host, file.string()).value_or("").find("not a \"Kelmar Network\""),
              std::string::npos);
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
  }
  // Nor is a folder, and it says so.
  CChildProcess* host = Host({"--json", "-c", Dir().string(), "-p", std::to_string(Port())});
  EXPECT_TRUE(WaitErr(host, Dir().string() + "': is a folder"));
}

}  // namespace
