// End-to-end turn latency and throughput between two peer processes on 127.0.0.1,
// each beside a raw UDP baseline measured between the same two processes.
//
// The program starts itself as side A (pinned to one CPU, or free), and A starts side B
// (which inherits A's CPU set). Each side is a real endpoint: a socket port, the I/O signal
// thread and a run-loop world with a 100 Hz frame timer. A connects to B.
//
// Latency: A hands over a changed turn whose slots 1-4 carry a sequence number and slots
// 5-12 the CLOCK_MONOTONIC time of the hand-over; B's receive event hands the turn back
// to its own peer; A's receive event ends the round trip and hands over the next turn, so
// one turn is in flight at a time. Raw baseline: a blocking sendto/recvfrom ping-pong of a
// datagram of the same size between the main threads of the same two processes. Within
// each round, raw and peer exchanges alternate in blocks of 250.
//
// Throughput: A hands over a new changed turn on every pass of its run loop (the loop
// spins without waiting); each pass first delivers the previous send's "CUDPPort_Sent",
// so every hand-over finds the port free and goes out at once. B counts what arrives.
// Raw baseline: a tight blocking sendto loop of the same datagram to a plain socket of B.
//
// Usage: e2e_bench [--pinned|--unpinned] [--cpu N] [--rounds R] [--turns T] [--seconds S]
//                  [--no-throughput]
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "CAppLoop.h"
#include "CAsyncWorld_Null.h"
#include "CBenchArgs.h"
#include "CBenchProc.h"
#include "CBenchStats.h"
#include "CBenchTurns.h"
#include "CBenchUdp.h"
#include "CKelmarNetPeer.h"
#include "CRunLoop.h"

namespace {

using namespace bench;

constexpr double kFps = 100;                        // frame timer of each side
constexpr std::int64_t kLostAfterNs = 200'000'000;  // no echo within: counted lost
constexpr int kWarmup = 200;
// Raw and peer exchanges alternate in blocks this long, so that both meet the same
// placement of the two processes on the CPUs when they are free to move.
constexpr int kBlock = 250;

struct SOptions {
  explicit SOptions(CBenchArgs const& args)
      : rounds(args.Int("--rounds", 5)),
        turns(args.Int("--turns", 2000)),
        seconds(args.Real("--seconds", 3)),
        cpu(args.Int("--cpu", 0)),
        throughput(!args.Has("--no-throughput")) {
    if (args.Has("--pinned") || args.Has("--unpinned")) {
      pinned = args.Has("--pinned");
      unpinned = args.Has("--unpinned");
    }
  }
  bool valid() const { return rounds >= 1 && turns >= 10 && seconds > 0 && seconds <= 60; }

  int rounds;
  int turns;
  double seconds;
  int cpu;
  bool throughput;
  bool pinned = true;
  bool unpinned = true;
};

// Runs the calling thread's loop until `done` or `timeout` seconds; true if done.
bool Pump(CRunLoop& loop, std::function<bool()> const& done, double timeout) {
  const double end = MonoSec() + timeout;
  while (!done()) {
    if (MonoSec() >= end) return false;
    loop.RunOnce(0.01);
  }
  return true;
}

// ---- side B ---------------------------------------------------------------------

// B: a listening peer that echoes (or counts) turns, and a plain socket for the raw
// baselines. Commands arrive from A on the line channel and are read every frame.
class CSideB : public LHandler {
 public:
  explicit CSideB(int ctlFd) : LHandler(nullptr), mCtl(ctlFd), mPeer(this, mWorld) {
    mPeer.SetListen(true);
  }

  int Run() {
    if (!mPeer.Open(0)) return mCtl.Send("error B: peer Open failed"), 1;
    if (!mRaw.Open()) return mCtl.Send("error B: raw socket"), 1;
    mCtl.Send(Line("ready", mPeer.port(), mRaw.port()));
    CRunLoop& loop = CRunLoop::Current();
    CFrameTimer frames(kFps, [&] { Frame(loop); });
    frames.Start();
    loop.Run();
    mPeer.Disconnect(CKelmarNetPeer::stIdle);
    return 0;
  }

  LEvent HandleEvent(LEvent const& e) override {
    if (e.is(CKelmarNetPeer::rConn, &mPeer)) return mPeer.Accept(true), LEvent();
    if (e.is(CKelmarNetPeer::rRecv, &mPeer)) return Received(), LEvent();
    if (e.is(CKelmarNetPeer::rStat, &mPeer) || e.is(CKelmarNetPeer::rBcon, &mPeer)) return LEvent();
    return LHandler::HandleEvent(e);
  }

 private:
  void Received() {
    const unsigned n = mPeer.recvSize();
    SStamp stamp;
    if (!stamp.Get(mPeer.recvTurn(), n, kStampSlot)) return;
    const std::int64_t now = MonoNs();
    if (mCount == 0) mFirstNs = now;
    mLastNs = now;
    ++mCount;
    if (mExpect != 0 && stamp.seq > mExpect) mGaps += stamp.seq - mExpect;
    if (stamp.seq >= mExpect) mExpect = stamp.seq + 1;
    if (!mEcho) return;
    mEchoTurn.SetSize(n);
    std::memcpy(mEchoTurn.data(), mPeer.recvTurn(), n);
    mPeer.SendTurnA(mEchoTurn);
  }

  void Frame(CRunLoop& loop) {
    std::string line;
    while (mCtl.TryRecv(line)) Command(loop, CFields(line));
    if (mCtl.gone()) loop.Stop();
  }

  void Command(CRunLoop& loop, CFields const& w) {
    if (w.is("quit")) {
      loop.Stop();
    } else if (w.is("echo") || w.is("count")) {
      mEcho = w.is("echo");
      mCount = mGaps = 0;
      mExpect = 0;
      mSwitches = ContextSwitches();
      mDrops = SocketDrops(mPeer.port());
      mCtl.Send("ok");
    } else if (w.is("stats")) {
      mCtl.Send(Line("stats", mCount, mGaps, mFirstNs, mLastNs, ContextSwitches() - mSwitches,
                     SocketDrops(mPeer.port()) - mDrops));
    } else if (w.is("raw", 2)) {
      RawEcho(static_cast<int>(w.integer(1)));
    } else if (w.is("rawsink")) {
      RawSink();
    }
  }

  // Echoes up to n datagrams on the plain socket, blocking; the loop waits meanwhile.
  void RawEcho(int n) {
    mRaw.SetRecvTimeout(0.5);
    const long switches = ContextSwitches();
    mCtl.Send("ok");
    unsigned char buf[2048];
    int echoed = 0;
    for (; echoed < n; ++echoed) {
      sockaddr_in from{};
      const ssize_t got = mRaw.Recv(buf, sizeof buf, &from);
      if (got < 0) break;  // nothing for 0.5 s: the round is over
      mRaw.SendTo(from, buf, static_cast<std::size_t>(got));
    }
    mCtl.Send(Line("rawdone", echoed, ContextSwitches() - switches));
  }

  // Counts datagrams on the plain socket until 0.3 s pass without one.
  void RawSink() {
    mRaw.SetRecvTimeout(2.0);
    const long drops = mRaw.drops();
    mCtl.Send("ok");
    unsigned char buf[2048];
    long count = 0;
    std::int64_t first = 0, last = 0;
    while (mRaw.Recv(buf, sizeof buf) >= 0) {
      last = MonoNs();
      if (count++ == 0) {
        first = last;
        mRaw.SetRecvTimeout(0.3);
      }
    }
    mCtl.Send(Line("rawsink", count, first, last, mRaw.drops() - drops));
  }

  CLineChannel mCtl;
  CAsyncWorld_Null mWorld;
  CKelmarNetPeer mPeer;
  CDmxTurn mEchoTurn;
  CBenchUdp mRaw;
  bool mEcho = true;
  long mCount = 0;
  long mGaps = 0;
  std::uint32_t mExpect = 0;
  std::int64_t mFirstNs = 0;
  std::int64_t mLastNs = 0;
  long mSwitches = 0;
  long mDrops = 0;
};

// ---- side A ---------------------------------------------------------------------

// Round trips of one path.
struct SLatency {
  CBenchStats us;  // round trips, microseconds
  CBenchStats roundMedians;
  CBenchStats roundP99s;
  long lost = 0;      // no echo in time
  long late = 0;      // echoes that came after their turn was counted lost
  long switches = 0;  // context switches of both processes during the rounds
  long exchanges = 0;

  void Print(char const* path, SLatency const& raw) const {
    std::printf("  %-22s %9.1f %9.1f %9.2f %9.2f %7zu %6ld %6ld %9.2f  %.1f..%.1f, %.1f..%.1f\n",
                path, us.median(), us.p99(), us.median() / raw.us.median(), us.p99() / raw.us.p99(),
                us.count(), lost, late,
                Ratio(static_cast<double>(switches), static_cast<double>(exchanges)),
                roundMedians.min(), roundMedians.max(), roundP99s.min(), roundP99s.max());
  }
};

// Unpaced sending of one path: per second from the start of sending to its end (sent)
// or to the last arrival at B (received).
struct SRate {
  double sentRate = 0, recvRate = 0;
  long sent = 0, lost = 0, drops = 0;

  SRate(long n, std::int64_t t0, std::int64_t end, long got, std::int64_t lastNs, long dropped)
      : sentRate(n / (static_cast<double>(end - t0) * 1e-9)),
        recvRate(Ratio(static_cast<double>(got), static_cast<double>(lastNs - t0) * 1e-9)),
        sent(n),
        lost(n - got),
        drops(dropped) {}
  SRate() = default;

  void Print(char const* sender, char const* receiver, double base) const {
    std::printf("  %-34s %12.0f %9.2f %10ld %10s\n", sender, sentRate, sentRate / base, sent, "-");
    std::printf("  %-34s %12.0f %9.2f %10s %10ld %12ld\n", receiver, recvRate, recvRate / base, "-",
                lost, drops);
  }
};

// Side A prints its figures itself (the parent's standard output is its own) and
// sends the parent the line of targets.
class CSideA : public LHandler {
 public:
  CSideA(int ctlFd, SOptions const& opt)
      : LHandler(nullptr), mCtl(ctlFd), mOpt(opt), mPeer(this, mWorld) {
    Fill(mTurn, ShowTurn());
  }

  int Run() {
    CRunLoop& loop = CRunLoop::Current();
    if (!mB.Start({"--role=b"})) return Fail("cannot start side B");
    std::string line;
    if (!mB.channel().Recv(line, 10)) return Fail("side B did not start");
    const CFields ready(line);
    if (!ready.is("ready", 3)) return Fail("side B: " + line);
    mRawTo = LoopbackAddr(static_cast<std::uint16_t>(ready.integer(2)));
    if (!mRaw.Open()) return Fail("raw socket");
    if (!mPeer.Open(0)) return Fail("peer Open failed");

    CFrameTimer frames(kFps, [&] { Frame(); });
    frames.Start();
    mPeer.Connect({kLoopback, static_cast<std::int32_t>(ready.integer(1))}, LString());
    if (!Pump(
            loop, [&] { return mPeer.state() == CKelmarNetPeer::stConnected; }, 5))
      return Fail("no connection to side B within 5 s");

    StampTurn(1, MonoNs());
    mImage = PakTurnImage(mTurn);

    // Warm-up of both paths, then rounds in which raw and peer blocks alternate.
    SLatency raw, peer, scratch;
    CBenchStats rawRound, peerRound;
    if (!RawBlock(kWarmup, scratch, rawRound) || !PeerBlock(loop, kWarmup, scratch, peerRound))
      return Fail("warm-up failed");
    for (int r = 0; r < mOpt.rounds; ++r) {
      rawRound.Clear();
      peerRound.Clear();
      for (int done = 0; done < mOpt.turns; done += kBlock) {
        const int n = std::min(kBlock, mOpt.turns - done);
        if (!RawBlock(n, raw, rawRound)) return Fail("raw block failed");
        if (!PeerBlock(loop, n, peer, peerRound)) return Fail("peer block failed");
      }
      raw.roundMedians.Add(rawRound.median());
      peer.roundMedians.Add(peerRound.median());
      raw.roundP99s.Add(rawRound.p99());
      peer.roundP99s.Add(peerRound.p99());
    }
    std::printf("datagram: full pakTurn of a 513-byte show turn = %zu bytes\n", mImage.size());
    std::printf("round trip, %d rounds x %d turns, one in flight (microseconds)\n", mOpt.rounds,
                mOpt.turns);
    std::printf("  %-22s %9s %9s %9s %9s %7s %6s %6s %9s  %s\n", "path", "median", "p99", "x med",
                "x p99", "count", "lost", "late", "switches", "per round: median, p99");
    raw.Print("raw UDP ping-pong", raw);
    peer.Print("peer turn echo", raw);
    std::printf("  switches: context switches of both processes per round trip (getrusage)\n");
    std::printf("  sequence gaps seen at B during the peer rounds: %ld\n", mGapsB);
    std::fflush(stdout);

    SRate rawRate, peerRate;
    if (mOpt.throughput) {
      if (!RawThroughput(rawRate)) return Fail("raw throughput failed");
      if (!PeerThroughput(loop, peerRate)) return Fail("peer throughput failed");
      std::printf("throughput over %.1f s (per second)\n", mOpt.seconds);
      std::printf("  %-34s %12s %9s %10s %10s %12s\n", "path", "rate/s", "x raw", "count", "lost",
                  "buffer drops");
      rawRate.Print("raw sendto (baseline)", "raw datagrams received at B", rawRate.sentRate);
      peerRate.Print("peer turns handed over at A", "peer turns delivered at B", rawRate.sentRate);
      std::printf(
          "  lost = handed over or sent, never received; buffer drops = of those, dropped by\n"
          "  B's socket because its receive buffer was full (the sender outran the receiver)\n");
      std::fflush(stdout);
    }

    mPeer.Disconnect(CKelmarNetPeer::stIdle);
    Pump(
        loop, [] { return false; }, 0.05);  // the close notice goes out
    mB.channel().Send("quit");
    const int status = mB.Finish(3);
    if (!Clean(status)) return Fail("side B ended badly: " + StatusText(status));
    mCtl.Send("targets " + Targets(raw, peer, peerRate));
    return 0;
  }

  LEvent HandleEvent(LEvent const& e) override {
    if (e.is(CKelmarNetPeer::rRecv, &mPeer)) return Received(), LEvent();
    if (e.is(CKelmarNetPeer::rConn, &mPeer)) return mPeer.Accept(false), LEvent();
    if (e.is(CKelmarNetPeer::rStat, &mPeer) || e.is(CKelmarNetPeer::rBcon, &mPeer)) return LEvent();
    return LHandler::HandleEvent(e);
  }

 private:
  std::string Targets(SLatency const& raw, SLatency const& peer, SRate const& rate) const {
    const double xm = peer.us.median() / raw.us.median(), xp = peer.us.p99() / raw.us.p99();
    const long lost = peer.lost + mGapsB;
    char tput[64] = "not measured";
    if (mOpt.throughput)
      std::snprintf(tput, sizeof tput, "%.0f/s (>= 5000: %s)", rate.recvRate,
                    Verdict(rate.recvRate >= 5000));
    char text[300];
    std::snprintf(text, sizeof text,
                  "median %.2fx raw (<= 3.5: %s)  p99 %.2fx raw (<= 8: %s)  lost %ld (%s)"
                  "  delivered %s",
                  xm, Verdict(xm <= 3.5), xp, Verdict(xp <= 8), lost, Verdict(lost == 0), tput);
    return text;
  }

  int Fail(std::string const& why) {
    mCtl.Send("error A: " + why);
    return 1;
  }

  bool Ask(std::string const& command, std::string& reply, double timeout = 5) {
    return mB.channel().Send(command) && mB.channel().Recv(reply, timeout);
  }

  // Seq in slots 1-4, hand-over time in slots 5-12, the rest a typical show.
  void StampTurn(std::uint32_t seq, std::int64_t ns) {
    SStamp{seq, ns}.Put(mTurn.data(), kStampSlot);
  }

  // Blocking ping-pong of the pakTurn-sized datagram.
  bool RawBlock(int n, SLatency& out, CBenchStats& round) {
    std::string reply;
    if (!Ask(Line("raw", n), reply) || reply != "ok") return false;
    mRaw.SetRecvTimeout(static_cast<double>(kLostAfterNs) * 1e-9);
    std::vector<unsigned char> buf = mImage;
    unsigned char in[2048];
    CBenchStats us;
    const long switches = ContextSwitches();
    for (int i = 0; i < n; ++i) {
      const SStamp sent{++mRawSeq, MonoNs()};
      sent.Put(buf.data(), kPakStampAt);
      mRaw.SendTo(mRawTo, buf.data(), buf.size());
      for (;;) {
        const ssize_t got = mRaw.Recv(in, sizeof in);
        if (got < 0) {
          ++out.lost;
          break;
        }
        SStamp echo;
        if (echo.Get(in, static_cast<std::size_t>(got), kPakStampAt) && echo.seq == sent.seq) {
          us.Add(static_cast<double>(MonoNs() - sent.ns) * 1e-3);
          break;
        }
        ++out.late;
      }
    }
    const long mine = ContextSwitches() - switches;
    if (!mB.channel().Recv(reply, 5)) return false;
    const CFields w(reply);
    out.switches += mine + (w.size() == 3 ? static_cast<long>(w.integer(2)) : 0);
    out.exchanges += n;
    out.us.Add(us);
    round.Add(us);
    return true;
  }

  // One turn in flight: the echo's receive event hands over the next one.
  bool PeerBlock(CRunLoop& loop, int n, SLatency& out, CBenchStats& round) {
    std::string reply;
    if (!Ask("echo", reply) || reply != "ok") return false;
    mLat = &out;
    mRoundUs.Clear();
    mLeft = n;
    const long switches = ContextSwitches();
    HandOver();
    const bool ok = Pump(
        loop, [&] { return mLeft == 0 && !mInFlight; }, 60);
    const long mine = ContextSwitches() - switches;
    mLat = nullptr;
    if (!Ask("stats", reply)) return false;
    const CFields w(reply);
    mGapsB += static_cast<long>(w.integer(2));
    out.switches += mine + static_cast<long>(w.integer(5));
    out.exchanges += n;
    out.us.Add(mRoundUs);
    round.Add(mRoundUs);
    return ok;
  }

  void HandOver() {
    if (mLeft == 0) {
      mInFlight = false;
      return;
    }
    --mLeft;
    mInFlight = true;
    mSeq = ++mNextSeq;
    mSentNs = MonoNs();
    StampTurn(mSeq, mSentNs);
    mPeer.SendTurnA(mTurn);
  }

  void Received() {
    const std::int64_t now = MonoNs();
    SStamp stamp;
    if (!stamp.Get(mPeer.recvTurn(), mPeer.recvSize(), kStampSlot) || !mLat) return;
    if (!mInFlight || stamp.seq != mSeq) {
      ++mLat->late;
      return;
    }
    mRoundUs.Add(static_cast<double>(now - mSentNs) * 1e-3);
    HandOver();
  }

  void Frame() {
    if (mLat && mInFlight && MonoNs() - mSentNs > kLostAfterNs) {
      ++mLat->lost;
      HandOver();
    }
  }

  static void HandOverEveryPass(void* self) {
    auto* a = static_cast<CSideA*>(self);
    a->mSeq = ++a->mNextSeq;
    a->StampTurn(a->mSeq, MonoNs());
    a->mPeer.SendTurnA(a->mTurn);
    ++a->mHandedOver;
  }

  bool RawThroughput(SRate& out) {
    std::string reply;
    if (!Ask("rawsink", reply) || reply != "ok") return false;
    std::vector<unsigned char> buf = mImage;
    long sent = 0;
    const std::int64_t t0 = MonoNs();
    const std::int64_t end = t0 + static_cast<std::int64_t>(mOpt.seconds * 1e9);
    std::int64_t now = t0;
    while (now < end) {
      for (int k = 0; k < 64; ++k) {
        SStamp{++mRawSeq, 0}.Put(buf.data(), kPakStampAt);
        if (mRaw.SendTo(mRawTo, buf.data(), buf.size())) ++sent;
      }
      now = MonoNs();
    }
    if (!mB.channel().Recv(reply, 10)) return false;
    const CFields w(reply);
    if (!w.is("rawsink", 5)) return false;
    out = SRate(sent, t0, now, static_cast<long>(w.integer(1)), w.integer(3),
                static_cast<long>(w.integer(4)));
    return true;
  }

  bool PeerThroughput(CRunLoop& loop, SRate& out) {
    std::string reply;
    if (!Ask("count", reply) || reply != "ok") return false;
    mHandedOver = 0;
    const std::int64_t t0 = MonoNs();
    const std::int64_t end = t0 + static_cast<std::int64_t>(mOpt.seconds * 1e9);
    const std::uint64_t key = loop.AddObserver(&HandOverEveryPass, this);
    std::int64_t now = t0;
    while (now < end) {
      loop.RunOnce(0);
      now = MonoNs();
    }
    loop.RemoveObserver(key);
    Pump(
        loop, [] { return false; }, 0.3);  // let B drain its socket
    if (!Ask("stats", reply)) return false;
    const CFields w(reply);
    if (!w.is("stats", 7)) return false;
    out = SRate(mHandedOver, t0, now, static_cast<long>(w.integer(1)), w.integer(4),
                static_cast<long>(w.integer(6)));
    return true;
  }

  CLineChannel mCtl;
  SOptions const& mOpt;
  CChild mB;
  CAsyncWorld_Null mWorld;
  CKelmarNetPeer mPeer;
  CDmxTurn mTurn;
  std::vector<unsigned char> mImage;
  CBenchUdp mRaw;
  sockaddr_in mRawTo{};
  std::uint32_t mRawSeq = 0;
  // latency rounds
  SLatency* mLat = nullptr;
  CBenchStats mRoundUs;
  int mLeft = 0;
  bool mInFlight = false;
  std::uint32_t mSeq = 0;
  std::uint32_t mNextSeq = 0;
  std::int64_t mSentNs = 0;
  long mGapsB = 0;
  long mHandedOver = 0;
};

// ---- the report -----------------------------------------------------------------

// Runs side A in one mode under the heading `mode`; returns its line of targets, or
// "FAILED: why".
std::string RunMode(SOptions const& opt, bool pinned, std::string const& mode) {
  std::printf("\n== %s ==\n", mode.c_str());
  std::fflush(stdout);
  CChild a;
  std::vector<std::string> args{"--role=a", "--rounds=" + std::to_string(opt.rounds),
                                "--turns=" + std::to_string(opt.turns),
                                "--seconds=" + std::to_string(opt.seconds)};
  if (!opt.throughput) args.push_back("--no-throughput");
  std::string line, error = "cannot start side A";
  if (a.Start(args, pinned ? opt.cpu : -1)) {
    const double budget = 30 + opt.rounds * opt.turns * 0.002 + 4 * opt.seconds;
    const bool told = a.channel().Recv(line, budget);
    const int status = a.Finish(5);
    if (!told)
      error = "side A stopped answering (" + StatusText(status) + ")";
    else if (line.rfind("error ", 0) == 0)
      error = line.substr(6);
    else if (line.rfind("targets ", 0) != 0)
      error = "side A: " + line;
    else if (!Clean(status))
      error = "side A ended badly: " + StatusText(status);
    else
      return line.substr(8);
  }
  std::printf("FAILED: %s\n", error.c_str());
  return "FAILED: " + error;
}

}  // namespace

int main(int argc, char** argv) {
  const CBenchArgs args(argc, argv);
  const SOptions opt(args);
  if (!opt.valid())
    return args.Usage(
        "[--pinned|--unpinned] [--cpu N] [--rounds R>=1] [--turns T>=10] [--seconds 0<S<=60] "
        "[--no-throughput]");
  if (!args.role().empty()) {
    if (args.ctl() < 0) return 2;
    if (args.role() == "a") return CSideA(args.ctl(), opt).Run();
    if (args.role() == "b") return CSideB(args.ctl()).Run();
    return 2;
  }

  std::printf(
      "e2e_bench: peer A -> peer B -> peer A on 127.0.0.1, two processes, each a socket\n"
      "port + I/O signal thread + run-loop world (100 Hz frame timer). Baselines are plain\n"
      "blocking UDP between the same two processes, measured in the same run.\n");
  std::fflush(stdout);
  std::string pinned, unpinned;
  if (opt.pinned)
    pinned = RunMode(opt, true, "pinned: both processes on CPU " + std::to_string(opt.cpu));
  if (opt.unpinned) unpinned = RunMode(opt, false, "unpinned: every CPU");
  std::printf("\ntargets (median <= 3.5x raw, p99 <= 8x raw, no turn lost, >= 5000 turns/s):\n");
  if (opt.pinned) std::printf("  %-9s %s\n", "pinned", pinned.c_str());
  if (opt.unpinned) std::printf("  %-9s %s\n", "unpinned", unpinned.c_str());
  const bool ok = pinned.rfind("FAILED", 0) != 0 && unpinned.rfind("FAILED", 0) != 0;
  return ok ? 0 : 1;
}
