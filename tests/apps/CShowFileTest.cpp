// Show files: what the writer puts in the file, what the reader accepts and refuses, the
// universe filter, the player's timing, and agreement with OLA's own ola_recorder.
#include "CShowFile.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "CProgramTest.h"

namespace {

std::vector<std::uint8_t> Ramp(unsigned count) {
  std::vector<std::uint8_t> levels(count);
  for (unsigned i = 0; i < count; ++i) levels[i] = static_cast<std::uint8_t>(i * 7);
  return levels;
}

class ShowFiles : public CProgramTest {
 protected:
  std::string PathOf(std::string const& name) { return (Dir() / name).string(); }
};

// --- Writer and reader together ---

TEST_F(ShowFiles, WriterPutsTheHeaderThenFramesWithDelaysBetweenThemClampedToTheFormat) {
  CShowWriter writer;
  std::string error;
  ASSERT_TRUE(writer.Open(PathOf("a.show"), &error)) << error;
  const std::vector<std::uint8_t> first{0, 255, 128}, second{7};
  // The first frame's delay has no line: a file starts with its first frame.
  ASSERT_TRUE(writer.Write(1, first, 999, &error)) << error;
  ASSERT_TRUE(writer.Write(2, second, 25, &error)) << error;
  ASSERT_TRUE(writer.Write(1, first, 0, &error)) << error;
  ASSERT_TRUE(writer.Write(2, second, 4294967296ull * 3, &error)) << error;
  writer.Close();
  EXPECT_EQ(ReadFile(PathOf("a.show")),
            "OLA Show\n1 0,255,128\n25\n2 7\n0\n1 0,255,128\n4294967295\n2 7\n");
}

TEST_F(ShowFiles, RoundTripKeepsUniversesLevelsAndDelays) {
  const std::vector<SShowFrame> frames{
      {1, 0, {0, 255, 128}},      {0, 40, Ramp(512)}, {4294967295u, 0, {255}},
      {1, 4294967295u, Ramp(24)}, {7, 1, {0}},
  };
  CShowWriter writer;
  std::string error;
  ASSERT_TRUE(writer.Open(PathOf("round.show"), &error)) << error;
  for (auto const& f : frames) ASSERT_TRUE(writer.Write(f.universe, f.levels, f.delayMs, &error));
  EXPECT_EQ(writer.frames(), frames.size());
  writer.Close();

  auto show = CShowFile::Load(PathOf("round.show"), &error);
  ASSERT_TRUE(show) << error;
  EXPECT_EQ(show->frames(), frames);
  EXPECT_EQ(show->tailMs(), 0u);
  EXPECT_EQ(show->lengthMs(), 40ull + 4294967295ull + 1ull);
  EXPECT_EQ(show->universes(), (std::vector<std::uint32_t>{0, 1, 7, 4294967295u}));
}

TEST_F(ShowFiles, WriteAtTakesDelaysFromTheClockAndNeverGoesBack) {
  CShowWriter writer;
  std::string error;
  ASSERT_TRUE(writer.Open(PathOf("clock.show"), &error)) << error;
  const std::vector<std::uint8_t> l{1};
  for (std::int64_t now : {100'000, 100'023, 100'023, 100'010, 100'050})
    ASSERT_TRUE(writer.WriteAt(3, l, now, &error)) << error;
  auto show = CShowFile::Load(PathOf("clock.show"), &error);
  ASSERT_TRUE(show) << error;
  std::vector<std::uint64_t> delays;
  for (auto const& f : show->frames()) delays.push_back(f.delayMs);
  // A step back counts as 0 and the next delay runs from the latest time seen.
  EXPECT_EQ(delays, (std::vector<std::uint64_t>{0, 23, 0, 0, 27}));
}

TEST_F(ShowFiles, WriterRefusesFramesOutOfBoundsAndWorkWhenNotOpen) {
  CShowWriter writer;
  std::string error;
  const std::vector<std::uint8_t> one{1};
  EXPECT_FALSE(writer.Write(1, one, 0, &error));
  EXPECT_EQ(error, "no show file is open");

  ASSERT_TRUE(writer.Open(PathOf("b.show"), &error)) << error;
  EXPECT_FALSE(writer.Write(1, {}, 0, &error));
  EXPECT_NE(error.find("1..512 levels, not 0"), std::string::npos) << error;
  EXPECT_FALSE(writer.Write(1, Ramp(513), 0, &error));
  EXPECT_NE(error.find("not 513"), std::string::npos) << error;
  // Refused frames leave nothing behind.
  EXPECT_EQ(ReadFile(PathOf("b.show")), "OLA Show\n");

  EXPECT_FALSE(writer.Open(PathOf("no-such-dir/c.show"), &error));
  EXPECT_EQ(error, PathOf("no-such-dir/c.show") + ": cannot create: No such file or directory");
  EXPECT_FALSE(writer.open());
}

// --- The reader on files it must accept ---

TEST_F(ShowFiles, ReaderAcceptsTailDelayCarriageReturnsAndTrailingBlankLines) {
  std::string error;
  auto show = CShowFile::Parse("OLA Show\r\n1 1,2\r\n5\r\n2 3\r\n70\r\n\r\n\n", "x.show", &error);
  ASSERT_TRUE(show) << error;
  EXPECT_EQ(show->frames(), (std::vector<SShowFrame>{{1, 0, {1, 2}}, {2, 5, {3}}}));
  EXPECT_EQ(show->tailMs(), 70u);
  EXPECT_EQ(show->lengthMs(), 75u);
}

// --- The reader on files it must refuse, each with the file and the line ---

// One row per kind of fault; numbers at their bounds and past them, and with a sign. Cuts
// inside a line are refused by the cut test below.
TEST_F(ShowFiles, ReaderRefusesEachFaultNamingFileAndLine) {
  auto universe = [](std::string t) {
    return "bad universe '" + t + "' (a whole number 0..4294967295)";
  };
  auto level = [](std::string t, int slot) {
    return "bad level '" + t + "' for slot " + std::to_string(slot) + " (levels are 0..255)";
  };
  auto delay = [](std::string t) {
    return "bad delay '" + t + "' (whole milliseconds 0..4294967295)";
  };
  const std::string frame = "expected a frame 'UNIVERSE LEVELS', found ";
  const struct {
    const char* text;
    unsigned line;
    std::string problem;
  } bad[] = {
      {"", 1, "empty file (expected the header 'OLA Show')"},
      {"OLA Show V2\n1 1\n", 1,
       "not a show file: expected the header 'OLA Show', found 'OLA Show V2'"},
      {"OLA Show\n1 2\n5\n3\n", 4, frame + "'3'"},
      {"OLA Show\n25\n1 1\n", 2, frame + "'25'"},
      {"OLA Show\n1 1\n1 2\n", 3, "expected the delay in ms before the next frame, found '1 2'"},
      {"OLA Show\n1 1\n5\n\n1 2\n", 4, "blank line inside the show"},
      {"OLA Show\n-1 1,2\n", 2, universe("-1")},
      {"OLA Show\n1 1\n0\n4294967296 1\n", 4, universe("4294967296")},
      {"OLA Show\n+1 1\n", 2, universe("+1")},
      {"OLA Show\n1 \n", 2, "the frame has no levels"},
      {"OLA Show\n1 0,256\n", 2, level("256", 2)},
      {"OLA Show\n1 -1\n", 2, level("-1", 1)},
      {"OLA Show\n1 1,2,\n", 2, level("", 3)},
      {"OLA Show\n1  1\n", 2, level(" 1", 1)},  // one space only between the parts
      {"OLA Show\n1 1\n-5\n1 2\n", 3, delay("-5")},
      {"OLA Show\n1 1\n25ms\n1 2\n", 3, delay("25ms")},
      {"OLA Show\n1 1\n4294967296\n1 2\n", 3, delay("4294967296")},
  };
  for (auto const& b : bad) {
    const std::string path = Write("bad.show", b.text);
    std::string error;
    EXPECT_FALSE(CShowFile::Load(path, &error)) << b.text;
    EXPECT_EQ(error, path + ":" + std::to_string(b.line) + ": " + b.problem);
  }
}

// A recording stopped at any moment must load: nothing waits in a buffer of ours. Cut
// anywhere, a file either ends at a line's end and loads as the frames before the cut, or is
// refused at its last line.
TEST_F(ShowFiles, OpenFileLoadsAfterEachFrameAndEveryCutLoadsItsFirstFramesOrIsRefusedAtIt) {
  CShowWriter writer;
  std::string error;
  ASSERT_TRUE(writer.Open(PathOf("cut.show"), &error)) << error;
  const std::vector<SShowFrame> frames{
      {1, 0, {0, 255, 128}}, {2, 125, {10, 20}}, {1, 0, {7}}, {1, 3000, Ramp(40)}};
  for (std::size_t i = 0; i <= frames.size(); ++i) {
    auto show = CShowFile::Load(PathOf("cut.show"), &error);
    ASSERT_TRUE(show) << "after frame " << i << ": " << error;
    EXPECT_EQ(show->frames(), std::vector<SShowFrame>(frames.begin(), frames.begin() + i));
    if (i < frames.size()) {
      ASSERT_TRUE(writer.Write(frames[i].universe, frames[i].levels, frames[i].delayMs, &error));
    }
  }
  writer.Close();
  const std::string text = ReadFile(PathOf("cut.show"));

  for (std::size_t size = 1; size < text.size(); ++size) {
    const std::string_view cut(text.data(), size);
    const auto lines = static_cast<unsigned>(std::count(cut.begin(), cut.end(), '\n'));
    auto show = CShowFile::Parse(cut, "cut.show", &error);
    if (cut.back() != '\n') {
      EXPECT_FALSE(show) << "cut at " << size;
      EXPECT_EQ(error, "cut.show:" + std::to_string(lines + 1) +
                           ": the last line has no end (the file is cut short)");
      continue;
    }
    ASSERT_TRUE(show) << "cut at " << size << ": " << error;
    const std::size_t kept = lines / 2;  // the header, then a frame every second line
    EXPECT_EQ(show->frames(), std::vector<SShowFrame>(frames.begin(), frames.begin() + kept));
    // Cut after a delay line: that delay is the tail.
    EXPECT_EQ(show->tailMs(), lines % 2 ? frames[kept].delayMs : 0) << "cut at " << size;
  }
}

TEST_F(ShowFiles, ReaderRefusesTooManyLevelsQuotesLongTextShortAndNamesUnreadableFiles) {
  std::string text = "OLA Show\n1 0";
  for (int i = 0; i < 512; ++i) text += ",1";
  std::string error;
  EXPECT_FALSE(CShowFile::Parse(text + "\n", "big.show", &error));
  EXPECT_EQ(error, "big.show:2: more than 512 levels");

  EXPECT_FALSE(
      CShowFile::Parse("OLA Show\n1 1\n" + std::string(100, '9') + "\n", "d.show", &error));
  EXPECT_EQ(error, "d.show:3: bad delay '" + std::string(40, '9') +
                       "...' (whole milliseconds 0..4294967295)");
  EXPECT_FALSE(CShowFile::Load(PathOf("missing.show"), &error));
  EXPECT_EQ(error, PathOf("missing.show") + ": cannot open: No such file or directory");
  EXPECT_FALSE(CShowFile::Load(Dir().string(), &error));
  EXPECT_EQ(error, Dir().string() + ": cannot read: Is a directory");
}

// --- Choosing a universe ---

TEST_F(ShowFiles, UniverseFilterKeepsTheTimingOfTheWholeShow) {
  std::string error;
  // Universe 1 at 0, 10, 60 ms; universe 2 at 5, 30 ms; the show ends at 100 ms.
  auto show = CShowFile::Parse("OLA Show\n1 1\n5\n2 2\n5\n1 3\n20\n2 4\n30\n1 5\n40\n",
                               "multi.show", &error);
  ASSERT_TRUE(show) << error;
  ASSERT_EQ(show->lengthMs(), 100u);

  const CShowFile one = show->OnlyUniverse(1);
  EXPECT_EQ(one.frames(), (std::vector<SShowFrame>{{1, 0, {1}}, {1, 10, {3}}, {1, 50, {5}}}));
  EXPECT_EQ(one.tailMs(), 40u);
  const CShowFile two = show->OnlyUniverse(2);
  EXPECT_EQ(two.frames(), (std::vector<SShowFrame>{{2, 5, {2}}, {2, 25, {4}}}));
  EXPECT_EQ(two.tailMs(), 70u);
  EXPECT_EQ(one.lengthMs(), 100u);
  EXPECT_EQ(two.lengthMs(), 100u);
  EXPECT_TRUE(show->OnlyUniverse(3).frames().empty());
}

TEST_F(ShowFiles, PlayingNeedsOneUniverseChosenOrAlone) {
  std::string error;
  auto multi = CShowFile::Parse("OLA Show\n1 1\n5\n2 2\n5\n1 3\n", "multi.show", &error);
  ASSERT_TRUE(multi) << error;
  EXPECT_FALSE(multi->ForPlaying(std::nullopt, &error));
  EXPECT_EQ(error, "multi.show: the show holds universes 1, 2; choose one");
  EXPECT_FALSE(multi->ForPlaying(9, &error));
  EXPECT_EQ(error, "multi.show: no frames for universe 9 (the show holds universes 1, 2)");
  auto two = multi->ForPlaying(2, &error);
  ASSERT_TRUE(two) << error;
  EXPECT_EQ(two->frames(), (std::vector<SShowFrame>{{2, 5, {2}}}));

  auto single = CShowFile::Parse("OLA Show\n4 1\n5\n4 2\n", "single.show", &error);
  ASSERT_TRUE(single) << error;
  auto alone = single->ForPlaying(std::nullopt, &error);
  ASSERT_TRUE(alone) << error;
  EXPECT_EQ(alone->frames().size(), 2u);
  EXPECT_FALSE(single->ForPlaying(5, &error));
  EXPECT_EQ(error, "single.show: no frames for universe 5 (the show holds universe 4)");

  auto none = CShowFile::Parse("OLA Show\n", "none.show", &error);
  ASSERT_TRUE(none) << error;
  EXPECT_FALSE(none->ForPlaying(std::nullopt, &error));
  EXPECT_EQ(error, "none.show: the show has no frames");
}

// --- The player ---

CShowFile MustParse(std::string const& text) {
  std::string error;
  auto show = CShowFile::Parse(text, "p.show", &error);
  EXPECT_TRUE(show) << error;
  return show.value_or(CShowFile());
}

std::uint8_t LevelOf(SShowFrame const* frame) {
  return frame ? frame->levels.at(0) : 0;
}

TEST(ShowPlayer, FramesFallDueAtTheirDelaysFromTheStart) {
  // Frames 1, 2, 3 at 0, 10, 30 ms after a start at 5000.
  CShowPlayer player(MustParse("OLA Show\n1 1\n10\n1 2\n20\n1 3\n"), false);
  EXPECT_EQ(player.Poll(5000), nullptr);  // not started
  EXPECT_EQ(player.remain(5000), -1);
  player.Start(5000);
  EXPECT_EQ(player.remain(5000), 0);
  EXPECT_EQ(LevelOf(player.Poll(5000)), 1);
  EXPECT_EQ(player.Poll(5000), nullptr);  // each frame once
  EXPECT_EQ(player.remain(5000), 10);
  EXPECT_EQ(player.Poll(5009), nullptr);
  EXPECT_EQ(player.remain(5009), 1);
  EXPECT_EQ(LevelOf(player.Poll(5010)), 2);
  // Asked late, the next due time still counts from the schedule, not from the ask.
  EXPECT_EQ(player.remain(5013), 17);
  EXPECT_FALSE(player.over());
  EXPECT_EQ(LevelOf(player.Poll(5031)), 3);
  EXPECT_TRUE(player.over());
  EXPECT_EQ(player.remain(5031), -1);
  EXPECT_EQ(player.Poll(9999), nullptr);
  EXPECT_EQ(player.skipped(), 0u);
}

TEST(ShowPlayer, ALateCallerGetsTheNewestDueFrameAndTheOthersCountAsSkipped) {
  CShowPlayer player(MustParse("OLA Show\n1 1\n10\n1 2\n10\n1 3\n10\n1 4\n"), false);
  player.Start(-20);  // any clock, negative times too
  EXPECT_EQ(LevelOf(player.Poll(1)), 3);
  EXPECT_EQ(player.skipped(), 2u);
  EXPECT_EQ(player.remain(1), 9);
  EXPECT_EQ(LevelOf(player.Poll(10)), 4);
  EXPECT_TRUE(player.over());
}

TEST(ShowPlayer, ALoopStartsAgainAfterTheTailAndKeepsItsRhythm) {
  // A pass lasts 100 ms: frames at 0, 5 and 30, then 70 ms of tail.
  CShowPlayer player(MustParse("OLA Show\n1 0\n5\n1 1\n25\n1 2\n70\n"), true);
  player.Start(1000);
  std::vector<std::pair<std::int64_t, int>> seen;  // (time, level)
  for (std::int64_t t = 1000; t < 1350; ++t)
    if (auto const* frame = player.Poll(t)) seen.emplace_back(t, frame->levels.at(0));
  const std::vector<std::pair<std::int64_t, int>> expected{
      {1000, 0}, {1005, 1}, {1030, 2}, {1100, 0}, {1105, 1}, {1130, 2},
      {1200, 0}, {1205, 1}, {1230, 2}, {1300, 0}, {1305, 1}, {1330, 2}};
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(player.loops(), 4u);  // the fourth pass has ended too
  EXPECT_FALSE(player.over());
  EXPECT_EQ(player.skipped(), 0u);
}

TEST(ShowPlayer, AFilteredLoopKeepsTheWholeShowsPeriod) {
  // Universe 1 has frames at 5 and 30 ms of a 100 ms show; played alone it repeats at 100.
  auto show = MustParse("OLA Show\n2 0\n5\n1 1\n25\n1 2\n70\n").OnlyUniverse(1);
  CShowPlayer player(show, true);
  player.Start(0);
  EXPECT_EQ(player.remain(0), 5);
  EXPECT_EQ(LevelOf(player.Poll(5)), 1);
  EXPECT_EQ(LevelOf(player.Poll(30)), 2);
  EXPECT_EQ(player.remain(30), 75);  // 70 of tail, then the first frame's 5
  EXPECT_EQ(LevelOf(player.Poll(105)), 1);
}

TEST(ShowPlayer, FarBehindALoopJumpsWholePassesAndLandsOnTheRightFrame) {
  CShowPlayer player(MustParse("OLA Show\n1 1\n10\n1 2\n10\n1 3\n10\n"), true);  // 30 ms a pass
  player.Start(0);
  EXPECT_EQ(LevelOf(player.Poll(0)), 1);
  // 3,000,000 passes later plus 12 ms: frame 2 is the newest due.
  EXPECT_EQ(LevelOf(player.Poll(90'000'012)), 2);
  EXPECT_EQ(player.loops(), 3'000'000u);
  EXPECT_EQ(player.skipped(), 3u * 3'000'000u);  // every frame due since, but the two given
  EXPECT_EQ(player.remain(90'000'012), 8);
}

TEST(ShowPlayer, ALoopWithNoTimeInItRepeatsOncePerMillisecondAndAnEmptyOneIsOverAtOnce) {
  CShowPlayer player(MustParse("OLA Show\n1 1\n0\n1 2\n"), true);
  player.Start(50);
  EXPECT_EQ(LevelOf(player.Poll(50)), 2);
  EXPECT_EQ(player.skipped(), 1u);
  EXPECT_EQ(player.remain(50), 1);
  EXPECT_EQ(LevelOf(player.Poll(51)), 2);
  EXPECT_EQ(player.loops(), 2u);

  CShowPlayer empty(MustParse("OLA Show\n"), true);
  empty.Start(0);
  EXPECT_TRUE(empty.over());
  EXPECT_EQ(empty.Poll(100), nullptr);
  EXPECT_EQ(empty.remain(100), -1);
}

// --- OLA's own tool and files ---

// A show as ola_recorder 0.10.9 recorded it from olad (see data/README).
TEST(OlaShowFiles, ReadsAShowRecordedByOlaRecorder) {
  std::string error;
  auto show = CShowFile::Load(KN_SHOW_DATA "/recorded.show", &error);
  ASSERT_TRUE(show) << error;
  ASSERT_EQ(show->frames().size(), 5u);
  EXPECT_EQ(show->frames()[0], (SShowFrame{1, 0, {0, 255, 128}}));
  EXPECT_EQ(show->frames()[1], (SShowFrame{1, 0, {1, 2, 3}}));
  EXPECT_EQ(show->frames()[2], (SShowFrame{2, 83, {10, 20}}));
  EXPECT_EQ(show->frames()[3], (SShowFrame{1, 255, {255, 0, 7, 8, 9, 10}}));
  EXPECT_EQ(show->frames()[4].universe, 2u);
  EXPECT_EQ(show->frames()[4].delayMs, 705u);
  std::vector<std::uint8_t> all(512);
  for (unsigned i = 0; i < 512; ++i) all[i] = static_cast<std::uint8_t>(i % 256);
  EXPECT_EQ(show->frames()[4].levels, all);
  EXPECT_EQ(show->tailMs(), 0u);
  EXPECT_EQ(show->universes(), (std::vector<std::uint32_t>{1, 2}));
}

TEST_F(ShowFiles, OlaRecorderVerifiesOurFileFrameForFrame) {
  constexpr char kTool[] = "/usr/bin/ola_recorder";
  if (access(kTool, X_OK) != 0) GTEST_SKIP() << "ola_recorder is not installed (package ola)";
  // ola_recorder's exit status on `file`, -1 when it did not run.
  auto verify = [&](std::string const& file, CChildProcess& child) {
    std::string error;
    if (!child.Start({kTool, "--verify", file}, &error)) {
      ADD_FAILURE() << error;
      return -1;
    }
    return child.WaitExit(std::chrono::seconds(30)).value_or(-1);
  };
  CShowWriter writer;
  std::string error;
  ASSERT_TRUE(writer.Open(PathOf("ours.show"), &error)) << error;
  for (unsigned i = 0; i < 30; ++i)
    ASSERT_TRUE(writer.Write(i % 3 == 0 ? 2 : 1, Ramp(1 + i * 17), 23, &error)) << error;
  writer.Close();
  CChildProcess ours, bad;
  EXPECT_EQ(verify(PathOf("ours.show"), ours), 0) << ours.Transcript();
  auto const& out = ours.lines(CChildProcess::Stream::kOut);
  for (char const* line : {"Universe 1: 20 frames", "Universe 2: 10 frames", "Total frames: 30"})
    EXPECT_NE(std::find(out.begin(), out.end(), line), out.end()) << line << ours.Transcript();

  // The same check fails on a file that is not sound, so its pass above means something.
  EXPECT_NE(verify(Write("bad.show", "OLA Show\n1 1\n2x\n1 2\n"), bad), 0) << bad.Transcript();
}

}  // namespace
