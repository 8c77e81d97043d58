// Endpoints on real sockets on 127.0.0.1: several in one process, on one thread or on two.
#include "CKelmarNetIO.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "CAsyncWorld_Null.h"
#include "CLoopThread.h"
#include "CRunLoop.h"
#include "CUdpSocket.h"
#include "UEventClock.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::int32_t kLoopback = 0x7F000001;        // 127.0.0.1
constexpr auto kDeadline = std::chrono::seconds(10);  // bounds every wait
constexpr double kPass = 0.005;  // the longest a loop waits between passes: timers fire only then

// Runs the calling thread's loop until `done` holds; false if the deadline passes first.
bool RunUntil(std::function<bool()> const& done) {
  for (const auto end = Clock::now() + kDeadline; !done();) {
    if (Clock::now() > end) return false;
    CRunLoop::Current().RunOnce(kPass);
  }
  return true;
}

// A turn of full length whose slots all hold `level`, start code 0.
struct Levels : CDmxTurn {
  explicit Levels(std::uint8_t level) {
    SetSize(CKelmarNetIO::kTurnSize);
    for (std::uint32_t i = 1; i < size(); ++i) data()[i] = level;
  }
};

bool Holds(CKelmarNetIO const& io, std::uint8_t level) {
  for (std::uint32_t i = 1; i < CKelmarNetIO::kTurnSize; ++i)
    if (io.rxTurn()[i] != level) return false;
  return true;
}

// An endpoint that notes the thread of every event its peer raises: a peer raises a turn's
// arrival from inside the port's completion, so this is the thread the socket is served on.
class CWatchedIO : public CKelmarNetIO {
 public:
  LEvent HandleEvent(LEvent const& e) override {
    if (e.mSource == &peer()) {
      std::lock_guard<std::mutex> hold(mLock);
      mThreads.insert(std::this_thread::get_id());
    }
    return CKelmarNetIO::HandleEvent(e);
  }
  std::set<std::thread::id> threads() const {
    std::lock_guard<std::mutex> hold(mLock);
    return mThreads;
  }

 private:
  mutable std::mutex mLock;
  std::set<std::thread::id> mThreads;
};

// A requesting peer on the test thread's own world that keeps an endpoint fed with turns.
class CFeeder : public LHandler {
 public:
  explicit CFeeder(LAsyncWorld& world) : LHandler(nullptr), mPeer(this, world) {}

  bool Connect(std::uint32_t port) {
    if (!mPeer.Open(0)) return false;
    mPeer.Connect({kLoopback, static_cast<std::int32_t>(port)}, LString());
    return true;
  }
  bool connected() const { return mPeer.state() == CKelmarNetPeer::stConnected; }
  // Handed over every pass, as a host does every frame.
  void Feed(CDmxTurn const& turn) { mPeer.SendTurnA(turn); }

 private:
  CKelmarNetPeer mPeer;
};

// The test thread's world, which the feeders use.
class EndpointSockets : public ::testing::Test {
 protected:
  EndpointSockets() { UEventClock::UseSystem(); }
  CAsyncWorld_Null world;
};

// The parameter: whether the endpoint made first goes first.
class EndpointsOnOneThread : public EndpointSockets, public ::testing::WithParamInterface<bool> {};

// Two endpoints on one thread, each with its world; one is deleted while datagrams for
// both are on their way, and the other must go on receiving. Either may go first.
TEST_P(EndpointsOnOneThread, EitherOfTwoEndpointsOnOneThreadMayGoFirstWhileDatagramsArrive) {
  const bool firstGoesFirst = GetParam();
  auto first = std::make_unique<CKelmarNetIO>();
  auto second = std::make_unique<CKelmarNetIO>();
  ASSERT_TRUE(first->OpenSocket(0) && second->OpenSocket(0));
  CFeeder toFirst(world), toSecond(world);
  ASSERT_TRUE(toFirst.Connect(first->peer().port()) && toSecond.Connect(second->peer().port()));
  ASSERT_TRUE(RunUntil([&] {
    toFirst.Feed(Levels(1));
    toSecond.Feed(Levels(2));
    return Holds(*first, 1) && Holds(*second, 2);
  })) << "both endpoints receive";

  std::unique_ptr<CKelmarNetIO>& leaving = firstGoesFirst ? first : second;
  std::unique_ptr<CKelmarNetIO>& staying = firstGoesFirst ? second : first;
  CFeeder& feeder = firstGoesFirst ? toSecond : toFirst;
  // Datagrams that no endpoint takes for a request: noise that keeps readiness arriving.
  CUdpSocket noise;
  auto const jam = [&](int port) {
    for (int i = 0; i < 8; ++i) noise.SendTo(port, "\x01\x02\x03");
  };
  jam(leaving->peer().port());
  jam(staying->peer().port());
  toFirst.Feed(Levels(3));
  toSecond.Feed(Levels(3));
  CRunLoop::Current().RunOnce(0);  // the feeders send; nothing is waited for
  leaving.reset();
  jam(staying->peer().port());
  EXPECT_TRUE(RunUntil([&] {
    feeder.Feed(Levels(4));
    return Holds(*staying, 4);
  })) << "the endpoint left behind no longer receives";
}

INSTANTIATE_TEST_SUITE_P(Order, EndpointsOnOneThread, ::testing::Bool(), [](auto const& info) {
  return info.param ? "FirstGoesFirst" : "SecondGoesFirst";
});

// An endpoint built, served and destroyed on a thread of its own.
class CEndpointThread : public CLoopThread {
 public:
  CEndpointThread() {
    Run([this] {
      mIO = std::make_unique<CWatchedIO>();
      mPort = mIO->OpenSocket(0) ? mIO->peer().port() : CKelmarNetPeer::kNoPort;
    });
  }
  ~CEndpointThread() {
    Run([this] { mIO.reset(); });
  }

  std::uint32_t port() const { return mPort; }
  std::set<std::thread::id> threads() const { return mIO->threads(); }
  bool opened() const { return mPort != CKelmarNetPeer::kNoPort; }
  // The levels are read on the endpoint's thread.
  bool received(std::uint8_t level) {
    bool holds = false;
    Run([&] { holds = Holds(*mIO, level); });
    return holds;
  }

 private:
  std::unique_ptr<CWatchedIO> mIO;
  std::uint32_t mPort = CKelmarNetPeer::kNoPort;
};

class EndpointsOnTwoThreads : public EndpointSockets {};

TEST_F(EndpointsOnTwoThreads, EachIsServedOnItsOwnThreadAndTheOtherMayGoFirst) {
  auto one = std::make_unique<CEndpointThread>();
  auto two = std::make_unique<CEndpointThread>();
  ASSERT_TRUE(one->opened() && two->opened());
  CFeeder toOne(world), toTwo(world);
  ASSERT_TRUE(toOne.Connect(one->port()) && toTwo.Connect(two->port()));
  ASSERT_TRUE(RunUntil([&] {
    toOne.Feed(Levels(5));
    toTwo.Feed(Levels(6));
    return one->received(5) && two->received(6);
  }));
  EXPECT_EQ(one->threads(), std::set<std::thread::id>{one->id()});
  EXPECT_EQ(two->threads(), std::set<std::thread::id>{two->id()});

  // The thread of the endpoint built first goes; the other is still served, on its own.
  one.reset();
  ASSERT_TRUE(RunUntil([&] {
    toTwo.Feed(Levels(7));
    return two->received(7);
  }));
  EXPECT_EQ(two->threads(), std::set<std::thread::id>{two->id()});
}

}  // namespace
