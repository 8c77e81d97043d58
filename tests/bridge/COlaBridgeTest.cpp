// The OLA bridge against a real olad of the test's own: levels in and out, the refresh
// of unchanged frames, loss modes, and olad absent or restarted.
#include "COlaBridge.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "COlaProbe.h"
#include "COlaTestbed.h"
#include "CRecorder.h"
#include "CRunLoop.h"
#include "CTestLoop.h"

namespace {

using Levels = COlaProbe::Levels;

// Levels that differ from slot to slot and from seed to seed, never all zero.
Levels Ramp(std::size_t count, std::uint8_t seed) {
  Levels l(count);
  for (std::size_t i = 0; i < count; ++i)
    l[i] = static_cast<std::uint8_t>(1 + (seed + 7 * i) % 255);
  return l;
}

// Real time allowed for anything olad or the OLA thread does; far above what it needs.
constexpr double kPatience = 10.0;

class OlaBridge : public ::testing::Test {
 protected:
  struct SGot {
    unsigned universe;
    Levels levels;
  };

  void SetUp() override {
    if (!bed.unavailable().empty()) GTEST_SKIP() << "no private olad here: " << bed.unavailable();
    owner.mOnEvent = [this](LEvent const& e) {
      if (!bridge || e.mSource != bridge.get()) return;
      if (e.is(COlaBridge::rRecv))
        got.push_back({bridge->recvUniverse(),
                       Levels(bridge->recvLevels(), bridge->recvLevels() + bridge->recvCount())});
      if (e.is(COlaBridge::rConn)) conns.push_back(bridge->status());
    };
    bridge = std::make_unique<COlaBridge>(&owner, loop.world(), COlaTestbed::kPort);
    bridge->SetLog([this](int level, std::string const& text) { said.emplace_back(level, text); });
  }

  void StartOlad() { ASSERT_TRUE(bed.StartOlad()) << bed.error(); }

  // Starts olad, then the bridge listening on `universe`, and waits until it is up.
  void StartListening(unsigned universe) {
    StartOlad();
    bridge->Listen(universe);
    ASSERT_TRUE(bridge->Start());
    ASSERT_TRUE(Up());
  }

  // Starts olad, a listener on universe 2, then the bridge, and waits until it is up.
  void StartWithProbe() {
    StartOlad();
    listener = std::make_unique<COlaProbe>(COlaTestbed::kPort);
    ASSERT_TRUE(listener->Listen(2));
    ASSERT_TRUE(bridge->Start());
    ASSERT_TRUE(Up());
  }

  // Runs our loop without moving simulated time until `done` holds; false after kPatience
  // seconds of real time.
  bool Pump(std::function<bool()> const& done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(kPatience);
    for (;;) {
      loop.RunUntilIdle();
      if (done()) return true;
      if (std::chrono::steady_clock::now() > end) return false;
      loop.world().runloop()->RunOnce(0.05);  // returns early when the OLA thread signals
    }
  }

  // Moves simulated time in 100 ms steps, each after the attempt under way has ended,
  // until `done` holds; the simulated time it took, or -1 when `limit` ms went by.
  LTicks StepUntil(std::function<bool()> const& done, LTicks limit) {
    const LTicks start = loop.now();
    for (;;) {
      if (!Pump([&] { return bridge->status() != COlaBridge::stConnecting; })) return -1;
      if (done()) return loop.now() - start;
      if (loop.now() - start >= limit) return -1;
      loop.Advance(100);
    }
  }

  bool Up() {
    return Pump([&] { return bridge->status() == COlaBridge::stUp; });
  }

  bool Got(unsigned universe, Levels const& levels) {
    return Pump([&] {
      return !got.empty() && got.back().universe == universe && got.back().levels == levels;
    });
  }

  int SaidCount(std::string const& part) const {
    int n = 0;
    for (auto const& [level, text] : said)
      if (text.find(part) != std::string::npos) ++n;
    return n;
  }

  // The listener has received exactly `want`, in order (it waits for the last one).
  void ExpectFrames(std::vector<Levels> const& want) {
    EXPECT_TRUE(
        listener->WaitFor([&](auto const& f) { return f.size() >= want.size(); }, kPatience))
        << "only " << listener->frames().size() << " of " << want.size() << " frames arrived";
    EXPECT_EQ(listener->frames(), want);
  }

  COlaTestbed bed;  // first: every thread and process after it lives in its namespace
  std::unique_ptr<COlaProbe> listener;  // on universe 2
  CTestLoop loop;
  CRecorder owner;
  std::vector<SGot> got;
  std::vector<COlaBridge::Status> conns;
  std::vector<std::pair<int, std::string>> said;
  std::unique_ptr<COlaBridge> bridge;  // last: gone before the loop
};

TEST_F(OlaBridge, FramesOfAnOlaClientOnAListenedUniverseArriveWithTheirLevels) {
  ASSERT_NO_FATAL_FAILURE(StartListening(1));
  EXPECT_EQ(conns, std::vector<COlaBridge::Status>{COlaBridge::stUp});

  COlaProbe probe(COlaTestbed::kPort);
  ASSERT_TRUE(probe.Send(1, Ramp(5, 10)));
  ASSERT_TRUE(Got(1, Ramp(5, 10))) << got.size() << " frames received";
  // A full frame, then one on a universe not listened to and a last one on universe 1:
  // olad passes them on in order, so the stray one would have come before the last.
  ASSERT_TRUE(probe.Send(1, Ramp(512, 77)));
  ASSERT_TRUE(Got(1, Ramp(512, 77)));
  ASSERT_TRUE(probe.Send(3, Ramp(8, 3)));
  ASSERT_TRUE(probe.Send(1, Ramp(24, 200)));
  ASSERT_TRUE(Got(1, Ramp(24, 200)));
  for (auto const& g : got) EXPECT_EQ(g.universe, 1u);
}

TEST_F(OlaBridge, SentFramesReachAClientOfTheirUniverseAtOnceWhenChanged) {
  StartOlad();
  listener = std::make_unique<COlaProbe>(COlaTestbed::kPort);
  ASSERT_TRUE(listener->Listen(2));
  const Levels a = Ramp(512, 1), b = Ramp(16, 2);
  ASSERT_TRUE(bridge->Send(2, a.data(), a.size()));  // before the connection: kept
  ASSERT_TRUE(bridge->Start());
  ASSERT_TRUE(Up());
  ASSERT_TRUE(listener->WaitFor([&](auto const& f) { return !f.empty(); }, kPatience))
      << "the frame handed over before the connection went when it came";
  ASSERT_TRUE(bridge->Send(2, a.data(), a.size()));  // unchanged: not sent again now
  ASSERT_TRUE(bridge->Send(2, b.data(), b.size()));  // changed: at once, no time passing
  ExpectFrames({a, b});
  EXPECT_FALSE(bridge->Send(2, a.data(), 513)) << "a frame has at most 512 slots";
}

TEST_F(OlaBridge, AnUnchangedFrameGoesAgainEverySecondAndOnLinkLossItHoldsAndSaysSoOnce) {
  ASSERT_NO_FATAL_FAILURE(StartWithProbe());
  // Each step waits for its frame at the probe before the next is handed over: the OLA
  // thread sends only the latest of frames handed over faster than it takes them.
  const Levels a = Ramp(100, 5), b = Ramp(100, 6);
  bridge->Send(2, a.data(), a.size());
  ExpectFrames({a});
  loop.Advance(999);
  EXPECT_EQ(bridge->sends(), 1u) << "not again before a second has passed";
  loop.Advance(1);
  EXPECT_EQ(bridge->sends(), 2u);
  ExpectFrames({a, a});
  loop.Advance(300);
  bridge->Send(2, b.data(), b.size());  // a change goes at once and restarts the second
  ExpectFrames({a, a, b});
  loop.Advance(999);
  EXPECT_EQ(bridge->sends(), 3u);
  loop.Advance(1);
  ExpectFrames({a, a, b, b});
  loop.Advance(1000);
  ExpectFrames({a, a, b, b, b});
  EXPECT_EQ(bridge->sends(), 5u);

  bridge->SetLossMode(COlaBridge::kHold);
  bridge->LinkLost(2);
  bridge->LinkLost(2);
  EXPECT_EQ(bridge->sends(), 5u) << "holding sends nothing extra";
  loop.Advance(1000);
  ExpectFrames({a, a, b, b, b, b});
  EXPECT_EQ(SaidCount("Kelmar link lost: holding the last levels on OLA universe 2"), 1);
  EXPECT_EQ(said.size(), 2u) << "connected, then the loss";
}

TEST_F(OlaBridge, OnLinkLossInZeroModeItSendsZerosUntilLevelsFlowAgain) {
  ASSERT_NO_FATAL_FAILURE(StartWithProbe());
  const Levels a = Ramp(40, 11), zeros(40, 0);
  bridge->SetLossMode(COlaBridge::kZero);
  bridge->Send(2, a.data(), a.size());
  ExpectFrames({a});
  bridge->LinkLost(2);  // zeros at once, as many slots as the frame had
  ExpectFrames({a, zeros});
  bridge->LinkLost(2);
  EXPECT_EQ(bridge->sends(), 2u);
  loop.Advance(1000);  // and again a second later
  ExpectFrames({a, zeros, zeros});
  bridge->Send(2, a.data(), a.size());  // the same levels as before the loss: a change now
  ExpectFrames({a, zeros, zeros, a});
  EXPECT_EQ(SaidCount("Kelmar link lost: sending zeros on OLA universe 2"), 1);
}

TEST_F(OlaBridge, WithoutOladItSaysSoOnceRetriesEverySecondAndJoinsWhenOladStarts) {
  bridge->Listen(1);
  ASSERT_TRUE(bridge->Start());
  ASSERT_TRUE(Pump([&] { return bridge->status() == COlaBridge::stDown; }));
  ASSERT_EQ(said.size(), 1u);
  EXPECT_EQ(said[0].second,
            "OLA: cannot connect to olad at 127.0.0.1:" + std::to_string(COlaTestbed::kPort) +
                ": Connection refused; retrying every second");
  EXPECT_EQ(conns, std::vector<COlaBridge::Status>{COlaBridge::stDown});

  // Our own timers keep their time meanwhile: the loop never waits on the OLA thread.
  CRecorder mine;
  LAsyncTimer tick(&mine, loop.world());
  tick.Delay(2500);
  EXPECT_EQ(StepUntil([] { return false; }, 3000), -1);
  EXPECT_EQ(mine.count(LAsyncTimer::rExpire, &tick), 1);
  EXPECT_EQ(bridge->retries(), 3u) << "one attempt a second";
  EXPECT_EQ(said.size(), 1u) << "failed retries say nothing more";

  StartOlad();
  const LTicks took = StepUntil([&] { return bridge->status() == COlaBridge::stUp; }, 2000);
  ASSERT_GE(took, 0) << "not connected within 2 s of olad's start";
  EXPECT_LE(took, 1000);
  EXPECT_EQ(said.back().second,
            "OLA: connected to olad at 127.0.0.1:" + std::to_string(COlaTestbed::kPort) + " again");
  EXPECT_EQ(conns, (std::vector<COlaBridge::Status>{COlaBridge::stDown, COlaBridge::stUp}));
  COlaProbe probe(COlaTestbed::kPort);
  ASSERT_TRUE(probe.Send(1, Ramp(10, 4)));
  EXPECT_TRUE(Got(1, Ramp(10, 4))) << "universe 1 was registered on joining";
}

TEST_F(OlaBridge, AfterOladRestartsItRegistersAgainWithinTwoSeconds) {
  ASSERT_NO_FATAL_FAILURE(StartListening(1));
  const Levels out = Ramp(20, 50);
  bridge->Send(2, out.data(), out.size());
  // Once stopped in order, once killed: the second connection reuses descriptor numbers
  // that the first left behind in libola's poller.
  for (int sig : {SIGTERM, SIGKILL}) {
    SCOPED_TRACE(sig == SIGTERM ? "olad stopped" : "olad killed");
    said.clear();
    bed.StopOlad(sig);
    ASSERT_TRUE(Pump([&] { return bridge->status() == COlaBridge::stDown; }));
    ASSERT_EQ(said.size(), 1u);
    EXPECT_EQ(said[0].second, "OLA: olad at 127.0.0.1:" + std::to_string(COlaTestbed::kPort) +
                                  " closed the connection; retrying every second");
    loop.Advance(1000);  // one attempt while olad is away, which fails silently
    ASSERT_TRUE(Pump([&] { return bridge->status() == COlaBridge::stDown; }));
    EXPECT_EQ(said.size(), 1u);

    StartOlad();
    COlaProbe probe(COlaTestbed::kPort);
    ASSERT_TRUE(probe.Listen(2));
    const LTicks took = StepUntil([&] { return bridge->status() == COlaBridge::stUp; }, 2000);
    ASSERT_GE(took, 0) << "not registered again within 2 s";
    const Levels in = Ramp(30, static_cast<std::uint8_t>(sig));
    ASSERT_TRUE(probe.Send(1, in));
    EXPECT_TRUE(Got(1, in)) << "universe 1 registered again";
    EXPECT_TRUE(probe.WaitFor([&](auto const& f) { return !f.empty() && f[0] == out; }, kPatience))
        << "the current frame went to the new olad at once";
  }
}

TEST_F(OlaBridge, DestroyedWhileBusyItLeavesNoWorkBehind) {
  ASSERT_NO_FATAL_FAILURE(StartListening(1));
  COlaProbe probe(COlaTestbed::kPort);
  for (int i = 0; i < 200; ++i) {
    const Levels l = Ramp(512, static_cast<std::uint8_t>(i));
    bridge->Send(2, l.data(), l.size());
    probe.Send(1, l);
  }
  bridge->Listen(3);
  bridge.reset();  // the OLA thread is joined here with work queued and frames arriving
  loop.RunUntilIdle();
  EXPECT_EQ(owner.count(COlaBridge::rRecv), static_cast<int>(got.size()));
}

TEST_F(OlaBridge, NeverStartedItDoesNothingAndLeavesNothingBehind) {
  StartOlad();  // a bridge that connected anyway would say so
  const Levels a = Ramp(8, 1);
  bridge->Listen(1);
  EXPECT_TRUE(bridge->Send(2, a.data(), a.size()));
  EXPECT_EQ(bridge->status(), COlaBridge::stIdle);
  EXPECT_EQ(bridge->sends(), 0u) << "nothing goes out before Start";
  bridge.reset();
  loop.RunUntilIdle();
  EXPECT_TRUE(said.empty());
  EXPECT_TRUE(conns.empty());
}

}  // namespace
