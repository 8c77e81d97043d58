// kelmar-host with several patches, end to end: each patch with its own port and peer,
// patches added and removed while others run, and the composition file's list form.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "CChildProcess.h"
#include "CProgramTest.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using Stream = CChildProcess::Stream;

constexpr auto kStep = 10s;  // the deadline for one expected reaction

// A JSON line of `event` whose fields include `fields`.
std::function<bool(json const&)> Event(std::string const& event, json fields = json::object()) {
  fields["event"] = event;
  return [fields](json const& j) {
    for (auto const& [key, value] : fields.items())
      if (!j.contains(key) || j[key] != value) return false;
    return true;
  };
}

// Output levels of host patch `patch` from Out1, or the 512 slots a peer received:
// `levels`, then zeros.
auto HostLevels(int patch, std::vector<int> levels) {
  levels.resize(12);
  return Event("levels", {{"patch", patch}, {"first", 1}, {"levels", levels}});
}
auto PeerLevels(std::vector<int> levels) {
  levels.resize(512);
  return Event("levels", {{"start", 0}, {"levels", levels}});
}

std::string ReadFile(std::filesystem::path const& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// A UDP port that was free a moment ago (never the default one).
int FreePort() {
  int const fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  socklen_t len = sizeof sa;
  bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  close(fd);
  return ntohs(sa.sin_port);
}

std::string Loopback(int port) {
  return "127.0.0.1:" + std::to_string(port);
}

class HostPatches : public CProgramTest {
 protected:
  CChildProcess* Host(std::vector<std::string> args) {
    args.insert(args.begin(), "--json");
    return Run(KN_HOST_BIN, args);
  }
  // A peer connecting to `port` and sending `levels`, once it is connected.
  CChildProcess* ConnectedPeer(int port, std::string const& levels) {
    CChildProcess* peer = Run(KN_PEER_BIN, {"connect", Loopback(port), "--json", "-d", levels});
    return Wait(peer, Event("state", {{"state", "connected"}})) ? peer : nullptr;
  }

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
  // The host's answer to `command`: its next message.
  static std::string Answer(CChildProcess* host, std::string const& command) {
    if (!host->Send(command)) return "(not sent)";
    auto const answer = Wait(host, Event("message"));
    return answer ? (*answer)["text"].get<std::string>() : "(no answer)";
  }
  // The JSON lines of `child` so far that `match` accepts.
  static int Count(CChildProcess* child, std::function<bool(json const&)> const& match) {
    int n = 0;
    for (auto const& line : child->lines(Stream::kOut))
      n += match(json::parse(line, nullptr, false));
    return n;
  }
};

// Two patches from one file, each on its own port with its own peer; commands with and
// without a patch number; the command line's settings go to the first patch; the list
// (universes included) is saved back in its order.
TEST_F(HostPatches, EachPatchOfTheFileServesItsOwnPeerAndIsSavedBack) {
  int const first = FreePort();
  int const second = FreePort();
  std::filesystem::path const file = Dir() / "show.json";
  json const list = {
      {"patches",
       {{{"patch", "Kelmar Network"}, {"settings", {{"udpPort", 1024}, {"inChannels", 3}}}},
        {{"patch", "Kelmar Network"},
         {"settings", {{"udpPort", second}, {"outBase", 2}}},
         {"inputs", {{"In1", 1.0}}},
         {"olaIn", 3},
         {"olaOut", 4}}}}};
  std::ofstream(file) << list;
  CChildProcess* host = Host({"-c", file.string(), "-p", std::to_string(first), "-d", "9"});
  ASSERT_TRUE(Wait(host, Event("status", {{"patch", 1}, {"text", "Port is open."}})));
  ASSERT_TRUE(Wait(host, Event("status", {{"patch", 2}, {"text", "Port is open."}})));

  CChildProcess* one = ConnectedPeer(first, "10,11");
  CChildProcess* two = ConnectedPeer(second, "20,21");
  ASSERT_TRUE(one && two);
  EXPECT_TRUE(Wait(one, PeerLevels({9})));
  EXPECT_TRUE(Wait(two, PeerLevels({255})));
  EXPECT_TRUE(Wait(host, HostLevels(1, {10, 11})));
  EXPECT_TRUE(Wait(host, Event("levels", {{"patch", 2}, {"first", 2}})));

  // Unnumbered commands are the first patch's; numbered ones reach only their own.
  ASSERT_TRUE(host->Send("in 2 200"));
  EXPECT_TRUE(Wait(one, PeerLevels({9, 200})));
  ASSERT_TRUE(host->Send("in 2 2 99"));
  EXPECT_TRUE(Wait(two, PeerLevels({255, 99})));
  ASSERT_TRUE(host->Send("set 2 In1 0"));
  EXPECT_TRUE(Wait(two, PeerLevels({0, 99})));
  ASSERT_TRUE(host->Send("view 2"));
  EXPECT_TRUE(Wait(host, Event("settings", {{"patch", 2}, {"udpPort", second}, {"outBase", 2}})));
  ASSERT_TRUE(host->Send("view"));
  EXPECT_TRUE(Wait(host, Event("settings", {{"patch", 1}, {"udpPort", first}, {"inChannels", 3}})));
  EXPECT_EQ(Answer(host, "set 3 inBase 2"), "no patch 3 (patches: 1, 2)");
  for (auto const& line : one->lines(Stream::kOut))
    EXPECT_FALSE(PeerLevels({255, 99})(json::parse(line))) << "patch 2's levels reached peer 1";

  EXPECT_EQ(Answer(host, "save"), "saved " + file.string());
  json const saved = json::parse(ReadFile(file));
  ASSERT_EQ(saved["patches"].size(), 2u) << saved;
  EXPECT_EQ(saved["patches"][0]["settings"]["udpPort"], first);
  EXPECT_EQ(saved["patches"][0]["inputs"]["In2"], 200 / 255.0);
  EXPECT_FALSE(saved["patches"][0].contains("olaIn"));
  EXPECT_EQ(saved["patches"][1]["settings"]["udpPort"], second);
  EXPECT_EQ(saved["patches"][1]["inputs"]["In2"], 99 / 255.0);
  EXPECT_EQ(saved["patches"][1]["olaIn"], 3);
  EXPECT_EQ(saved["patches"][1]["olaOut"], 4);
}

// A patch added or removed while the host runs leaves the other patches' links alone:
// their peers see no state change and keep receiving.
TEST_F(HostPatches, AddingAndRemovingAPatchLeavesTheOthersLinksAlone) {
  int const first = FreePort();
  int const second = FreePort();
  int const third = FreePort();
  CChildProcess* host = Host({"-p", std::to_string(first)});
  ASSERT_TRUE(Wait(host, Event("status", {{"patch", 1}, {"text", "Port is open."}})));
  CChildProcess* one = ConnectedPeer(first, "1");
  ASSERT_TRUE(one);
  EXPECT_TRUE(Wait(host, HostLevels(1, {1})));

  EXPECT_EQ(Answer(host, "add " + std::to_string(second)),
            "added patch 2 on UDP port " + std::to_string(second));
  EXPECT_TRUE(Wait(host, Event("patches", {{"patches",
                                            {{{"patch", 1}, {"udpPort", first}},
                                             {{"patch", 2}, {"udpPort", second}}}}})));
  ASSERT_TRUE(Wait(host, Event("status", {{"patch", 2}, {"text", "Port is open."}})));
  CChildProcess* two = ConnectedPeer(second, "2");
  ASSERT_TRUE(two);
  ASSERT_TRUE(host->Send("in 2 1 22"));
  EXPECT_TRUE(Wait(two, PeerLevels({22})));
  EXPECT_TRUE(Wait(host, HostLevels(2, {2})));
  ASSERT_TRUE(host->Send("in 1 11"));
  EXPECT_TRUE(Wait(one, PeerLevels({11})));

  int const statesBefore = Count(two, Event("state"));
  int const peerEventsBefore = Count(host, Event("peer", {{"patch", 2}}));
  EXPECT_EQ(Answer(host, "remove 1"), "removed patch 1");
  EXPECT_TRUE(Wait(host, Event("patches", {{"patches", {{{"patch", 2}, {"udpPort", second}}}}})));
  // The removed patch's peer lost its partner ...
  EXPECT_TRUE(Wait(
      one, [](json const& j) { return Event("state")(j) && j["state"] != "connected"; }, 12s));
  // ... and patch 2, still patch 2 and now the first, still reaches its peer.
  ASSERT_TRUE(host->Send("in 2 1 77"));
  EXPECT_TRUE(Wait(two, PeerLevels({77})));
  ASSERT_TRUE(host->Send("in 1 66"));
  EXPECT_TRUE(Wait(two, PeerLevels({66})));
  EXPECT_EQ(Answer(host, "in 1 1 5"), "no patch 1 (patches: 2)");
  EXPECT_EQ(Answer(host, "remove 2"),
            "remove: patch 2 is the only one; a composition keeps at "
            "least one patch");
  // A new patch takes the number above the highest in use.
  EXPECT_EQ(Answer(host, "add " + std::to_string(third)),
            "added patch 3 on UDP port " + std::to_string(third));
  ASSERT_TRUE(Wait(host, Event("status", {{"patch", 3}, {"text", "Port is open."}})));
  ASSERT_TRUE(host->Send("in 1 55"));
  EXPECT_TRUE(Wait(two, PeerLevels({55})));

  // Nothing happened to patch 2's link meanwhile, on either side.
  EXPECT_EQ(Count(two, Event("state")), statesBefore) << two->Transcript();
  EXPECT_EQ(Count(host, Event("peer", {{"patch", 2}})), peerEventsBefore) << host->Transcript();
}

// A malformed list is reported with the file, the patch and the problem; the host runs on
// one patch with the defaults and never writes over the file.
TEST_F(HostPatches, MalformedPatchListIsReportedAndNeverOverwritten) {
  std::filesystem::path const file = Dir() / "bad.json";
  std::string const text =
      R"({"patches": [{"patch": "Kelmar Network"}, {"patch": "Kelmar Network", "olaOut": -3}]})";
  std::ofstream(file, std::ios::binary) << text;
  int const port = FreePort();
  CChildProcess* host = Host({"-c", file.string(), "-p", std::to_string(port)});
  auto const complaint = host->WaitLine(
      Stream::kErr, [](std::string const& l) { return l.find("olaOut") != l.npos; }, kStep);
  ASSERT_TRUE(complaint) << host->Transcript();
  EXPECT_NE(complaint->find("composition file '" + file.string() + "': patch 2 (patches[1]): "),
            std::string::npos)
      << *complaint;
  ASSERT_TRUE(host->Send("view"));
  EXPECT_TRUE(Wait(host, Event("settings", {{"patch", 1}, {"udpPort", port}})));
  EXPECT_EQ(Answer(host, "view 2"), "no patch 2 (patches: 1)");
  EXPECT_NE(Answer(host, "save").find("refusing to overwrite"), std::string::npos);
  EXPECT_EQ(ReadFile(file), text);
}

// One HTTP/1.1 exchange with 127.0.0.1:port; the whole answer, or "" when none came
// within the deadline.
std::string Http(int port, std::string const& request) {
  int const fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  timeval limit{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string got;
  if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
      send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size())) {
    char buf[65536];
    for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;) got.append(buf, std::size_t(n));
  }
  close(fd);
  return got;
}

std::string Body(std::string const& answer) {
  auto const at = answer.find("\r\n\r\n");
  return at == std::string::npos ? "" : answer.substr(at + 4);
}

// The page of a host with two patches: it shows both, and a change made on it reaches
// the patch it names; a request naming another Host is refused.
TEST_F(HostPatches, ThePageShowsEveryPatchAndItsChangesReachThem) {
  int const first = FreePort(), second = FreePort(), web = FreePort();
  CChildProcess* host = Host({"-p", std::to_string(first), "--http", std::to_string(web)});
  ASSERT_TRUE(host->WaitLine(
      Stream::kErr, [](std::string const& l) { return l.find("the page is at") != l.npos; }, kStep))
      << host->Transcript();
  ASSERT_TRUE(host->Send("add " + std::to_string(second)));
  ASSERT_TRUE(Wait(host, Event("status", {{"patch", 2}, {"text", "Port is open."}})));

  std::string const hostHeader = "Host: " + Loopback(web) + "\r\n";
  auto const get = [&](std::string const& path, std::string const& headers) {
    return Http(web, "GET " + path + " HTTP/1.1\r\n" + headers + "Connection: close\r\n\r\n");
  };
  json const state = json::parse(Body(get("/api/state", hostHeader)), nullptr, false);
  ASSERT_TRUE(state.contains("patches")) << state;
  ASSERT_EQ(state["patches"].size(), 2u);
  EXPECT_EQ(state["patches"][0]["settings"][0]["value"], first);
  EXPECT_EQ(state["patches"][1]["settings"][0]["value"], second);
  EXPECT_EQ(get("/api/state", "Host: evil.example:" + std::to_string(web) + "\r\n")
                .rfind("HTTP/1.1 403", 0),
            0u);

  std::string const page = Body(get("/", hostHeader));
  std::string const mark = "name=\"kelmar-token\" content=\"";
  auto const at = page.find(mark);
  ASSERT_NE(at, std::string::npos) << page.substr(0, 300);
  auto const from = at + mark.size();
  std::string const token = page.substr(from, page.find('"', from) - from);
  std::string const body = R"({"patch": 1, "key": "inChannels", "value": 20})";
  std::string const answer =
      Http(web, "POST /api/settings HTTP/1.1\r\n" + hostHeader + "Origin: http://" + Loopback(web) +
                    "\r\nX-Kelmar-Token: " + token +
                    "\r\nContent-Type: application/json\r\nContent-Length: " +
                    std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
  EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;
  ASSERT_TRUE(host->Send("view 2"));
  EXPECT_TRUE(Wait(host, Event("settings", {{"patch", 2}, {"inChannels", 20}})));
  ASSERT_TRUE(host->Send("view 1"));
  EXPECT_TRUE(Wait(host, Event("settings", {{"patch", 1}, {"inChannels", 12}})));
}

}  // namespace
