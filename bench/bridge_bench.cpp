// Latency, losses and CPU of the OLA bridge beside a plain OLA relay, both measured in the
// same run through the same olad.
//
// Bridge: an OLA client sends on universe 3 -> olad -> `kelmar-peer listen --ola-in 3` ->
// Kelmar link over 127.0.0.1 -> `kelmar-peer connect --ola-out 4` -> olad -> an OLA client
// registered for universe 4. Baseline: in place of the two peers, a libola client (a copy
// of this program) that registers for universe 1 and sends each frame to universe 2 at once.
// olad runs as user olad, every plug-in off, in a network namespace that the main thread
// enters first (COlaTestbed); the programs started afterwards live there too.
//
// Both paths run side by side on universes of their own (the relay 1 -> 2, the bridge
// 3 -> 4) and are measured in turn, in blocks of about 10 s, so that a change of the
// machine's load meets both alike. Slots 1-4 of each frame carry its sequence number and
// slot 5 the block's, so each arrival is matched to its send exactly. A block is primed
// until a frame comes through, warmed up, then measured (CPU from each thread's schedstat).
//
// --cpu N pins the whole experiment (this program, olad, the relay and the nodes) to one
// CPU: wake-ups across CPUs cost a virtual machine dearly and unevenly, and where the
// scheduler happens to place each process moved the ratios by 2x from run to run.
// --node-cpu N keeps each process between the two olad hops (the relay, each node, all of
// their threads) on CPU N and lets olad and the clients go where the scheduler puts them:
// a node hands every frame between its threads, and on one CPU that costs no wake-up of
// another, as a node run with CPUAffinity= (or taskset) has it.
//
// Usage: bridge_bench [--seconds S] [--rate HZ] [--warmup S] [--ola-port N] [--peer PATH]
//                     [--cpu N | --node-cpu N]
#include <ola/Callback.h>
#include <ola/DmxBuffer.h>
#include <ola/client/OlaClient.h>
#include <ola/client/StreamingClient.h>
#include <ola/io/SelectServer.h>
#include <ola/network/IPV4Address.h>
#include <ola/network/SocketAddress.h>
#include <ola/network/TCPSocket.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CBenchArgs.h"
#include "CBenchProc.h"
#include "CBenchStats.h"
#include "COlaTestbed.h"

namespace {

using namespace bench;

constexpr unsigned kIn = 1, kOut = 2;              // the relay's universes
constexpr unsigned kBridgeIn = 3, kBridgeOut = 4;  // the bridge's
constexpr double kBlockS = 10;                     // a path's turn, about

// How many turns each path gets in `seconds`.
int Blocks(double seconds) {
  return std::max(1, static_cast<int>(std::lround(seconds / kBlockS)));
}
constexpr unsigned kSlots = 512;
constexpr int kKelmarPort = 51209;
constexpr double kPrimeS = 20, kDrainS = 1;

// An OLA client on a connection of its own, its select loop on a thread of its own; frames
// of the universe it registered for go to `onFrame` on that thread.
class COlaClient {
 public:
  using FrameFn = std::function<void(COlaClient&, ola::DmxBuffer const&)>;
  COlaClient(std::uint16_t port, FrameFn onFrame) : mPort(port), mOnFrame(std::move(onFrame)) {}
  ~COlaClient() {
    if (mThread.joinable()) {
      mSS.Execute(ola::NewSingleCallback(&mSS, &ola::io::SelectServer::Terminate));
      mThread.join();
    }
    if (mSocket) mSS.RemoveReadDescriptor(mSocket.get());
  }

  // Registers for `universe` and waits (bounded) for olad's answer.
  bool Register(unsigned universe) {
    namespace net = ola::network;
    mSocket.reset(
        net::TCPSocket::Connect(net::IPV4SocketAddress(net::IPV4Address::Loopback(), mPort)));
    if (!mSocket || !mSocket->SetNoDelay()) return false;
    mClient = std::make_unique<ola::client::OlaClient>(mSocket.get());
    if (!mClient->Setup()) return false;
    mClient->SetDMXCallback(ola::NewCallback(this, &COlaClient::Frame));
    mSS.AddReadDescriptor(mSocket.get());
    mClient->RegisterUniverse(universe, ola::client::REGISTER,
                              ola::NewSingleCallback(this, &COlaClient::Registered));
    mThread = std::thread([this] { mSS.Run(); });
    auto answer = mRegistered.get_future();
    return answer.wait_for(std::chrono::seconds(5)) == std::future_status::ready && answer.get();
  }
  // Select-loop thread only (from onFrame).
  void Send(unsigned universe, ola::DmxBuffer const& dmx) {
    mClient->SendDMX(universe, dmx, ola::client::SendDMXArgs());
  }

 private:
  void Registered(ola::client::Result const& result) { mRegistered.set_value(result.Success()); }
  void Frame(ola::client::DMXMetadata const&, ola::DmxBuffer const& dmx) { mOnFrame(*this, dmx); }

  const std::uint16_t mPort;
  FrameFn mOnFrame;
  ola::io::SelectServer mSS;
  std::unique_ptr<ola::network::TCPSocket> mSocket;
  std::unique_ptr<ola::client::OlaClient> mClient;
  std::thread mThread;
  std::promise<bool> mRegistered;  // olad's answer
};

// The baseline's relay, in a child process: universe 1 in, universe 2 out, until the
// channel closes.
int RunRelay(int ctlFd, std::uint16_t port) {
  CLineChannel ctl(ctlFd);
  COlaClient relay(port, [](COlaClient& self, ola::DmxBuffer const& dmx) { self.Send(kOut, dmx); });
  if (!relay.Register(kIn)) return ctl.Send("error relay cannot register for universe 1"), 1;
  ctl.Send("ready");
  for (std::string line; ctl.Recv(line, -1);) {
  }
  return 0;
}

// CPU time of a process so far, all its threads, in microseconds: the scheduler's own
// count of run time in nanoseconds (/proc/PID/task/TID/schedstat). The tick-sampled
// utime and stime of /proc/PID/stat charge a whole 10 ms tick to whoever runs when it
// strikes, which for wake-ups of a few microseconds swung the figures by 3x between runs.
double ProcCpuUs(pid_t pid) {
  namespace fs = std::filesystem;
  double ns = 0;
  std::error_code ec;
  for (auto const& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::ifstream in(task.path() / "schedstat");
    double run = 0;
    if (in >> run) ns += run;
  }
  return ns / 1e3;
}

// A kelmar-peer in the namespace, its output in a file; it dies with this program and is
// stopped (SIGTERM, SIGKILL after 3 s) and reaped with its owner.
struct SPeerProcess {
  pid_t pid = -1;
  SPeerProcess(std::string const& bin, std::vector<std::string> args, std::string const& log,
               int cpu) {
    args.insert(args.begin(), bin);
    std::vector<char*> argv;  // built before fork: the child only execs
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    pid = fork();
    if (pid != 0) return;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);
    const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1), dup2(fd, 2);
    close_range(3, ~0U, 0);  // libola's sockets are inheritable: keep ours to ourselves
    if (cpu >= 0) PinToCpu(cpu);
    execv(argv[0], argv.data());
    _exit(127);
  }
  ~SPeerProcess() {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    for (int i = 0; i < 300 && waitpid(pid, nullptr, WNOHANG) == 0; ++i) usleep(10000);
    if (kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
  }
};

// What one path carried over its window.
struct SPath {
  std::string error;
  long frames = 0;
  std::vector<double> lost;  // when each lost frame was sent, s into the window
  CBenchStats latencyUs;
  std::vector<double> cpuUs;  // per process measured
  double windowS = 0;
  double CpuPct(std::size_t i) const { return cpuUs[i] / (windowS * 1e6) * 100; }
  // Takes in another block of the same path.
  void Add(SPath const& block) {
    if (error.empty()) error = block.error;
    frames += block.frames;
    for (double at : block.lost) lost.push_back(windowS + at);
    latencyUs.Add(block.latencyUs);
    cpuUs.resize(block.cpuUs.size());
    for (std::size_t i = 0; i < cpuUs.size(); ++i) cpuUs[i] += block.cpuUs[i];
    windowS += block.windowS;
  }
};

// Sends the frames on universe 1 and matches what universe 2 gives back.
class CExperiment {
 public:
  CExperiment(std::uint16_t port, double rate, double warmS, double windowS)
      : mPort(port), mRate(rate), mWarmS(warmS), mWindowS(windowS) {}

  bool Setup() {
    ola::client::StreamingClient::Options options;
    options.auto_start = false;  // never spawn an olad of its own
    options.server_port = mPort;
    mSender = std::make_unique<ola::client::StreamingClient>(options);
    auto arrived = [this](COlaClient&, ola::DmxBuffer const& dmx) { Arrived(dmx); };
    mReceiver = std::make_unique<COlaClient>(mPort, arrived);
    mBridgeReceiver = std::make_unique<COlaClient>(mPort, arrived);
    return mSender->Setup() && mReceiver->Register(kOut) && mBridgeReceiver->Register(kBridgeOut);
  }

  // One block of one path: the processes in `pids` carry universe `in` to the path's out.
  SPath Measure(std::vector<pid_t> const& pids, unsigned in) {
    SPath r;
    mIn = in;
    {
      std::lock_guard<std::mutex> hold(mLock);
      ++mPath, mArrived.clear();
    }
    mSent.assign(1, 0);  // by sequence number, from 1
    mNext = MonoNs();
    const double primeEnd = MonoSec() + kPrimeS;
    auto none = [this] {
      std::lock_guard<std::mutex> hold(mLock);
      return mArrived.empty();
    };
    while (none())
      if (MonoSec() > primeEnd || !SendNext())
        return r.error = "no frame came through within 20 s", r;
    for (long i = 0; i < static_cast<long>(mWarmS * mRate); ++i) SendNext();
    const std::uint32_t first = static_cast<std::uint32_t>(mSent.size());
    const double wall0 = MonoSec();
    for (pid_t pid : pids) r.cpuUs.push_back(-ProcCpuUs(pid));
    for (long i = 0; i < static_cast<long>(mWindowS * mRate); ++i)
      if (!SendNext()) return r.error = "olad took no more frames", r;
    SleepUntil(mNext);  // the last frame's period
    for (std::size_t i = 0; i < pids.size(); ++i) r.cpuUs[i] += ProcCpuUs(pids[i]);
    r.windowS = MonoSec() - wall0;

    const auto last = static_cast<std::uint32_t>(mSent.size() - 1);
    std::unique_lock<std::mutex> hold(mLock);
    const auto frames = static_cast<std::ptrdiff_t>(last - first + 1);
    mChanged.wait_for(hold, std::chrono::duration<double>(kDrainS), [&] {
      return std::distance(mArrived.lower_bound(first), mArrived.end()) == frames;
    });
    for (std::uint32_t seq = first; seq <= last; ++seq) {
      ++r.frames;
      auto it = mArrived.find(seq);
      if (it == mArrived.end())
        r.lost.push_back((seq - first) / mRate);
      else
        r.latencyUs.Add(static_cast<double>(it->second - mSent[seq]) * 1e-3);
    }
    return r;
  }

 private:
  // Paces the sends at the rate; slots 1-4 the sequence number, slot 5 the path.
  bool SendNext() {
    SleepUntil(mNext);
    mNext += static_cast<std::int64_t>(1e9 / mRate);
    const auto seq = static_cast<std::uint32_t>(mSent.size());
    std::uint8_t levels[kSlots];
    for (unsigned i = 0; i < kSlots; ++i) levels[i] = static_cast<std::uint8_t>(i * 7);
    for (int k = 0; k < 4; ++k) levels[k] = static_cast<std::uint8_t>(seq >> (24 - 8 * k));
    levels[4] = static_cast<std::uint8_t>(mPath);
    const ola::DmxBuffer frame(levels, kSlots);
    mSent.push_back(MonoNs());
    return mSender->SendDmx(mIn, frame);
  }
  static void SleepUntil(std::int64_t ns) {
    const timespec at{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
  }
  // Universe 2 (receiver thread): the first arrival of each frame of the current path.
  void Arrived(ola::DmxBuffer const& dmx) {
    const std::int64_t now = MonoNs();
    if (dmx.Size() < 5) return;
    std::uint8_t const* d = dmx.GetRaw();
    const std::uint32_t seq =
        std::uint32_t{d[0]} << 24 | std::uint32_t{d[1]} << 16 | std::uint32_t{d[2]} << 8 | d[3];
    std::lock_guard<std::mutex> hold(mLock);
    if (d[4] != static_cast<std::uint8_t>(mPath)) return;
    mArrived.emplace(seq, now);
    mChanged.notify_all();
  }

  const std::uint16_t mPort;
  const double mRate, mWarmS, mWindowS;
  std::unique_ptr<ola::client::StreamingClient> mSender;
  std::unique_ptr<COlaClient> mReceiver, mBridgeReceiver;
  unsigned mIn = kIn;
  std::vector<std::int64_t> mSent;  // send time by sequence number
  std::int64_t mNext = 0;           // the next send's due time
  std::mutex mLock;                 // guards what follows
  std::condition_variable mChanged;
  int mPath = 0;
  std::map<std::uint32_t, std::int64_t> mArrived;  // first arrival by sequence number
};

}  // namespace

int main(int argc, char** argv) {
  const CBenchArgs args(argc, argv);
  const auto port = static_cast<std::uint16_t>(args.Int("--ola-port", COlaTestbed::kPort));
  if (args.role() == "relay") return RunRelay(args.ctl(), port);
  const double seconds = args.Real("--seconds", 60), rate = args.Real("--rate", 44);
  const double warm = args.Real("--warmup", 2);
  const std::string peer = args.Value("--peer").empty() ? KN_PEER_BIN : args.Value("--peer");
  const int cpu = args.Int("--cpu", -1), nodeCpu = args.Int("--node-cpu", -1);
  if (seconds <= 0 || seconds > 3600 || rate <= 0 || rate > 1000 || warm < 0 ||
      (cpu >= 0 && nodeCpu >= 0))
    return args.Usage(
        "[--seconds S] [--rate HZ] [--warmup S] [--ola-port N] [--peer PATH] "
        "[--cpu N | --node-cpu N]");
  if (cpu >= 0 && !PinToCpu(cpu))
    return std::printf("bridge_bench: cannot pin to CPU %d\n", cpu), 1;

  COlaTestbed bed(port);  // the main thread enters the namespace here
  if (!bed.unavailable().empty())
    return std::printf("bridge_bench: cannot run here: %s\n", bed.unavailable().c_str()), 77;
  if (!bed.StartOlad()) return std::printf("bridge_bench: %s\n", bed.error().c_str()), 1;
  CExperiment exp(port, rate, warm, seconds / Blocks(seconds));
  if (!exp.Setup()) return std::printf("bridge_bench: cannot reach the private olad\n"), 1;
  std::printf(
      "bridge_bench: frames of %u slots at %.0f Hz, through a private olad\n"
      "(RPC port %u, own network namespace); %.0f s measured per path, in turns of about\n"
      "%.0f s each after %.0f s of warm-up.\n"
      "latency: send on a path's first universe to the callback of a client registered for\n"
      "its second;\n"
      "lost: frames of the window not arrived %.0f s after the last send; CPU: run time of\n"
      "each process between the two olad hops over the window (schedstat of its threads),\n"
      "per cent of one CPU. Indicative only when other work shares the machine.\n\n",
      kSlots, rate, port, seconds, seconds / Blocks(seconds), warm, kDrainS);
  if (cpu >= 0) std::printf("All of it pinned to CPU %d.\n\n", cpu);
  if (nodeCpu >= 0)
    std::printf("The relay and each node pinned to CPU %d; olad and the clients unpinned.\n\n",
                nodeCpu);
  std::fflush(stdout);

  const std::string logs = std::filesystem::temp_directory_path() / "kn-bridge-bench";
  std::filesystem::create_directories(logs);
  const std::string olaPort = "--ola-port=" + std::to_string(port);
  // The relay, a copy of this program, and the bridge: two kelmar-peers, as nodes run in a
  // service (no levels shown).
  CChild relay;
  std::string line;
  if (!relay.Start({"--role=relay", "--ola-port=" + std::to_string(port)},
                   nodeCpu >= 0 ? nodeCpu : -2) ||
      !relay.channel().Recv(line, 10) || line != "ready")
    return std::printf("relay (baseline) FAILED to start: %s\n", line.c_str()), 1;
  SPeerProcess in(peer,
                  {"listen", "-p", std::to_string(kKelmarPort),
                   "--ola-in=" + std::to_string(kBridgeIn), olaPort, "--show=0"},
                  logs + "/listen.log", nodeCpu);
  SPeerProcess out(peer,
                   {"connect", "127.0.0.1:" + std::to_string(kKelmarPort),
                    "--ola-out=" + std::to_string(kBridgeOut), olaPort, "--show=0"},
                   logs + "/connect.log", nodeCpu);
  SPath base, bridge;
  for (int b = 0; b < Blocks(seconds) && base.error.empty() && bridge.error.empty(); ++b) {
    base.Add(exp.Measure({relay.pid()}, kIn));
    bridge.Add(exp.Measure({in.pid, out.pid}, kBridgeIn));
  }
  if (!bridge.error.empty()) bridge.error += " (kelmar-peer output in " + logs + ")";

  if (!base.error.empty()) std::printf("relay (baseline) FAILED: %s\n", base.error.c_str());
  if (!bridge.error.empty()) std::printf("bridge FAILED: %s\n", bridge.error.c_str());
  if (!base.error.empty() || !bridge.error.empty()) return 1;
  std::filesystem::remove_all(logs);

  // A figure of the bridge beside the relay's, with the ratio and, if it has one, its target.
  auto figure = [](char const* what, double relay, double bridge, double limit) {
    const double r = Ratio(bridge, relay);
    std::printf("  %-30s %10.2f %10.2f %8.2f", what, relay, bridge, r);
    if (limit > 0) std::printf("   <= %.1fx  %s", limit, Verdict(r <= limit));
    std::printf("\n");
  };
  std::printf("  %-30s %10s %10s %8s   %s\n", "figure", "relay", "bridge", "x relay", "target");
  figure("latency median (us)", base.latencyUs.median(), bridge.latencyUs.median(), 1.5);
  figure("latency p99 (us)", base.latencyUs.p99(), bridge.latencyUs.p99(), 2.0);
  figure("latency max (us)", base.latencyUs.max(), bridge.latencyUs.max(), 0);
  figure("CPU listen --ola-in (%)", base.CpuPct(0), bridge.CpuPct(0), 2.0);
  figure("CPU connect --ola-out (%)", base.CpuPct(0), bridge.CpuPct(1), 2.0);
  std::printf("  %-30s %10zu %10zu %8s   none     %s\n", "frames lost", base.lost.size(),
              bridge.lost.size(), "", Verdict(bridge.lost.empty()));
  std::printf("  frames sent in the window: %ld per path%s\n", bridge.frames,
              seconds < 60 ? "; the loss target is for a 60 s run" : "");
  for (auto const* p : {&base, &bridge})
    if (!p->lost.empty()) {
      std::printf("  %s lost frames at (s into the window):", p == &base ? "relay" : "bridge");
      for (std::size_t i = 0; i < p->lost.size() && i < 30; ++i) std::printf(" %.2f", p->lost[i]);
      std::printf("%s\n", p->lost.size() > 30 ? " ..." : "");
    }
  return 0;
}
