// What the web page's live channel costs kelmar-host, and how soon a turn it receives
// reaches a page.
//
// The program starts kelmar-host (-q, 60 fps) with a composition of two patches and its
// page on 127.0.0.1, and connects two peers of its own to the patches. Each sends a turn
// of 512 levels every frame at 60 fps, every level changed from the turn before: 1024
// levels changing. Slots 1-12 of each turn carry a sequence number and the
// CLOCK_MONOTONIC time it was handed over. A turn goes out at a random point of its
// frame, so that over a run turns meet every phase of the host's own frame timer.
//
// CPU: the host's CPU time (every thread, from /proc) over windows with no live client,
// then with four clients reading /api/events (plain HTTP, the stream read as it comes),
// alternated in rounds. Target: four clients <= 1.5x none.
//
// Latency: every client decodes each patch's stamp from the "out" levels of each event
// as it arrives; a stamp it has not seen yet is a turn that reached it, timed from its
// hand-over at the peer (both on CLOCK_MONOTONIC). Target: p99 <= one frame (1/60 s).
//
// Usage: web_bench [--host PATH] [--rounds R] [--seconds S] [--clients N]
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "CAsyncWorld_Null.h"
#include "CBenchArgs.h"
#include "CBenchProc.h"
#include "CBenchStats.h"
#include "CBenchTurns.h"
#include "CBenchUdp.h"
#include "CKelmarNetPeer.h"
#include "CRunLoop.h"

#ifndef KN_HOST_PATH
#define KN_HOST_PATH "kelmar-host"
#endif

namespace {

using namespace bench;

constexpr double kFps = 60;
constexpr double kFrameMs = 1000.0 / kFps;
constexpr int kPatches = 2;

struct SOptions {
  explicit SOptions(CBenchArgs const& args)
      : host(args.Value("--host").empty() ? KN_HOST_PATH : args.Value("--host")),
        rounds(args.Int("--rounds", 3)),
        seconds(args.Real("--seconds", 5)),
        clients(args.Int("--clients", 4)) {}
  bool valid() const { return rounds >= 1 && seconds > 0 && seconds <= 60 && clients >= 1; }

  std::string host;
  int rounds;
  double seconds;
  int clients;
};

// Runs the calling thread's loop until `done` or `timeout` seconds; true if done.
bool Pump(CRunLoop& loop, std::function<bool()> const& done, double timeout) {
  const double end = MonoSec() + timeout;
  while (!done()) {
    if (MonoSec() >= end) return false;
    loop.RunOnce(0.005);
  }
  return true;
}

void PumpFor(CRunLoop& loop, double seconds) {
  Pump(
      loop, [] { return false; }, seconds);
}

// A UDP port that was free a moment ago.
int FreeUdpPort() {
  CBenchUdp s;
  return s.Open() ? int(s.port()) : 0;
}

// ---- the host ---------------------------------------------------------------------

// kelmar-host in a folder of its own: its composition and its standard error there.
class CHostProcess {
 public:
  ~CHostProcess() {
    if (mPid > 0) {
      kill(mPid, SIGTERM);
      int status = 0;
      waitpid(mPid, &status, 0);
    }
    std::error_code ec;
    if (!mDir.empty()) std::filesystem::remove_all(mDir, ec);
  }

  // Starts the host with a patch on each of `ports`; false with `error`.
  bool Start(std::string const& program, std::vector<int> const& ports, std::string* error) {
    char dir[] = "/tmp/web_bench.XXXXXX";
    if (!mkdtemp(dir)) return *error = "no temporary folder", false;
    mDir = dir;
    std::string text = "{\"patches\": [";
    for (std::size_t i = 0; i < ports.size(); ++i)
      text += std::string(i ? ", " : "") +
              "{\"patch\": \"Kelmar Network\", \"settings\": {\"udpPort\": " +
              std::to_string(ports[i]) + "}}";
    std::ofstream(mDir + "/composition.json") << text << "]}\n";
    const std::string log = mDir + "/stderr.txt";
    const pid_t parent = getpid();
    mPid = fork();
    if (mPid < 0) return *error = "fork failed", false;
    if (mPid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(1);
      const int in = open("/dev/null", O_RDONLY), out = open("/dev/null", O_WRONLY),
                err = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(in, 0), dup2(out, 1), dup2(err, 2);
      const std::string comp = mDir + "/composition.json";
      execl(program.c_str(), program.c_str(), "-q", "-r", "60", "-c", comp.c_str(), "--http",
            "127.0.0.1:0", static_cast<char*>(nullptr));
      _exit(127);
    }
    // It names its page on standard error once it serves.
    const double end = MonoSec() + 10;
    static constexpr char kMark[] = "the page is at http://127.0.0.1:";
    while (MonoSec() < end) {
      std::ifstream in(log);
      std::stringstream all;
      all << in.rdbuf();
      const std::string seen = all.str();
      if (auto at = seen.find(kMark); at != std::string::npos) {
        mHttpPort = std::atoi(seen.c_str() + at + sizeof kMark - 1);
        return true;
      }
      int status = 0;
      if (waitpid(mPid, &status, WNOHANG) == mPid) {
        mPid = -1;
        return *error = program + " ended (" + StatusText(status) + "): " + seen, false;
      }
      usleep(20000);
    }
    return *error = program + " did not name its page within 10 s", false;
  }

  int httpPort() const { return mHttpPort; }

  // CPU time of every thread of the host so far in nanoseconds, and the times its
  // threads were switched in (the scheduler's counts, /proc/PID/task/*/schedstat).
  struct SCpu {
    double ns = 0, runs = 0;
  };
  SCpu Cpu() const {
    const std::string tasks = "/proc/" + std::to_string(mPid) + "/task";
    SCpu cpu;
    if (DIR* d = opendir(tasks.c_str())) {
      while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream in(tasks + "/" + e->d_name + "/schedstat");
        double run = 0, wait = 0, runs = 0;
        if (in >> run >> wait >> runs) cpu.ns += run, cpu.runs += runs;
      }
      closedir(d);
    }
    return cpu;
  }

 private:
  pid_t mPid = -1;
  int mHttpPort = 0;
  std::string mDir;
};

// ---- the live clients -------------------------------------------------------------

// Records the turns that reach clients: shared by every client thread.
struct SArrivals {
  std::atomic<bool> recording{false};
  std::mutex lock;
  CBenchStats ms;  // hand-over at the peer to arrival at a client
  long seen = 0;   // new turns seen, summed over clients and patches
};

// A plain HTTP client on /api/events, reading the chunked stream on a thread of its own.
class CLiveClient {
 public:
  CLiveClient(int port, SArrivals& arrivals) : mArrivals(arrivals) {
    mFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in const to = LoopbackAddr(static_cast<std::uint16_t>(port));
    if (mFd < 0 || connect(mFd, reinterpret_cast<sockaddr const*>(&to), sizeof to) != 0) return;
    const std::string request =
        "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
        "\r\nAccept: text/event-stream\r\nConnection: keep-alive\r\n\r\n";
    if (send(mFd, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size())) return;
    mThread = std::thread([this] { Read(); });
  }
  ~CLiveClient() {
    if (mFd >= 0) shutdown(mFd, SHUT_RDWR);
    if (mThread.joinable()) mThread.join();
    if (mFd >= 0) close(mFd);
  }
  long events() const { return mEvents; }

 private:
  void Read() {
    std::string buf;
    char chunk[16384];
    bool headers = true;
    for (;;) {
      const ssize_t n = recv(mFd, chunk, sizeof chunk, 0);
      if (n <= 0) return;
      buf.append(chunk, std::size_t(n));
      const std::int64_t now = MonoNs();
      if (headers) {
        auto end = buf.find("\r\n\r\n");
        if (end == std::string::npos) continue;
        if (buf.compare(0, 12, "HTTP/1.1 200") != 0) return;
        buf.erase(0, end + 4);
        headers = false;
      }
      // Chunks: a size line in hex, the bytes, CRLF. A frame is written as one chunk.
      for (;;) {
        auto line = buf.find("\r\n");
        if (line == std::string::npos) break;
        const std::size_t size = std::strtoul(buf.c_str(), nullptr, 16);
        if (buf.size() < line + 2 + size + 2) break;
        mPending.append(buf, line + 2, size);
        buf.erase(0, line + 2 + size + 2);
        if (size == 0) return;  // the end of the stream
      }
      for (std::size_t end; (end = mPending.find("\n\n")) != std::string::npos;) {
        Event(mPending.substr(0, end), now);
        mPending.erase(0, end + 2);
      }
    }
  }

  // One event: each patch's stamp from the first 12 levels of its "out".
  void Event(std::string const& text, std::int64_t now) {
    if (text.rfind("id:", 0) != 0) return;  // a keep-alive comment
    ++mEvents;
    std::size_t at = 0;
    for (int patch = 0; patch < kPatches; ++patch) {
      static constexpr char kOut[] = "\"out\":\"";
      at = text.find(kOut, at);
      if (at == std::string::npos || text.size() < at + sizeof kOut - 1 + 2 * SStamp::kSize) return;
      at += sizeof kOut - 1;
      unsigned char bytes[SStamp::kSize];
      for (std::size_t i = 0; i < SStamp::kSize; ++i)
        bytes[i] = static_cast<unsigned char>(std::stoi(text.substr(at + 2 * i, 2), nullptr, 16));
      SStamp stamp;
      stamp.Get(bytes, sizeof bytes, 0);
      if (stamp.seq <= mSeen[patch]) continue;
      mSeen[patch] = stamp.seq;
      if (!mArrivals.recording) continue;
      std::lock_guard<std::mutex> hold(mArrivals.lock);
      mArrivals.ms.Add(double(now - stamp.ns) * 1e-6);
      ++mArrivals.seen;
    }
  }

  SArrivals& mArrivals;
  int mFd = -1;
  std::thread mThread;
  std::string mPending;
  std::atomic<long> mEvents{0};
  std::uint32_t mSeen[kPatches] = {};
};

// ---- the peers --------------------------------------------------------------------

// Two peers connected to the host's patches, each handing over a changed 512-level
// turn once a frame, at a random point of the frame.
class CSender : public LHandler {
 public:
  CSender() : LHandler(nullptr), mTimer(&OnTimer, this) {
    for (int i = 0; i < kPatches; ++i)
      mPeers.push_back(std::make_unique<CKelmarNetPeer>(this, mWorld));
    mTurn.SetSize(CKelmarNet::kMaxTurnSize);
    mTurn.data()[0] = 0;  // start code: levels
  }

  bool Connect(std::vector<int> const& ports) {
    for (int i = 0; i < kPatches; ++i) {
      if (!mPeers[i]->Open(0)) return false;
      mPeers[i]->Connect({kLoopback, ports[i]}, LString());
    }
    mStart = MonoSec();
    mTimer.Arm(0);
    return true;
  }
  bool connected() const {
    for (auto const& p : mPeers)
      if (p->state() != CKelmarNetPeer::stConnected) return false;
    return true;
  }
  long sent() const { return mSent; }

  LEvent HandleEvent(LEvent const& e) override {
    for (auto const& p : mPeers)
      if (e.mSource == p.get()) {
        if (e.is(CKelmarNetPeer::rConn)) p->Accept(false);
        return LEvent();  // what the host sends back is not measured
      }
    return LHandler::HandleEvent(e);
  }

 private:
  static void OnTimer(CLoopTimer* timer, void* self) {
    auto* s = static_cast<CSender*>(self);
    s->Send();
    // The next frame's turn at a random point of that frame.
    const double due = s->mStart + (double(++s->mFrame) + s->mPhase(s->mRng)) / kFps;
    timer->Arm(std::max(0.0, due - MonoSec()));
  }

  void Send() {
    mWorld.DriveTimers();
    ++mSeq;
    std::uint8_t* d = mTurn.data();
    for (std::uint32_t k = 1 + SStamp::kSize; k < mTurn.size(); ++k)
      d[k] = static_cast<std::uint8_t>(mSeq * 7 + k);  // every level moves each turn
    SStamp{mSeq, MonoNs()}.Put(d, kStampSlot);
    for (auto const& p : mPeers) p->SendTurnA(mTurn);
    ++mSent;
  }

  CAsyncWorld_Null mWorld;
  std::vector<std::unique_ptr<CKelmarNetPeer>> mPeers;
  CDmxTurn mTurn;
  CLoopTimer mTimer;
  std::mt19937 mRng{2026};
  std::uniform_real_distribution<double> mPhase{0.0, 1.0};
  double mStart = 0;
  long mFrame = 0;
  std::uint32_t mSeq = 0;
  long mSent = 0;
};

// ---- the run ----------------------------------------------------------------------

char const* Pass(bool met) {
  return met ? "PASS" : "over";
}

int Run(SOptions const& opt) {
  std::vector<int> ports;
  for (int i = 0; i < kPatches; ++i) ports.push_back(FreeUdpPort());
  CHostProcess host;
  std::string error;
  if (!host.Start(opt.host, ports, &error)) return std::printf("FAILED: %s\n", error.c_str()), 1;

  CRunLoop& loop = CRunLoop::Current();
  CSender sender;
  if (!sender.Connect(ports)) return std::printf("FAILED: cannot open the peers' ports\n"), 1;
  if (!Pump(
          loop, [&] { return sender.connected(); }, 10))
    return std::printf("FAILED: the peers did not connect within 10 s\n"), 1;
  PumpFor(loop, 1.0);  // warm-up

  std::printf("window: %.1f s; host CPU as %% of one core and thread switch-ins per second\n",
              opt.seconds);
  std::printf("  %-6s %10s %9s %10s %9s %8s\n", "round", "no client", "switch/s", "clients",
              "switch/s", "ratio");
  SArrivals arrivals;
  CHostProcess::SCpu none, live;  // summed over the rounds
  double noneSeconds = 0, liveSeconds = 0;
  long sentLive = 0, events = 0;
  // The host's CPU over `seconds` of sending, added to `sum`; the time taken.
  auto measure = [&](CHostProcess::SCpu& sum, CHostProcess::SCpu& round) {
    const double t0 = MonoSec();
    const CHostProcess::SCpu c0 = host.Cpu();
    PumpFor(loop, opt.seconds);
    const CHostProcess::SCpu c1 = host.Cpu();
    const double seconds = MonoSec() - t0;
    round = {(c1.ns - c0.ns) / (seconds * 1e9), (c1.runs - c0.runs) / seconds};
    sum.ns += c1.ns - c0.ns, sum.runs += c1.runs - c0.runs;
    return seconds;
  };
  for (int r = 1; r <= opt.rounds; ++r) {
    PumpFor(loop, 0.5);  // clients of the last round are gone
    CHostProcess::SCpu alone, shared;
    noneSeconds += measure(none, alone);

    std::vector<std::unique_ptr<CLiveClient>> clients;
    for (int i = 0; i < opt.clients; ++i)
      clients.push_back(std::make_unique<CLiveClient>(host.httpPort(), arrivals));
    const bool started = Pump(
        loop,
        [&] {
          for (auto const& c : clients)
            if (c->events() == 0) return false;
          return true;
        },
        10);
    if (!started) return std::printf("FAILED: a live client got no event within 10 s\n"), 1;
    PumpFor(loop, 0.5);
    const long sent0 = sender.sent();
    for (auto const& c : clients) events -= c->events();
    arrivals.recording = true;
    liveSeconds += measure(live, shared);
    arrivals.recording = false;
    sentLive += sender.sent() - sent0;
    for (auto const& c : clients) events += c->events();
    clients.clear();
    std::printf("  %-6d %9.2f%% %9.0f %9.2f%% %9.0f %8.2f\n", r, 100 * alone.ns, alone.runs,
                100 * shared.ns, shared.runs, Ratio(shared.ns, alone.ns));
    std::fflush(stdout);
  }
  const double noneCpu = none.ns / (noneSeconds * 1e9), liveCpu = live.ns / (liveSeconds * 1e9);
  const double ratio = Ratio(liveCpu, noneCpu);
  std::printf("  %-6s %9.2f%% %9.0f %9.2f%% %9.0f %8.2f\n", "all", 100 * noneCpu,
              none.runs / noneSeconds, 100 * liveCpu, live.runs / liveSeconds, ratio);

  std::lock_guard<std::mutex> hold(arrivals.lock);
  CBenchStats const& ms = arrivals.ms;
  const double expected = double(sentLive) * kPatches * opt.clients;
  std::printf(
      "turn handed over at the peer -> its event read by a live client (ms; one frame = %.2f)\n",
      kFrameMs);
  std::printf("  %9s %9s %9s %9s %9s %12s %10s\n", "min", "median", "p99", "max", "x frame",
              "turns seen", "of sent");
  std::printf("  %9.2f %9.2f %9.2f %9.2f %9.2f %12zu %9.0f%%\n", ms.min(), ms.median(), ms.p99(),
              ms.max(), ms.p99() / kFrameMs, ms.count(), 100 * Ratio(double(ms.count()), expected));
  std::printf(
      "  turns seen: new stamps in the events, over clients and patches (a turn replaced by\n"
      "  a newer one before it was published is skipped); events per client: %.1f/s\n",
      Ratio(double(events), liveSeconds * opt.clients));
  std::printf("\ntargets:\n");
  std::printf("  host CPU, %d live clients: %.2fx no client (<= 1.5: %s)\n", opt.clients, ratio,
              Pass(ratio <= 1.5));
  std::printf("  turn -> live event p99: %.2f ms (<= %.2f: %s)\n", ms.p99(), kFrameMs,
              Pass(ms.count() > 0 && ms.p99() <= kFrameMs));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const CBenchArgs args(argc, argv);
  const SOptions opt(args);
  if (!opt.valid())
    return args.Usage("[--host PATH] [--rounds R>=1] [--seconds 0<S<=60] [--clients N>=1]");
  signal(SIGPIPE, SIG_IGN);
  std::printf(
      "web_bench: kelmar-host (%s) at 60 fps with %d patches, each receiving 512 levels\n"
      "that all change every frame (60 turns/s, from peers in this process); %d live\n"
      "clients on /api/events against none, in alternating windows. Figures on a shared\n"
      "machine are indicative.\n",
      opt.host.c_str(), kPatches, opt.clients);
  std::fflush(stdout);
  return Run(opt);
}
