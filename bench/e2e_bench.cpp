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
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "CAppLoop.h"
#include "CAsyncWorld_Null.h"
#include "CBenchProc.h"
#include "CBenchTurns.h"
#include "CKelmarNetPeer.h"
#include "CRunLoop.h"

namespace {

using namespace bench;

constexpr std::uint64_t kLoopback = 0x7F000001;     // 127.0.0.1
constexpr double kFps = 100;                        // frame timer of each side
constexpr std::int64_t kLostAfterNs = 200'000'000;  // no echo within: counted lost
constexpr int kWarmup = 200;
// Raw and peer exchanges alternate in blocks this long, so that both meet the same
// placement of the two processes on the CPUs when they are free to move.
constexpr int kBlock = 250;

struct SOptions {
  int rounds = 5;
  int turns = 2000;
  double seconds = 3;
  int cpu = 0;
  bool pinned = true;
  bool unpinned = true;
  bool throughput = true;
};

// Seq in slots 1-4, hand-over time in slots 5-12, the rest a typical show.
void StampTurn(CDmxTurn& turn, std::uint32_t seq, std::int64_t ns) {
  PutBE(turn.data() + 1, seq, 4);
  PutBE(turn.data() + 5, static_cast<std::uint64_t>(ns), 8);
}

void FillShow(CDmxTurn& turn) {
  const Turn show = ShowTurn();
  turn.SetSize(static_cast<std::uint32_t>(show.size()));
  std::memcpy(turn.data(), show.data(), show.size());
}

// The full pakTurn datagram for this turn: 3 header bytes and the compressed turn.
std::vector<unsigned char> PakTurnImage(CDmxTurn const& turn) {
  std::vector<unsigned char> pak(CKelmarNet::kMaxPakSize);
  pak[0] = 12;
  const std::uint32_t n =
      CKelmarNet::EncodeData(pak.data() + 3, turn.data(), static_cast<std::uint16_t>(turn.size()));
  pak.resize(3 + n);
  return pak;
}

int RawSocket(std::uint16_t port = 0) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(kLoopback);
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  const int sndbuf = 1024;  // what the peer's port asks for
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
  return fd;
}

std::uint16_t LocalPort(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  return ntohs(sa.sin_port);
}

void SetRecvTimeout(int fd, double seconds) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(seconds);
  tv.tv_usec = static_cast<suseconds_t>((seconds - static_cast<double>(tv.tv_sec)) * 1e6);
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

sockaddr_in LoopbackAddr(std::uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(kLoopback);
  return sa;
}

// Datagrams the kernel dropped so far at the UDP socket bound to local `port` because
// its receive buffer was full (the last column of /proc/net/udp); -1 if not found.
long SocketDrops(unsigned port) {
  std::FILE* f = std::fopen("/proc/net/udp", "r");
  if (!f) return -1;
  char line[512];
  long drops = -1;
  std::fgets(line, sizeof line, f);  // heading
  while (std::fgets(line, sizeof line, f)) {
    const auto w = Words(line);
    const std::size_t colon = w.size() > 1 ? w[1].find(':') : std::string::npos;
    if (w.size() < 13 || colon == std::string::npos) continue;
    if (std::strtoul(w[1].c_str() + colon + 1, nullptr, 16) == port)
      drops = std::atol(w.back().c_str());
  }
  std::fclose(f);
  return drops;
}

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
  explicit CSideB(CLineChannel& ctl) : LHandler(nullptr), mCtl(ctl), mPeer(this, mWorld) {
    mPeer.SetListen(true);
  }
  ~CSideB() override {
    if (mRaw >= 0) close(mRaw);
  }

  int Run() {
    if (!mPeer.Open(0)) return mCtl.Send("error B: peer Open failed"), 1;
    mRaw = RawSocket();
    if (mRaw < 0) return mCtl.Send("error B: raw socket"), 1;
    mCtl.Send("ready " + std::to_string(mPeer.port()) + " " + std::to_string(LocalPort(mRaw)));
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
    if (n < 13) return;
    const auto seq = static_cast<std::uint32_t>(GetBE(mPeer.recvTurn() + 1, 4));
    const std::int64_t now = MonoNs();
    if (mCount == 0) mFirstNs = now;
    mLastNs = now;
    ++mCount;
    if (mExpect != 0 && seq > mExpect) mGaps += seq - mExpect;
    if (seq >= mExpect) mExpect = seq + 1;
    if (!mEcho) return;
    mEchoTurn.SetSize(n);
    std::memcpy(mEchoTurn.data(), mPeer.recvTurn(), n);
    mPeer.SendTurnA(mEchoTurn);
  }

  void Frame(CRunLoop& loop) {
    std::string line;
    while (mCtl.TryRecv(line)) Command(loop, Words(line));
    if (mCtl.gone()) loop.Stop();
  }

  void Command(CRunLoop& loop, std::vector<std::string> const& w) {
    if (w.empty()) return;
    if (w[0] == "quit") {
      loop.Stop();
    } else if (w[0] == "echo" || w[0] == "count") {
      mEcho = w[0] == "echo";
      mCount = mGaps = 0;
      mExpect = 0;
      mSwitches = ContextSwitches();
      mDrops = SocketDrops(mPeer.port());
      mCtl.Send("ok");
    } else if (w[0] == "stats") {
      mCtl.Send("stats " + std::to_string(mCount) + " " + std::to_string(mGaps) + " " +
                std::to_string(mFirstNs) + " " + std::to_string(mLastNs) + " " +
                std::to_string(ContextSwitches() - mSwitches) + " " +
                std::to_string(SocketDrops(mPeer.port()) - mDrops));
    } else if (w[0] == "raw" && w.size() == 2) {
      RawEcho(std::atoi(w[1].c_str()));
    } else if (w[0] == "rawsink") {
      RawSink();
    }
  }

  // Echoes up to n datagrams on the plain socket, blocking; the loop waits meanwhile.
  void RawEcho(int n) {
    SetRecvTimeout(mRaw, 0.5);
    const long switches = ContextSwitches();
    mCtl.Send("ok");
    unsigned char buf[2048];
    int echoed = 0;
    for (; echoed < n; ++echoed) {
      sockaddr_in from{};
      socklen_t len = sizeof from;
      const ssize_t got =
          recvfrom(mRaw, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
      if (got < 0) break;  // nothing for 0.5 s: the round is over
      sendto(mRaw, buf, static_cast<std::size_t>(got), 0, reinterpret_cast<sockaddr*>(&from), len);
    }
    mCtl.Send("rawdone " + std::to_string(echoed) + " " +
              std::to_string(ContextSwitches() - switches));
  }

  // Counts datagrams on the plain socket until 0.3 s pass without one.
  void RawSink() {
    SetRecvTimeout(mRaw, 2.0);
    const long drops = SocketDrops(LocalPort(mRaw));
    mCtl.Send("ok");
    unsigned char buf[2048];
    long count = 0;
    std::int64_t first = 0, last = 0;
    for (;;) {
      const ssize_t got = recv(mRaw, buf, sizeof buf, 0);
      if (got < 0) break;
      last = MonoNs();
      if (count++ == 0) {
        first = last;
        SetRecvTimeout(mRaw, 0.3);
      }
    }
    mCtl.Send("rawsink " + std::to_string(count) + " " + std::to_string(first) + " " +
              std::to_string(last) + " " + std::to_string(SocketDrops(LocalPort(mRaw)) - drops));
  }

  CLineChannel& mCtl;
  CAsyncWorld_Null mWorld;
  CKelmarNetPeer mPeer;
  CDmxTurn mEchoTurn;
  int mRaw = -1;
  bool mEcho = true;
  long mCount = 0;
  long mGaps = 0;
  std::uint32_t mExpect = 0;
  std::int64_t mFirstNs = 0;
  std::int64_t mLastNs = 0;
  long mSwitches = 0;
  long mDrops = 0;
};

int RunB(int ctlFd) {
  CLineChannel ctl(ctlFd);
  CSideB b(ctl);
  return b.Run();
}

// ---- side A ---------------------------------------------------------------------

struct SLatency {
  std::vector<double> us;  // round trips, microseconds
  std::vector<double> roundMedians;
  std::vector<double> roundP99s;
  long lost = 0;      // no echo in time
  long late = 0;      // echoes that came after their turn was counted lost
  long switches = 0;  // context switches of both processes during the rounds
  long exchanges = 0;
};

class CSideA : public LHandler {
 public:
  CSideA(CLineChannel& ctl, SOptions const& opt)
      : LHandler(nullptr), mCtl(ctl), mOpt(opt), mPeer(this, mWorld) {
    FillShow(mTurn);
  }
  ~CSideA() override {
    if (mRaw >= 0) close(mRaw);
  }

  int Run() {
    CRunLoop& loop = CRunLoop::Current();
    if (!mB.Start({"--role=b"})) return Fail("cannot start side B");
    std::string line;
    if (!mB.channel().Recv(line, 10)) return Fail("side B did not start");
    auto w = Words(line);
    if (w.size() != 3 || w[0] != "ready") return Fail("side B: " + line);
    const auto peerPort = static_cast<std::int32_t>(std::atoi(w[1].c_str()));
    mRawPort = static_cast<std::uint16_t>(std::atoi(w[2].c_str()));
    mRaw = RawSocket();
    if (mRaw < 0) return Fail("raw socket");
    if (!mPeer.Open(0)) return Fail("peer Open failed");

    CFrameTimer frames(kFps, [&] { Frame(); });
    frames.Start();
    mPeer.Connect({kLoopback, peerPort}, LString());
    if (!Pump(
            loop, [&] { return mPeer.state() == CKelmarNetPeer::stConnected; }, 5))
      return Fail("no connection to side B within 5 s");

    StampTurn(mTurn, 1, MonoNs());
    mImage = PakTurnImage(mTurn);
    Report("size " + std::to_string(mImage.size()));

    // Warm-up of both paths, then rounds in which raw and peer blocks alternate.
    SLatency raw, peer, scratch;
    std::vector<double> rawRound, peerRound;
    if (!RawBlock(kWarmup, scratch, rawRound) || !PeerBlock(loop, kWarmup, scratch, peerRound))
      return Fail("warm-up failed");
    for (int r = 0; r < mOpt.rounds; ++r) {
      rawRound.clear();
      peerRound.clear();
      for (int done = 0; done < mOpt.turns; done += kBlock) {
        const int n = std::min(kBlock, mOpt.turns - done);
        if (!RawBlock(n, raw, rawRound)) return Fail("raw block failed");
        if (!PeerBlock(loop, n, peer, peerRound)) return Fail("peer block failed");
      }
      raw.roundMedians.push_back(Quantile(rawRound, 0.5));
      peer.roundMedians.push_back(Quantile(peerRound, 0.5));
      raw.roundP99s.push_back(Quantile(rawRound, 0.99));
      peer.roundP99s.push_back(Quantile(peerRound, 0.99));
    }
    ReportLatency("raw", raw);
    ReportLatency("peer", peer);
    Report("gapsB " + std::to_string(mGapsB));

    if (mOpt.throughput && !RawThroughput()) return Fail("raw throughput failed");
    if (mOpt.throughput && !PeerThroughput(loop)) return Fail("peer throughput failed");

    mPeer.Disconnect(CKelmarNetPeer::stIdle);
    Pump(
        loop, [] { return false; }, 0.05);  // the close notice goes out
    mB.channel().Send("quit");
    const int status = mB.Finish(3);
    if (!(WIFEXITED(status) && WEXITSTATUS(status) == 0))
      return Fail("side B ended badly: " + StatusText(status));
    mCtl.Send("done");
    return 0;
  }

  LEvent HandleEvent(LEvent const& e) override {
    if (e.is(CKelmarNetPeer::rRecv, &mPeer)) return Received(), LEvent();
    if (e.is(CKelmarNetPeer::rConn, &mPeer)) return mPeer.Accept(false), LEvent();
    if (e.is(CKelmarNetPeer::rStat, &mPeer) || e.is(CKelmarNetPeer::rBcon, &mPeer)) return LEvent();
    return LHandler::HandleEvent(e);
  }

 private:
  int Fail(std::string const& why) {
    mCtl.Send("error A: " + why);
    return 1;
  }
  void Report(std::string const& what) { mCtl.Send("r " + what); }

  bool Ask(std::string const& command, std::string& reply, double timeout = 5) {
    return mB.channel().Send(command) && mB.channel().Recv(reply, timeout);
  }

  void ReportLatency(char const* path, SLatency const& l) {
    auto range = [](std::vector<double> const& v) {
      if (v.empty()) return std::pair{0.0, 0.0};
      auto [lo, hi] = std::minmax_element(v.begin(), v.end());
      return std::pair{*lo, *hi};
    };
    const auto [mlo, mhi] = range(l.roundMedians);
    const auto [plo, phi] = range(l.roundP99s);
    char text[256];
    std::snprintf(text, sizeof text, "lat %s %.3f %.3f %ld %ld %zu %.3f %.3f %.2f %.3f %.3f", path,
                  Quantile(l.us, 0.5), Quantile(l.us, 0.99), l.lost, l.late, l.us.size(), mlo, mhi,
                  l.exchanges ? static_cast<double>(l.switches) / l.exchanges : 0.0, plo, phi);
    Report(text);
  }

  // Blocking ping-pong of the pakTurn-sized datagram.
  bool RawBlock(int n, SLatency& out, std::vector<double>& round) {
    std::string reply;
    if (!Ask("raw " + std::to_string(n), reply) || reply != "ok") return false;
    SetRecvTimeout(mRaw, kLostAfterNs * 1e-9);
    const sockaddr_in to = LoopbackAddr(mRawPort);
    std::vector<unsigned char> buf = mImage;
    unsigned char in[2048];
    std::vector<double> us;
    const long switches = ContextSwitches();
    for (int i = 0; i < n; ++i) {
      const auto seq = static_cast<std::uint32_t>(++mRawSeq);
      PutBE(buf.data() + 3, seq, 4);
      const std::int64_t t0 = MonoNs();
      sendto(mRaw, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr const*>(&to), sizeof to);
      for (;;) {
        const ssize_t got = recv(mRaw, in, sizeof in, 0);
        if (got < 0) {
          ++out.lost;
          break;
        }
        if (got >= 7 && GetBE(in + 3, 4) == seq) {
          us.push_back(static_cast<double>(MonoNs() - t0) * 1e-3);
          break;
        }
        ++out.late;
      }
    }
    const long mine = ContextSwitches() - switches;
    if (!mB.channel().Recv(reply, 5)) return false;
    const auto w = Words(reply);
    out.switches += mine + (w.size() == 3 ? std::atol(w[2].c_str()) : 0);
    out.exchanges += n;
    out.us.insert(out.us.end(), us.begin(), us.end());
    round.insert(round.end(), us.begin(), us.end());
    return true;
  }

  // One turn in flight: the echo's receive event hands over the next one.
  bool PeerBlock(CRunLoop& loop, int n, SLatency& out, std::vector<double>& round) {
    std::string reply;
    if (!Ask("echo", reply) || reply != "ok") return false;
    mLat = &out;
    mRoundUs.clear();
    mLeft = n;
    const long switches = ContextSwitches();
    HandOver();
    const bool ok = Pump(
        loop, [&] { return mLeft == 0 && !mInFlight; }, 60);
    const long mine = ContextSwitches() - switches;
    mLat = nullptr;
    if (!Ask("stats", reply)) return false;
    const auto w = Words(reply);
    if (w.size() >= 3) mGapsB += std::atol(w[2].c_str());
    out.switches += mine + (w.size() >= 6 ? std::atol(w[5].c_str()) : 0);
    out.exchanges += n;
    out.us.insert(out.us.end(), mRoundUs.begin(), mRoundUs.end());
    round.insert(round.end(), mRoundUs.begin(), mRoundUs.end());
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
    StampTurn(mTurn, mSeq, mSentNs);
    mPeer.SendTurnA(mTurn);
  }

  void Received() {
    const std::int64_t now = MonoNs();
    if (mPeer.recvSize() < 13 || !mLat) return;
    const auto seq = static_cast<std::uint32_t>(GetBE(mPeer.recvTurn() + 1, 4));
    if (!mInFlight || seq != mSeq) {
      ++mLat->late;
      return;
    }
    mRoundUs.push_back(static_cast<double>(now - mSentNs) * 1e-3);
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
    StampTurn(a->mTurn, a->mSeq, MonoNs());
    a->mPeer.SendTurnA(a->mTurn);
    ++a->mHandedOver;
  }

  bool RawThroughput() {
    std::string reply;
    if (!Ask("rawsink", reply) || reply != "ok") return false;
    const sockaddr_in to = LoopbackAddr(mRawPort);
    std::vector<unsigned char> buf = mImage;
    long sent = 0, failed = 0;
    const std::int64_t t0 = MonoNs();
    const std::int64_t end = t0 + static_cast<std::int64_t>(mOpt.seconds * 1e9);
    std::int64_t now = t0;
    while (now < end) {
      for (int k = 0; k < 64; ++k) {
        PutBE(buf.data() + 3, static_cast<std::uint32_t>(++mRawSeq), 4);
        if (sendto(mRaw, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr const*>(&to),
                   sizeof to) < 0)
          ++failed;
        else
          ++sent;
      }
      now = MonoNs();
    }
    if (!mB.channel().Recv(reply, 10)) return false;
    const auto w = Words(reply);
    if (w.size() != 5) return false;
    const double secs = static_cast<double>(now - t0) * 1e-9;
    const long got = std::atol(w[1].c_str());
    const double recvSecs = static_cast<double>(std::atoll(w[3].c_str()) - t0) * 1e-9;
    char text[200];
    std::snprintf(text, sizeof text, "tput raw %.0f %.0f %ld %ld %ld", sent / secs,
                  recvSecs > 0 ? got / recvSecs : 0.0, sent, sent - got, std::atol(w[4].c_str()));
    Report(text);
    return true;
  }

  bool PeerThroughput(CRunLoop& loop) {
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
    const double secs = static_cast<double>(now - t0) * 1e-9;
    Pump(
        loop, [] { return false; }, 0.3);  // let B drain its socket
    if (!Ask("stats", reply)) return false;
    const auto w = Words(reply);
    if (w.size() != 7) return false;
    const long got = std::atol(w[1].c_str());
    const long drops = std::atol(w[6].c_str());
    const double recvSecs = static_cast<double>(std::atoll(w[4].c_str()) - t0) * 1e-9;
    char text[200];
    std::snprintf(text, sizeof text, "tput peer %.0f %.0f %ld %ld %ld", mHandedOver / secs,
                  recvSecs > 0 ? got / recvSecs : 0.0, mHandedOver, mHandedOver - got, drops);
    Report(text);
    return true;
  }

  CLineChannel& mCtl;
  SOptions const& mOpt;
  CChild mB;
  CAsyncWorld_Null mWorld;
  CKelmarNetPeer mPeer;
  CDmxTurn mTurn;
  std::vector<unsigned char> mImage;
  int mRaw = -1;
  std::uint16_t mRawPort = 0;
  std::uint32_t mRawSeq = 0;
  // latency rounds
  SLatency* mLat = nullptr;
  std::vector<double> mRoundUs;
  int mLeft = 0;
  bool mInFlight = false;
  std::uint32_t mSeq = 0;
  std::uint32_t mNextSeq = 0;
  std::int64_t mSentNs = 0;
  long mGapsB = 0;
  long mHandedOver = 0;
};

int RunA(int ctlFd, SOptions const& opt) {
  CLineChannel ctl(ctlFd);
  CSideA a(ctl, opt);
  return a.Run();
}

// ---- the report -----------------------------------------------------------------

struct SModeResult {
  bool ok = false;
  std::string error;
  std::map<std::string, std::vector<std::string>> r;  // "lat raw" -> values
  double num(std::string const& key, std::size_t i) const {
    auto it = r.find(key);
    return it == r.end() || i >= it->second.size() ? 0.0 : std::atof(it->second[i].c_str());
  }
};

SModeResult RunMode(SOptions const& opt, bool pinned) {
  SModeResult res;
  CChild a;
  std::vector<std::string> args{"--role=a", "--rounds=" + std::to_string(opt.rounds),
                                "--turns=" + std::to_string(opt.turns),
                                "--seconds=" + std::to_string(opt.seconds)};
  if (!opt.throughput) args.push_back("--no-throughput");
  if (!a.Start(args, pinned ? opt.cpu : -1)) {
    res.error = "cannot start side A";
    return res;
  }
  const double budget = 30 + opt.rounds * opt.turns * 0.002 + 4 * opt.seconds;
  std::string line;
  while (a.channel().Recv(line, budget)) {
    auto w = Words(line);
    if (w.empty()) continue;
    if (w[0] == "done") {
      res.ok = true;
      break;
    }
    if (w[0] == "error") {
      res.error = line.substr(6);
      break;
    }
    if (w[0] == "r" && w.size() >= 2) {
      std::string key = w[1];
      std::size_t first = 2;
      if ((w[1] == "lat" || w[1] == "tput") && w.size() >= 3) key += " " + w[2], first = 3;
      res.r[key] =
          std::vector<std::string>(w.begin() + static_cast<std::ptrdiff_t>(first), w.end());
    }
  }
  const int status = a.Finish(5);
  if (res.ok && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
    res.ok = false;
    res.error = "side A ended badly: " + StatusText(status);
  } else if (!res.ok && res.error.empty()) {
    res.error = "side A stopped answering (" + StatusText(status) + ")";
  }
  return res;
}

void PrintMode(char const* mode, SModeResult const& m, SOptions const& opt) {
  std::printf("\n== %s ==\n", mode);
  if (!m.ok) {
    std::printf("FAILED: %s\n", m.error.c_str());
    return;
  }
  const double rawMed = m.num("lat raw", 0), rawP99 = m.num("lat raw", 1);
  std::printf("datagram: full pakTurn of a 513-byte show turn = %.0f bytes\n", m.num("size", 0));
  std::printf("round trip, %d rounds x %d turns, one in flight (microseconds)\n", opt.rounds,
              opt.turns);
  std::printf("  %-22s %9s %9s %9s %9s %7s %6s %6s %9s  %s\n", "path", "median", "p99", "x med",
              "x p99", "count", "lost", "late", "switches", "per round: median, p99");
  for (char const* path : {"raw", "peer"}) {
    const std::string key = std::string("lat ") + path;
    const double a = m.num(key, 0), b = m.num(key, 1);
    std::printf("  %-22s %9.1f %9.1f %9.2f %9.2f %7.0f %6.0f %6.0f %9.2f  %.1f..%.1f, %.1f..%.1f\n",
                path[0] == 'r' ? "raw UDP ping-pong" : "peer turn echo", a, b, a / rawMed,
                b / rawP99, m.num(key, 4), m.num(key, 2), m.num(key, 3), m.num(key, 7),
                m.num(key, 5), m.num(key, 6), m.num(key, 8), m.num(key, 9));
  }
  std::printf("  switches: context switches of both processes per round trip (getrusage)\n");
  std::printf("  sequence gaps seen at B during the peer rounds: %.0f\n", m.num("gapsB", 0));
  if (!opt.throughput) return;
  const double rawRate = m.num("tput raw", 0);
  std::printf("throughput over %.1f s (per second)\n", opt.seconds);
  std::printf("  %-34s %12s %9s %10s %10s %12s\n", "path", "rate/s", "x raw", "count", "lost",
              "buffer drops");
  std::printf("  %-34s %12.0f %9.2f %10.0f %10s\n", "raw sendto (baseline)", rawRate, 1.0,
              m.num("tput raw", 2), "-");
  std::printf("  %-34s %12.0f %9.2f %10s %10.0f %12.0f\n", "raw datagrams received at B",
              m.num("tput raw", 1), m.num("tput raw", 1) / rawRate, "-", m.num("tput raw", 3),
              m.num("tput raw", 4));
  std::printf("  %-34s %12.0f %9.2f %10.0f %10s\n", "peer turns handed over at A",
              m.num("tput peer", 0), m.num("tput peer", 0) / rawRate, m.num("tput peer", 2), "-");
  std::printf("  %-34s %12.0f %9.2f %10s %10.0f %12.0f\n", "peer turns delivered at B",
              m.num("tput peer", 1), m.num("tput peer", 1) / rawRate, "-", m.num("tput peer", 3),
              m.num("tput peer", 4));
  std::printf(
      "  lost = handed over or sent, never received; buffer drops = of those, dropped by\n"
      "  B's socket because its receive buffer was full (the sender outran the receiver)\n");
}

void PrintTargets(char const* mode, SModeResult const& m) {
  if (!m.ok) return;
  const double xm = m.num("lat peer", 0) / m.num("lat raw", 0);
  const double xp = m.num("lat peer", 1) / m.num("lat raw", 1);
  const double lost = m.num("lat peer", 2) + m.num("gapsB", 0);
  const double rate = m.num("tput peer", 1);
  char tput[64] = "not measured";
  if (m.r.count("tput peer"))
    std::snprintf(tput, sizeof tput, "%.0f/s (>= 5000: %s)", rate, rate >= 5000 ? "met" : "MISSED");
  std::printf(
      "  %-9s median %.2fx raw (<= 3.5: %s)  p99 %.2fx raw (<= 8: %s)  lost %.0f (%s)"
      "  delivered %s\n",
      mode, xm, xm <= 3.5 ? "met" : "MISSED", xp, xp <= 8 ? "met" : "MISSED", lost,
      lost == 0 ? "met" : "MISSED", tput);
}

}  // namespace

int main(int argc, char** argv) {
  SOptions opt;
  if (auto v = ArgValue(argc, argv, "--rounds"); !v.empty()) opt.rounds = std::atoi(v.c_str());
  if (auto v = ArgValue(argc, argv, "--turns"); !v.empty()) opt.turns = std::atoi(v.c_str());
  if (auto v = ArgValue(argc, argv, "--seconds"); !v.empty()) opt.seconds = std::atof(v.c_str());
  if (auto v = ArgValue(argc, argv, "--cpu"); !v.empty()) opt.cpu = std::atoi(v.c_str());
  opt.throughput = !HasArg(argc, argv, "--no-throughput");
  if (HasArg(argc, argv, "--pinned") || HasArg(argc, argv, "--unpinned")) {
    opt.pinned = HasArg(argc, argv, "--pinned");
    opt.unpinned = HasArg(argc, argv, "--unpinned");
  }
  if (opt.rounds < 1 || opt.turns < 10 || opt.seconds <= 0 || opt.seconds > 60) {
    std::fprintf(stderr,
                 "usage: %s [--pinned|--unpinned] [--cpu N] [--rounds R>=1] [--turns T>=10] "
                 "[--seconds 0<S<=60] [--no-throughput]\n",
                 argv[0]);
    return 2;
  }

  const std::string role = ArgValue(argc, argv, "--role");
  const std::string ctl = ArgValue(argc, argv, "--ctl");
  if (!role.empty()) {
    if (ctl.empty()) return 2;
    if (role == "a") return RunA(std::atoi(ctl.c_str()), opt);
    if (role == "b") return RunB(std::atoi(ctl.c_str()));
    return 2;
  }

  std::printf(
      "e2e_bench: peer A -> peer B -> peer A on 127.0.0.1, two processes, each a socket\n"
      "port + I/O signal thread + run-loop world (100 Hz frame timer). Baselines are plain\n"
      "blocking UDP between the same two processes, measured in the same run.\n");
  std::fflush(stdout);
  SModeResult pinned, unpinned;
  if (opt.pinned) {
    pinned = RunMode(opt, true);
    PrintMode(("pinned: both processes on CPU " + std::to_string(opt.cpu)).c_str(), pinned, opt);
    std::fflush(stdout);
  }
  if (opt.unpinned) {
    unpinned = RunMode(opt, false);
    PrintMode("unpinned: every CPU", unpinned, opt);
  }
  std::printf("\ntargets (median <= 3.5x raw, p99 <= 8x raw, no turn lost, >= 5000 turns/s):\n");
  if (opt.pinned) PrintTargets("pinned", pinned);
  if (opt.unpinned) PrintTargets("unpinned", unpinned);
  const bool ok = (!opt.pinned || pinned.ok) && (!opt.unpinned || unpinned.ok);
  return ok ? 0 : 1;
}
