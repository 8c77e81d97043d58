// kelmar-peer's --record and --play end to end: processes over loopback UDP, show files
// on disk. (That OLA's ola_recorder reads our files: CShowFileTest.)
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "CProgramTest.h"
#include "CShowFile.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// How far a replayed frame may be from its time in the show. The player sends a frame
// at its due time, and at the latest with the next frame tick (1/44 s at the default
// rate); the recorder stamps it when it arrives, to the millisecond. Beyond that, both
// processes may wait for a processor on a busy machine: the slack covers that. The
// shows below space their frames 100 ms or more apart, so a frame sent a frame early or
// late, or all frames at once, still falls outside.
constexpr std::int64_t kFramePeriodMs = 23;  // 1000 / 44, rounded up
constexpr std::int64_t kSlackMs = 60;
constexpr std::int64_t kToleranceMs = kFramePeriodMs + kSlackMs;

// The frames' times from the first frame on.
std::vector<std::int64_t> Times(CShowFile const& show) {
  std::vector<std::int64_t> times;
  std::int64_t t = 0;
  for (auto const& frame : show.frames()) {
    t += times.empty() ? 0 : static_cast<std::int64_t>(frame.delayMs);
    times.push_back(t);
  }
  return times;
}

// The same levels in the same order, each frame within the tolerance of its time.
void ExpectSameShow(CShowFile const& got, CShowFile const& want, std::uint32_t universe) {
  ASSERT_EQ(got.frames().size(), want.frames().size()) << got.name() << " vs " << want.name();
  auto const gotTimes = Times(got);
  auto const wantTimes = Times(want);
  for (std::size_t i = 0; i < want.frames().size(); ++i) {
    SCOPED_TRACE("frame " + std::to_string(i + 1) + " of " + got.name());
    EXPECT_EQ(got.frames()[i].universe, universe);
    EXPECT_EQ(got.frames()[i].levels, want.frames()[i].levels);
    EXPECT_NEAR(gotTimes[i], wantTimes[i], kToleranceMs);
  }
}

class ShowEndToEnd : public CProgramTest {
 protected:
  CChildProcess* Peer(std::vector<std::string> args) { return Run(KN_PEER_BIN, std::move(args)); }
  // A listening peer recording to `file`, once it listens.
  CChildProcess* Recorder(int port, std::string const& file, std::vector<std::string> args = {}) {
    args.insert(args.begin(), {"listen", "--json", "-p", std::to_string(port), "--record", file});
    CChildProcess* peer = Peer(args);
    return Wait(peer, Event("listening")) ? peer : nullptr;
  }

  static auto Levels(std::vector<std::uint8_t> const& levels) {
    return Event("levels", {{"start", 0}, {"levels", levels}});
  }

  // Plays `show` from a connecting peer into a recorder writing `out`, until the
  // recorder has shown `last`; both end there.
  void PlayInto(std::string const& show, std::string const& out,
                std::vector<std::uint8_t> const& last, std::vector<std::string> playArgs = {},
                std::vector<std::string> recordArgs = {}) {
    int const port = FreePort();
    CChildProcess* recorder = Recorder(port, out, recordArgs);
    ASSERT_TRUE(recorder);
    playArgs.insert(playArgs.begin(), {"connect", Loopback(port), "--json", "--play", show});
    CChildProcess* player = Peer(playArgs);
    EXPECT_TRUE(Wait(player, Event("show-start", {{"file", show}})));
    EXPECT_TRUE(Wait(recorder, Levels(last)));
    EXPECT_EQ(player->Terminate(kStep), 0) << player->Transcript();
    EXPECT_EQ(recorder->Terminate(kStep), 0) << recorder->Transcript();
  }

  static CShowFile Load(std::string const& path) {
    std::string error;
    auto show = CShowFile::Load(path, &error);
    EXPECT_TRUE(show) << error;
    return show ? *show : *CShowFile::Parse("OLA Show\n", path, &error);
  }
};

// A show of frames of 1 to 512 levels, 100 to 500 ms apart.
std::string SourceShow() {
  std::string full;
  for (int i = 0; i < 512; ++i) full += (i ? "," : "") + std::to_string((i * 7) % 256);
  return "OLA Show\n1 10,20,30\n250\n1 40\n150\n1 " + full + "\n500\n1 0,0,0,9\n100\n1 255,1\n";
}

TEST_F(ShowEndToEnd, PlayedShowIsRecordedWithItsTimingAndItsRecordingPlaysBackTheSame) {
  std::string const source = Write("source.show", SourceShow());
  std::string const first = (Dir() / "first.show").string();
  std::string const second = (Dir() / "second.show").string();
  PlayInto(source, first, {255, 1});
  CShowFile const want = Load(source);
  CShowFile const got = Load(first);
  ExpectSameShow(got, want, kShowDefaultUniverse);
  // The recording is a show like any other: played back, it records the same again.
  PlayInto(first, second, {255, 1});
  ExpectSameShow(Load(second), got, kShowDefaultUniverse);
}

TEST_F(ShowEndToEnd, ShowRecordedByOlaRecorderPlaysThroughOneUniverseAtATime) {
  std::string const ola = KN_SHOW_DATA "/recorded.show";
  std::vector<std::uint8_t> ramp(512);
  for (unsigned i = 0; i < 512; ++i) ramp[i] = static_cast<std::uint8_t>(i);
  std::string const two = (Dir() / "two.show").string();
  PlayInto(ola, two, ramp, {"--play-universe", "2"}, {"--record-universe", "2"});
  std::string error;
  auto const want = Load(ola).ForPlaying(2u, &error);
  ASSERT_TRUE(want) << error;
  ExpectSameShow(Load(two), *want, 2);

  // Universe 1 starts with two frames at one instant: only the later one is sent.
  std::string const one = (Dir() / "one.show").string();
  PlayInto(ola, one, {255, 0, 7, 8, 9, 10}, {"--play-universe", "1"});
  CShowFile const got = Load(one);
  ASSERT_EQ(got.frames().size(), 2u);
  EXPECT_EQ(got.frames()[0].levels, (std::vector<std::uint8_t>{1, 2, 3}));
  EXPECT_NEAR(static_cast<std::int64_t>(got.frames()[1].delayMs), 83 + 255, kToleranceMs);
}

TEST_F(ShowEndToEnd, LoopingShowStartsAgainAndAKilledRecorderLeavesAFileThatLoads) {
  std::string const show = Write("loop.show", "OLA Show\n1 10\n100\n1 20\n100\n");
  std::string const out = (Dir() / "loop-out.show").string();
  int const port = FreePort();
  CChildProcess* recorder = Recorder(port, out, {"--record-universe", "7"});
  ASSERT_TRUE(recorder);
  Peer({"connect", Loopback(port), "--play", show, "--loop"});
  for (std::uint8_t level : {10, 20, 10, 20, 10}) ASSERT_TRUE(Wait(recorder, Levels({level})));
  Kill(recorder);
  CShowFile const got = Load(out);
  ASSERT_GE(got.frames().size(), 5u);
  for (std::size_t i = 0; i < got.frames().size(); ++i) {
    EXPECT_EQ(got.frames()[i].universe, 7u);
    EXPECT_EQ(got.frames()[i].levels,
              (std::vector<std::uint8_t>{static_cast<std::uint8_t>(i % 2 ? 20 : 10)}));
    if (i) {
      EXPECT_NEAR(static_cast<std::int64_t>(got.frames()[i].delayMs), 100, kToleranceMs);
    }
  }
}

// A show that cannot be played, or a recording that cannot be made, ends the peer before
// it sends anything: the partner it was to connect to never hears of it.
TEST_F(ShowEndToEnd, BadShowsAndUncreatableRecordingsEndThePeerBeforeItSends) {
  std::string const good = Write("good.show", "OLA Show\n1 1\n");
  std::string const spared = (Dir() / "spared.show").string();
  struct SCase {
    std::vector<std::string> args;
    int status;
    std::string says;
  };
  std::string const missing = (Dir() / "missing.show").string();
  std::string const corrupt = Write("corrupt.show", "OLA Show\n1 1,2\n25\n1 3,x\n");
  std::string const empty = Write("empty.show", "OLA Show\n");
  std::string const nowhere = (Dir() / "no-such-folder" / "out.show").string();
  std::vector<SCase> const cases = {
      {{"--play", missing}, 65, missing + ": cannot open"},
      {{"--play", corrupt, "--record", spared}, 65, corrupt + ":4: bad level 'x'"},
      {{"--play", empty}, 65, empty + ": the show has no frames"},
      {{"--play", good, "--record", nowhere}, 73, nowhere + ": cannot create"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.says);
    CUdpSocket const partner;
    std::vector<std::string> args = {"connect", Loopback(partner.port)};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ExpectRefused(Peer(args), c.status, "kelmar-peer", c.says);
    EXPECT_EQ(partner.Receive(0), "<nothing>") << "a datagram was sent";
  }
  EXPECT_FALSE(fs::exists(spared)) << "a recording was begun for a show that cannot play";
}

TEST_F(ShowEndToEnd, BadUniversesAndMixedSourcesAreUsageErrors) {
  std::string const good = Write("good.show", "OLA Show\n1 1\n");
  std::string const ola = KN_SHOW_DATA "/recorded.show";
  std::vector<std::vector<std::string>> const cases = {
      {"--record", "r.show", "--record-universe", "-1"},
      {"--record", "r.show", "--record-universe", "4294967296"},
      {"--record-universe", "2"},
      {"--play", good, "--play-universe", "4294967296"},
      {"--play-universe", "1"},
      {"--loop"},
      {"--play", good, "-d", "1,2"},
      {"--play", good, "--pattern", "ramp"},
      {"--play", ola},                          // two universes, none chosen
      {"--play", ola, "--play-universe", "9"},  // not in the show
  };
  for (auto const& c : cases) {
    std::vector<std::string> args = {"listen", "-p", "0"};
    args.insert(args.end(), c.begin(), c.end());
    std::string words;
    for (auto const& a : c) words += a + " ";
    SCOPED_TRACE(words);
    ExpectRefused(Peer(args), 64, "kelmar-peer");
  }
  EXPECT_FALSE(fs::exists("r.show"));
}

}  // namespace
