// N peer pairs across two processes, turns both ways at a show's frame rate: CPU per
// received turn, lost turns and turn latency, beside single-threaded epoll endpoints that
// carry the same traffic.
//
// For each N the program starts two sides as child processes and runs two experiments:
//   epoll baseline: each side is one thread with N plain UDP sockets in one epoll set; it
//     sends a datagram of the pakTurn's size on every socket at the frame rate and reads
//     whatever arrives (recvfrom until EAGAIN);
//   peer: each side holds N peers on one run-loop world (with the process's I/O signal thread
//     and a 100 Hz frame timer); the A peers connect to the B peers, and every peer hands
//     over a changed typical turn at the frame rate.
// In both, pair i sends at phase i/N of the frame period, and each turn (datagram) carries
// a per-pair sequence number and its CLOCK_MONOTONIC hand-over time. After a warm-up, each
// side measures its CPU time (getrusage: user + sys, every thread) over a fixed window,
// counts the turns it received in that window, and times every turn from hand-over to
// its receive event.
//
// A last child opens peers until Open fails, to show how the design's descriptor limit
// (the I/O signal thread serves descriptors below CPsxIOSig::kMaxFd = 1024) shows itself.
//
// The ratio to the baseline and the p99 move with the machine's load far more than with
// small changes of the code (on a shared 2-core machine one build gave 1.7x to 3.7x at 512
// pairs from run to run), and the two experiments of a run may meet different loads, so a
// single run compares poorly with another. --repeat K runs the pair of experiments K times
// per N, each headed by the load average when it began, and the targets take the medians
// of the runs (by nearest rank: take K odd). To compare two builds, alternate them.
//
// Usage: scale_bench [--pairs 1,16,128,512] [--seconds S] [--warmup S] [--rate HZ]
//                    [--repeat K] [--no-limit-check]
#include <sys/epoll.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "CAppLoop.h"
#include "CAsyncWorld_Null.h"
#include "CBenchArgs.h"
#include "CBenchProc.h"
#include "CBenchStats.h"
#include "CBenchTurns.h"
#include "CBenchUdp.h"
#include "CKelmarNetPeer.h"
#include "CPsxIOSig.h"
#include "CRunLoop.h"

namespace {

using namespace bench;

constexpr double kFps = 100;    // frame timer of a peer side
constexpr double kDrain = 1.0;  // receiving goes on this long after sending
constexpr int kFadeSlot = 41;   // first of the slots that fade every frame
constexpr int kFadeSlots = 4;
constexpr rlim_t kWantFiles = 4096;

struct SSchedule {
  double t0 = 0;    // first send of pair 0 (CLOCK_MONOTONIC seconds)
  double warm = 1;  // from t0 to the start of the window
  double window = 10;
  double rate = 44;
  double windowStart() const { return t0 + warm; }
  double sendEnd() const { return t0 + warm + window; }

  std::string StartLine() const { return Line("start", t0, warm, window, rate); }
  bool Parse(CFields const& w) {
    if (!w.is("start", 5)) return false;
    t0 = w.num(1);
    warm = w.num(2);
    window = w.num(3);
    rate = w.num(4);
    return rate > 0;
  }
};

// The typical turn: a lit stage where a few slots fade every frame; slots 1-4 carry the
// sequence number and slots 5-12 the hand-over time.
void Stamp(CDmxTurn& turn, std::uint32_t seq, std::int64_t ns) {
  SStamp{seq, ns}.Put(turn.data(), kStampSlot);
  for (int k = 0; k < kFadeSlots; ++k)
    turn.data()[kFadeSlot + k] = static_cast<unsigned char>(seq * (k + 1));
}

// The full pakTurn that a peer sends for the typical turn; the epoll baseline sends it.
std::vector<unsigned char> TypicalPak() {
  CDmxTurn turn;
  Fill(turn, ShowTurn());
  Stamp(turn, 123456, MonoNs());
  return PakTurnImage(turn);
}

// What one side has seen; shared by both kinds of side.
struct SCounters {
  std::vector<std::uint32_t> sentSeq;  // per pair: last sequence number sent
  std::vector<std::uint32_t> maxSeen;  // per pair: highest sequence number received
  long gaps = 0;                       // sequence numbers skipped on arrival
  long recvTotal = 0;
  long recvWindow = 0;
  bool inWindow = false;
  CBenchStats latencyUs;  // of turns received in the window
  double cpuStart = 0, wallStart = 0, cpuUs = 0, wallS = 0;
  bool windowDone = false;

  explicit SCounters(int n) : sentSeq(n, 0), maxSeen(n, 0) { latencyUs.Reserve(1 << 16); }

  void Received(int pair, std::uint32_t seq, std::int64_t sentNs, std::int64_t nowNs) {
    ++recvTotal;
    std::uint32_t& top = maxSeen[static_cast<std::size_t>(pair)];
    if (seq > top + 1) gaps += seq - top - 1;
    if (seq > top) top = seq;
    if (inWindow) {
      ++recvWindow;
      latencyUs.Add(static_cast<double>(nowNs - sentNs) * 1e-3);
    }
  }
  // Opens and closes the measuring window at the first chance after its bounds.
  void Tick(SSchedule const& s, double now) {
    if (!inWindow && !windowDone && now >= s.windowStart()) {
      inWindow = true;
      cpuStart = CpuMicros();
      wallStart = MonoSec();
    } else if (inWindow && now >= s.sendEnd()) {
      inWindow = false;
      windowDone = true;
      cpuUs = CpuMicros() - cpuStart;
      wallS = MonoSec() - wallStart;
    }
  }
  std::string StatsLine(long drops) const {
    long sent = 0, seen = 0;
    for (auto v : sentSeq) sent += v;
    for (auto v : maxSeen) seen += v;
    return Line("stats", cpuUs, wallS, recvWindow, recvTotal, sent, gaps, seen, latencyUs.median(),
                latencyUs.p99(), latencyUs.max(), drops);
  }
};

// Walks the send times of all pairs in order: pair i sends at t0 + k/rate + i/(N*rate).
struct SDriver {
  int n = 1;
  int pair = 0;
  long k = 0;
  double due(SSchedule const& s) const {
    return s.t0 + (static_cast<double>(k) + static_cast<double>(pair) / n) / s.rate;
  }
  void Next() {
    if (++pair == n) pair = 0, ++k;
  }
};

// The 1-minute load average, or -1 if unknown.
double LoadAvg() {
  double avg[1];
  return getloadavg(avg, 1) == 1 ? avg[0] : -1;
}

// The descriptor the next socket gets (it is closed again at once).
int NextFd() {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd >= 0) close(fd);
  return fd;
}

std::string PortsLine(char const* head, std::vector<std::uint32_t> const& ports) {
  std::string line = head;
  for (auto p : ports) line += " " + std::to_string(p);
  return line;
}

// ---- peer side ------------------------------------------------------------------

class CPeerSide;

// The owner of one peer: passes its events to the side with the pair's index.
class CPairOwner : public LHandler {
 public:
  CPairOwner(CPeerSide* side, int index) : LHandler(nullptr), mSide(side), mIndex(index) {}
  LEvent HandleEvent(LEvent const& e) override;
  CKelmarNetPeer* peer = nullptr;

 private:
  CPeerSide* mSide;
  int mIndex;
};

class CPeerSide {
 public:
  CPeerSide(CLineChannel& ctl, int n, bool listen)
      : mCtl(ctl),
        mN(n),
        mListen(listen),
        mCount(n),
        mConnected(static_cast<std::size_t>(n)),
        mDriverTimer(&DriverFire, this) {
    Fill(mTurn, ShowTurn());
  }
  ~CPeerSide() {
    // Before their owners and the world; an owner hears nothing from a dying peer.
    for (std::size_t i = 0; i < mPeers.size(); ++i) {
      mOwners[i]->peer = nullptr;
      mPeers[i].reset();
    }
  }

  int Run() {
    CRunLoop& loop = CRunLoop::Current();
    for (int i = 0; i < mN; ++i) {
      mOwners.push_back(std::make_unique<CPairOwner>(this, i));
      mPeers.push_back(std::make_unique<CKelmarNetPeer>(mOwners.back().get(), mWorld));
      mOwners.back()->peer = mPeers.back().get();
      mPeers.back()->SetListen(mListen);
      if (!mPeers.back()->Open(0)) {
        const int fd = NextFd();
        mCtl.Send("error " + std::string(mListen ? "B" : "A") + ": Open failed for pair #" +
                  std::to_string(i + 1) + " (lowest free descriptor " + std::to_string(fd) +
                  "; the I/O signal thread serves descriptors below " +
                  std::to_string(CPsxIOSig::kMaxFd) + ")");
        return 1;
      }
      mPorts.push_back(mPeers.back()->port());
    }
    if (mListen) {
      mCtl.Send(PortsLine("ports", mPorts));
    } else {
      std::string line;
      if (!mCtl.Recv(line, 20)) return 1;
      const CFields w(line);
      if (!w.is("peers", static_cast<std::size_t>(mN) + 1)) return 1;
      for (std::size_t i = 0; i < mPeers.size(); ++i)
        mPeers[i]->Connect({kLoopback, static_cast<std::int32_t>(w.integer(i + 1))}, LString());
    }
    CFrameTimer frames(kFps, [&] { Frame(loop); });
    frames.Start();
    loop.Run();
    for (auto& p : mPeers) p->Disconnect(CKelmarNetPeer::stIdle);
    loop.RunOnce(0);
    return 0;
  }

  void Event(int i, LEvent const& e) {
    CKelmarNetPeer& peer = *mPeers[static_cast<std::size_t>(i)];
    if (e.is(CKelmarNetPeer::rConn)) {
      peer.Accept(true);
    } else if (e.is(CKelmarNetPeer::rStat)) {
      const bool up = peer.state() == CKelmarNetPeer::stConnected;
      if (up != mConnected[static_cast<std::size_t>(i)]) {
        mConnected[static_cast<std::size_t>(i)] = up;
        mUp += up ? 1 : -1;
        if (!up && mStarted) ++mDrops;
      }
    } else if (e.is(CKelmarNetPeer::rRecv)) {
      SStamp stamp;
      if (stamp.Get(peer.recvTurn(), peer.recvSize(), kStampSlot))
        mCount.Received(i, stamp.seq, stamp.ns, MonoNs());
    }
  }

 private:
  void Frame(CRunLoop& loop) {
    std::string line;
    while (mCtl.TryRecv(line)) {
      const CFields w(line);
      if (w.is("quit")) loop.Stop();
      if (mSched.Parse(w)) {
        mStarted = true;
        mDriver.n = mN;
        mDriverTimer.Arm(std::max(0.0, mSched.t0 - MonoSec()));
      }
    }
    if (mCtl.gone()) loop.Stop();
    if (!mSaidConnected && mUp == mN) {
      mSaidConnected = true;
      mCtl.Send("connected");
    }
    if (mStarted) {
      const double now = MonoSec();
      mCount.Tick(mSched, now);
      if (!mSaidStats && now >= mSched.sendEnd() + kDrain) {
        mSaidStats = true;
        mCtl.Send(mCount.StatsLine(mDrops));
      }
    }
  }

  static void DriverFire(CLoopTimer* timer, void* self) {
    auto* s = static_cast<CPeerSide*>(self);
    const double now = MonoSec();
    s->mCount.Tick(s->mSched, now);
    double due;
    while ((due = s->mDriver.due(s->mSched)) <= now && due < s->mSched.sendEnd()) {
      const auto i = static_cast<std::size_t>(s->mDriver.pair);
      const std::uint32_t seq = ++s->mCount.sentSeq[i];
      Stamp(s->mTurn, seq, MonoNs());
      s->mPeers[i]->SendTurnA(s->mTurn);
      s->mDriver.Next();
    }
    if (due < s->mSched.sendEnd()) timer->Arm(due - now);
  }

  CLineChannel& mCtl;
  int mN;
  bool mListen;
  SCounters mCount;
  std::vector<bool> mConnected;
  int mUp = 0;
  long mDrops = 0;  // connections lost after the start
  bool mSaidConnected = false;
  bool mStarted = false;
  bool mSaidStats = false;
  SSchedule mSched;
  SDriver mDriver;
  CDmxTurn mTurn;
  std::vector<std::uint32_t> mPorts;
  CAsyncWorld_Null mWorld;
  std::vector<std::unique_ptr<CPairOwner>> mOwners;
  std::vector<std::unique_ptr<CKelmarNetPeer>> mPeers;
  CLoopTimer mDriverTimer;
};

LEvent CPairOwner::HandleEvent(LEvent const& e) {
  if (peer && e.mSource == peer) {
    mSide->Event(mIndex, e);
    return LEvent();
  }
  return LHandler::HandleEvent(e);
}

int RunPeerSide(int ctlFd, int n, bool listen) {
  RaiseNoFile(kWantFiles);
  CLineChannel ctl(ctlFd);
  CPeerSide side(ctl, n, listen);
  return side.Run();
}

// ---- epoll side -----------------------------------------------------------------

int RunEpollSide(int ctlFd, int n) {
  RaiseNoFile(kWantFiles);
  CLineChannel ctl(ctlFd);
  std::vector<CBenchUdp> socks(static_cast<std::size_t>(n));
  std::vector<std::uint32_t> ports;
  struct SEpoll {
    int fd = epoll_create1(EPOLL_CLOEXEC);
    ~SEpoll() { close(fd); }
  } ep;
  for (std::uint32_t i = 0; i < socks.size(); ++i) {
    if (!socks[i].Open(true)) {
      ctl.Send("error epoll side: socket #" + std::to_string(i + 1));
      return 1;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = i;
    epoll_ctl(ep.fd, EPOLL_CTL_ADD, socks[i].fd(), &ev);
    ports.push_back(socks[i].port());
  }
  ctl.Send(PortsLine("ports", ports));
  std::string line;
  if (!ctl.Recv(line, 20)) return 1;
  const CFields w(line);
  if (!w.is("peers", socks.size() + 1)) return 1;
  std::vector<sockaddr_in> to;
  for (std::size_t i = 0; i < socks.size(); ++i)
    to.push_back(LoopbackAddr(static_cast<std::uint16_t>(w.integer(i + 1))));
  SSchedule sched;
  if (!ctl.Recv(line, 20) || !sched.Parse(CFields(line))) return 1;

  // The datagram: a real pakTurn image of the typical turn, restamped before each send.
  std::vector<unsigned char> pak = TypicalPak();

  SCounters count(n);
  SDriver driver;
  driver.n = n;
  epoll_event events[64];
  unsigned char buf[2048];
  const double end = sched.sendEnd() + kDrain;
  for (;;) {
    double now = MonoSec();
    count.Tick(sched, now);
    if (now >= end) break;
    const double due = driver.due(sched);
    const double wake = due < sched.sendEnd() ? due : end;
    const int timeout = static_cast<int>(std::ceil(std::max(0.0, wake - now) * 1000.0));
    const int ready = epoll_wait(ep.fd, events, 64, timeout);
    for (int e = 0; e < ready; ++e) {
      const std::uint32_t i = events[e].data.u32;
      for (;;) {
        const ssize_t got = socks[i].Recv(buf, sizeof buf);
        if (got < 0) break;
        SStamp stamp;
        if (stamp.Get(buf, static_cast<std::size_t>(got), kPakStampAt))
          count.Received(static_cast<int>(i), stamp.seq, stamp.ns, MonoNs());
      }
    }
    now = MonoSec();
    double d;
    while ((d = driver.due(sched)) <= now && d < sched.sendEnd()) {
      const auto i = static_cast<std::size_t>(driver.pair);
      SStamp{++count.sentSeq[i], MonoNs()}.Put(pak.data(), kPakStampAt);
      socks[i].SendTo(to[i], pak.data(), pak.size());
      driver.Next();
    }
  }
  ctl.Send(count.StatsLine(0));
  ctl.Recv(line, 10);  // "quit", or the end of the channel
  return 0;
}

// ---- descriptor limit -----------------------------------------------------------

// The owner of the peers opened for the limit check.
class CQuietOwner : public LHandler {
 public:
  CQuietOwner() : LHandler(nullptr) {}
  CKelmarNetPeer* listener = nullptr;
  int received = 0;
  LEvent HandleEvent(LEvent const& e) override {
    if (listener && e.is(CKelmarNetPeer::rConn, listener)) listener->Accept(true);
    if (e.is(CKelmarNetPeer::rRecv)) ++received;
    return LEvent();
  }
};

// Opens peers until Open fails (at most `cap`), then shows that the peers it has still
// work: two of them connect and exchange a turn. Prints what it finds, then says
// "closed" on the channel.
int RunLimitCheck(int ctlFd, int cap) {
  const rlim_t soft = RaiseNoFile(kWantFiles);
  CLineChannel ctl(ctlFd);
  CAsyncWorld_Null world;
  CQuietOwner owner;
  std::vector<std::unique_ptr<CKelmarNetPeer>> peers;
  int failedAt = 0;
  for (int i = 0; i < cap; ++i) {
    auto peer = std::make_unique<CKelmarNetPeer>(&owner, world);
    if (!peer->Open(0)) {
      failedAt = i + 1;
      break;
    }
    peers.push_back(std::move(peer));
  }
  const int next = NextFd();  // the descriptor the failed Open's socket got
  std::printf("  RLIMIT_NOFILE soft limit %lu; opened %zu ports; ",
              static_cast<unsigned long>(soft), peers.size());
  if (failedAt == 0)
    std::printf("no Open failed within %d ports\n", cap);
  else
    std::printf(
        "Open of port #%d returned false (its socket was descriptor %d, not below %d): a clean "
        "failure\n",
        failedAt, next, CPsxIOSig::kMaxFd);
  // A second failure on the same ground, and the survivors still carry a turn.
  {
    CKelmarNetPeer extra(&owner, world);
    std::printf("  one more Open: %s\n", extra.Open(0) ? "opened" : "failed");
  }
  bool exchanged = false;
  if (peers.size() >= 2) {
    CKelmarNetPeer& l = *peers.front();
    CKelmarNetPeer& r = *peers.back();
    owner.listener = &l;
    l.SetListen(true);
    r.Connect({kLoopback, static_cast<std::int32_t>(l.port())}, LString());
    CRunLoop& loop = CRunLoop::Current();
    CFrameTimer frames(kFps, [] {});
    frames.Start();
    CDmxTurn turn;
    Fill(turn, ShowTurn());
    const double end = MonoSec() + 5;
    while (MonoSec() < end && owner.received == 0) {
      if (r.state() == CKelmarNetPeer::stConnected) r.SendTurnA(turn);
      loop.RunOnce(0.01);
    }
    exchanged = owner.received > 0;
  }
  std::printf("  first and last open peers connect and carry a turn: %s\n",
              exchanged ? "ok" : "failed");
  peers.clear();
  std::printf("  all peers closed and destroyed\n");
  std::fflush(stdout);
  ctl.Send("closed");
  return exchanged ? 0 : 1;
}

// ---- the runs -------------------------------------------------------------------

struct SSide {
  bool ok = false;
  double cpuUs = 0, wallS = 0;
  long recvWindow = 0, recvTotal = 0, sent = 0, gaps = 0, seen = 0, drops = 0;
  double p50 = 0, p99 = 0, max = 0;
  double cpuPct() const { return wallS > 0 ? cpuUs / (wallS * 1e6) * 100 : 0; }
  double usPerTurn() const { return recvWindow > 0 ? cpuUs / static_cast<double>(recvWindow) : 0; }
};

bool ParseStats(std::string const& line, SSide& s) {
  const CFields w(line);
  if (!w.is("stats", 12)) return false;
  s.cpuUs = w.num(1);
  s.wallS = w.num(2);
  s.recvWindow = static_cast<long>(w.integer(3));
  s.recvTotal = static_cast<long>(w.integer(4));
  s.sent = static_cast<long>(w.integer(5));
  s.gaps = static_cast<long>(w.integer(6));
  s.seen = static_cast<long>(w.integer(7));
  s.p50 = w.num(8);
  s.p99 = w.num(9);
  s.max = w.num(10);
  s.drops = static_cast<long>(w.integer(11));
  return s.ok = true;
}

struct SRun {
  std::string error;
  SSide a, b;
};

// Both sides of one experiment: start, relay ports, wait for connections, start the
// schedule, collect the figures, and reap both children on every path.
SRun Experiment(bool peers, int n, SSchedule sched) {
  SRun run;
  CChild a, b;
  const std::string nArg = "--n=" + std::to_string(n);
  if (!b.Start({peers ? "--role=pb" : "--role=eb", nArg}) ||
      !a.Start({peers ? "--role=pa" : "--role=ea", nArg})) {
    run.error = "cannot start the sides";
    return run;
  }
  std::string la, lb;
  auto fail = [&](std::string const& why, std::string const& line) {
    const bool told = line.rfind("error ", 0) == 0;
    run.error = why + (line.empty() ? "" : ": " + (told ? line.substr(6) : line));
    return run;
  };
  if (!b.channel().Recv(lb, 30) || lb.rfind("ports", 0) != 0) return fail("side B", lb);
  if (!peers) {
    if (!a.channel().Recv(la, 30) || la.rfind("ports", 0) != 0) return fail("side A", la);
    b.channel().Send("peers" + la.substr(5));
  }
  a.channel().Send("peers" + lb.substr(5));
  if (peers) {
    const double setup = 10 + n * 0.02;
    if (!a.channel().Recv(la, setup) || la != "connected") return fail("side A not connected", la);
    if (!b.channel().Recv(lb, setup) || lb != "connected") return fail("side B not connected", lb);
  }
  sched.t0 = MonoSec() + 0.3;
  a.channel().Send(sched.StartLine());
  b.channel().Send(sched.StartLine());
  const double wait = sched.warm + sched.window + kDrain + 15;
  if (!a.channel().Recv(la, wait) || !ParseStats(la, run.a)) return fail("side A stats", la);
  if (!b.channel().Recv(lb, wait) || !ParseStats(lb, run.b)) return fail("side B stats", lb);
  a.channel().Send("quit");
  b.channel().Send("quit");
  const int sa = a.Finish(5), sb = b.Finish(5);
  for (int s : {sa, sb})
    if (!Clean(s)) run.error = "a side ended badly: " + StatusText(s);
  return run;
}

void PrintSide(char const* path, char const* side, SSide const& s, SSide const& other,
               SSide const* base) {
  // Gaps: a later turn of the pair arrived and this one never did. Undelivered: sent by
  // the other side, and neither it nor a later one arrived by the end of the drain.
  const long undelivered = other.sent - s.seen;
  char ratio[32] = "-";
  if (base && base->usPerTurn() > 0)
    std::snprintf(ratio, sizeof ratio, "%.2f", s.usPerTurn() / base->usPerTurn());
  std::printf("  %-6s %-2s %7.2f %10.2f %8s %9ld %9ld %6ld %6ld %9.0f %9.0f %9.0f\n", path, side,
              s.cpuPct(), s.usPerTurn(), ratio, s.recvWindow, other.sent, s.gaps, undelivered,
              s.p50, s.p99, s.max);
}

struct STarget {
  int n;
  double ratio;
  long lost;
  double p99;
};

// Runs the descriptor limit check in a child, which prints what it finds; false if it
// failed.
bool LimitCheck() {
  std::printf("\nDescriptor limit check: one process opens peers (port 0) until Open fails\n");
  std::fflush(stdout);
  CChild child;
  if (!child.Start({"--role=limit", "--n=1100"})) {
    std::printf("  cannot start the check\n");
    return false;
  }
  std::string line;
  child.channel().Recv(line, 60);  // "closed", or the end of the channel
  const int status = child.Finish(10);
  std::printf("  check process: %s\n", StatusText(status).c_str());
  return Clean(status);
}

}  // namespace

int main(int argc, char** argv) {
  const CBenchArgs args(argc, argv);
  if (!args.role().empty()) {
    const int n = args.Int("--n", 0);
    if (args.ctl() < 0) return 2;
    if (args.role() == "pa" || args.role() == "pb")
      return RunPeerSide(args.ctl(), n, args.role() == "pb");
    if (args.role() == "ea" || args.role() == "eb") return RunEpollSide(args.ctl(), n);
    if (args.role() == "limit") return RunLimitCheck(args.ctl(), n);
    return 2;
  }

  const std::vector<int> sizes = args.Ints("--pairs", {1, 16, 128, 512});
  const int repeat = args.Int("--repeat", 1);
  SSchedule sched;
  sched.window = args.Real("--seconds", sched.window);
  sched.warm = args.Real("--warmup", sched.warm);
  sched.rate = args.Real("--rate", sched.rate);
  bool bad = sched.window <= 0 || sched.window > 600 || sched.warm < 0 || sched.rate <= 0 ||
             sched.rate > 1000 || repeat < 1 || repeat > 50;
  for (int n : sizes) bad |= n < 1 || n > 2000;
  if (bad)
    return args.Usage(
        "[--pairs 1,16,128,512] [--seconds S] [--warmup S] [--rate HZ] [--repeat K] "
        "[--no-limit-check]");
  const rlim_t files = RaiseNoFile(kWantFiles);

  std::printf(
      "scale_bench: N pairs, the A sides in one process and the B sides in another, a turn\n"
      "each way per pair at %.0f Hz, phases spread over the frame period; full pakTurn of\n"
      "the typical turn = %u bytes. Measured over %.1f s after %.1f s of warm-up.\n"
      "Descriptor limit of the design: the I/O signal thread serves descriptors below %d\n"
      "(CPsxIOSig::kMaxFd), so one process holds fewer than %d ports (stdio, the run loop's "
      "eventfd\n"
      "and the wake-up pipe take descriptors too; the limit check below finds the number);\n"
      "512 pairs = 512 sockets per process fits.\n"
      "RLIMIT_NOFILE soft limit here: %lu.\n"
      "CPU%% = user+sys of the whole process (every thread) over the window; us/turn = that\n"
      "CPU time per turn received in the window; x epoll = us/turn over the epoll baseline's\n"
      "(same side, same N, same run); received = turns received in the window; sent = turns\n"
      "the other side sent in all (warm-up included); gaps = sequence numbers skipped on\n"
      "arrival; undel = turns sent that had not arrived 1 s after the last send; latency =\n"
      "hand-over time stamped in the turn to its receive event.\n",
      sched.rate, static_cast<unsigned>(TypicalPak().size()), sched.window, sched.warm,
      CPsxIOSig::kMaxFd, CPsxIOSig::kMaxFd, static_cast<unsigned long>(files));
  std::fflush(stdout);

  std::vector<STarget> targets;
  bool allOk = true;
  for (int n : sizes) {
    std::printf("\nN = %d pairs (%.0f turns/s received per side; %.0f turns to send per side)\n", n,
                n * sched.rate, std::ceil(n * sched.rate * (sched.warm + sched.window) - 1e-9));
    std::printf("  %-6s %-2s %7s %10s %8s %9s %9s %6s %6s %9s %9s %9s\n", "path", "", "CPU%",
                "us/turn", "x epoll", "received", "sent", "gaps", "undel", "p50 us", "p99 us",
                "max us");
    std::fflush(stdout);
    CBenchStats ratios, p99s;  // of the runs with both experiments: worst side of each
    long lost = 0;
    for (int run = 1; run <= repeat; ++run) {
      if (repeat > 1) std::printf("  run %d of %d, load average %.2f\n", run, repeat, LoadAvg());
      const SRun base = Experiment(false, n, sched);
      if (!base.error.empty()) std::printf("  epoll baseline FAILED: %s\n", base.error.c_str());
      if (base.a.ok && base.b.ok) {
        PrintSide("epoll", "A", base.a, base.b, nullptr);
        PrintSide("epoll", "B", base.b, base.a, nullptr);
      }
      std::fflush(stdout);
      const SRun peer = Experiment(true, n, sched);
      if (!peer.error.empty()) {
        std::printf("  peer FAILED: %s\n", peer.error.c_str());
        allOk = false;
      }
      if (peer.a.ok && peer.b.ok) {
        const bool haveBase = base.a.ok && base.b.ok;
        PrintSide("peer", "A", peer.a, peer.b, haveBase ? &base.a : nullptr);
        PrintSide("peer", "B", peer.b, peer.a, haveBase ? &base.b : nullptr);
        if (peer.a.drops + peer.b.drops > 0)
          std::printf("  connections lost during the run: A %ld, B %ld\n", peer.a.drops,
                      peer.b.drops);
        if (haveBase) {
          double ratio = 0, p99 = 0;
          for (auto [s, o, bs] :
               {std::tuple{&peer.a, &peer.b, &base.a}, std::tuple{&peer.b, &peer.a, &base.b}}) {
            ratio = std::max(ratio, s->usPerTurn() / bs->usPerTurn());
            lost += s->gaps + (o->sent - s->seen);
            p99 = std::max(p99, s->p99);
          }
          ratios.Add(ratio);
          p99s.Add(p99);
        }
      }
      std::fflush(stdout);
    }
    if (ratios.count() == 0) continue;
    if (repeat > 1)
      std::printf(
          "  over %zu runs, worst side: x epoll median %.2f (%.2f to %.2f), p99 median %.0f us "
          "(%.0f to %.0f)\n",
          ratios.count(), ratios.median(), ratios.min(), ratios.max(), p99s.median(), p99s.min(),
          p99s.max());
    targets.push_back({n, ratios.median(), lost, p99s.median()});
  }

  if (!args.Has("--no-limit-check")) allOk &= LimitCheck();

  std::printf(
      "\ntargets, which apply at N = 512 (other sizes show the trend): CPU per received turn\n"
      "<= 3x epoll, no turn lost, p99 < 2 ms%s\n",
      repeat > 1 ? " (x epoll and p99: medians of the runs; lost: all runs)" : "");
  for (STarget const& t : targets) {
    std::printf("  N=%-4d worst side: %.2fx epoll (%s), lost %ld (%s), p99 %.0f us (%s)%s\n", t.n,
                t.ratio, Verdict(t.ratio <= 3), t.lost, Verdict(t.lost == 0), t.p99,
                Verdict(t.p99 < 2000), t.n == 512 ? "  <- target size" : "");
  }
  return allOk ? 0 : 1;
}
