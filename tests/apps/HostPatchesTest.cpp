// kelmar-host with several patches, end to end: each patch with its own port and peer,
// patches added and removed while others run, and the composition file's list form.
#include <sys/socket.h>
#include <sys/time.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "CProgramTest.h"

namespace {

using namespace std::chrono_literals;

class HostPatches : public CProgramTest {
 protected:
  CChildProcess* Host(std::vector<std::string> args) {
    args.insert(args.begin(), "--json");
    return Run(KN_HOST_BIN, args);
  }
  // A peer connecting to `port` and sending `levels`; with ConnectedPeer, once it is
  // connected (which it may show after the first levels it received).
  CChildProcess* Peer(int port, std::string const& levels) {
    return Run(KN_PEER_BIN, {"connect", Loopback(port), "--json", "-d", levels});
  }
  CChildProcess* ConnectedPeer(int port, std::string const& levels) {
    CChildProcess* peer = Peer(port, levels);
    return Wait(peer, Event("state", {{"state", "connected"}})) ? peer : nullptr;
  }
  // Output levels of host patch `patch` from Out1: `levels`, then zeros.
  static Match HostLevels(int patch, std::vector<int> levels) {
    levels.resize(12);
    return Event("levels", {{"patch", patch}, {"first", 1}, {"levels", levels}});
  }
  // The host's answer to `command`: its next message.
  static std::string Answer(CChildProcess* host, std::string const& command) {
    if (!host->Send(command)) return "(not sent)";
    auto const answer = Wait(host, Event("message"));
    return answer ? (*answer)["text"].get<std::string>() : "(no answer)";
  }
};

// Two patches from one file, each on its own port with its own peer; commands with and
// without a patch number; the command line's settings go to the first patch; the list
// (universes included) is saved back in its order.
TEST_F(HostPatches, EachPatchOfTheFileServesItsOwnPeerAndIsSavedBack) {
  int const first = FreePort();
  int const second = FreePort();
  json const list = {
      {"patches",
       {{{"patch", "Kelmar Network"}, {"settings", {{"udpPort", 1024}, {"inChannels", 3}}}},
        {{"patch", "Kelmar Network"},
         {"settings", {{"udpPort", second}, {"outBase", 2}}},
         {"inputs", {{"In1", 1.0}}},
         {"olaIn", 3},
         {"olaOut", 4}}}}};
  std::string const file = Write("show.json", list.dump());
  CChildProcess* host = Host({"-c", file, "-p", std::to_string(first), "-d", "9"});
  ASSERT_TRUE(Wait(host, Event("status", {{"patch", 1}, {"text", "Port is open."}})));
  ASSERT_TRUE(Wait(host, Event("status", {{"patch", 2}, {"text", "Port is open."}})));

  CChildProcess* one = Peer(first, "10,11");
  CChildProcess* two = Peer(second, "20,21");
  EXPECT_TRUE(Wait(one, PeerLevels({9})));
  EXPECT_TRUE(Wait(two, PeerLevels({255})));
  // Each patch shows its own outputs, patch 2 from Out2; the patches' lines interleave.
  bool shown[2] = {false, false};
  EXPECT_TRUE(Wait(host, [&](json const& j) {
    shown[0] |= HostLevels(1, {10, 11})(j);
    shown[1] |= Event("levels", {{"patch", 2}, {"first", 2}})(j);
    return shown[0] && shown[1];
  }));

  // Unnumbered commands are the first patch's; numbered ones reach only their own.
  ASSERT_TRUE(host->Send("in 2 200"));
  EXPECT_TRUE(Wait(one, PeerLevels({9, 200})));
  ASSERT_TRUE(host->Send("in 2 2 99"));
  EXPECT_TRUE(Wait(two, PeerLevels({255, 99})));
  ASSERT_TRUE(host->Send("set 2 In1 0"));
  EXPECT_TRUE(Wait(two, PeerLevels({0, 99})));
  // Each patch's view, with the OLA universes of the one bridged.
  ASSERT_TRUE(host->Send("view 2"));
  EXPECT_TRUE(Wait(
      host,
      Event("settings",
            {{"patch", 2}, {"udpPort", second}, {"outBase", 2}, {"olaIn", 3}, {"olaOut", 4}})));
  ASSERT_TRUE(host->Send("view"));
  auto const view1 =
      Wait(host, Event("settings", {{"patch", 1}, {"udpPort", first}, {"inChannels", 3}}));
  if (view1) {
    EXPECT_FALSE(view1->contains("olaIn") || view1->contains("olaOut")) << *view1;
  }
  EXPECT_EQ(Answer(host, "set 3 inBase 2"), "no patch 3 (patches: 1, 2)");
  for (auto const& line : one->lines(Stream::kOut))
    EXPECT_FALSE(PeerLevels({255, 99})(json::parse(line))) << "patch 2's levels reached peer 1";

  EXPECT_EQ(Answer(host, "save"), "saved " + file);
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
  ASSERT_TRUE(WaitErr(host, "the page is at"));
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
