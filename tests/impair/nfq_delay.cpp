// kn-nfq-delay: holds each packet of an NFQUEUE queue for a random delay, then accepts it, so
// that packets overtake one another (see Usage). On exit (after S seconds or on SIGTERM/SIGINT)
// it accepts everything still held and prints one line of figures: packets, reordered
// (released before an earlier arrival), min/max held ms, failed verdicts.
#include <arpa/inet.h>
#include <libnetfilter_queue/libnetfilter_queue.h>
#include <linux/netfilter.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <queue>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t gStop = 0;
extern "C" void OnSignal(int) {
  gStop = 1;
}

struct SHeld {
  Clock::time_point due;
  Clock::time_point arrived;
  std::uint32_t id;   // the kernel's packet id, for the verdict
  std::uint64_t seq;  // arrival order
  bool operator>(SHeld const& o) const { return due != o.due ? due > o.due : seq > o.seq; }
};

struct SDelayer {
  nfq_q_handle* queue = nullptr;
  std::mt19937_64 random;
  long delayMs = 0;
  long jitterMs = 0;
  std::priority_queue<SHeld, std::vector<SHeld>, std::greater<SHeld>> held;
  std::set<std::uint64_t> waiting;  // arrival numbers of the packets still held
  std::uint64_t arrivals = 0;
  std::uint64_t released = 0;
  std::uint64_t reordered = 0;
  std::uint64_t failed = 0;
  double minHeldMs = 1e9;
  double maxHeldMs = 0;

  void Hold(std::uint32_t id) {
    std::uniform_int_distribution<long> spread(-jitterMs, jitterMs);
    const long ms = std::max(0L, delayMs + spread(random));
    const auto now = Clock::now();
    held.push(SHeld{now + std::chrono::milliseconds(ms), now, id, arrivals});
    waiting.insert(arrivals);
    ++arrivals;
  }

  void Release(SHeld const& p) {
    if (*waiting.begin() != p.seq) ++reordered;  // an earlier arrival is still held
    waiting.erase(p.seq);
    if (nfq_set_verdict(queue, p.id, NF_ACCEPT, 0, nullptr) < 0) ++failed;
    ++released;
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - p.arrived).count();
    minHeldMs = std::min(minHeldMs, ms);
    maxHeldMs = std::max(maxHeldMs, ms);
  }

  // Accepts every packet whose time has come; with `all`, every packet held.
  void ReleaseDue(bool all) {
    const auto now = Clock::now();
    while (!held.empty() && (all || held.top().due <= now)) {
      const SHeld p = held.top();
      held.pop();
      Release(p);
    }
  }
};

int OnPacket(nfq_q_handle*, nfgenmsg*, nfq_data* nfa, void* data) {
  auto* d = static_cast<SDelayer*>(data);
  nfqnl_msg_packet_hdr* ph = nfq_get_msg_packet_hdr(nfa);
  if (ph) d->Hold(ntohl(ph->packet_id));
  return 0;
}

[[noreturn]] void Usage(int status) {
  std::fprintf(status ? stderr : stdout,
               "Usage: kn-nfq-delay --queue N --delay-ms D [--jitter-ms J] [--seconds S]\n"
               "Holds each packet of NFQUEUE queue N (iptables ... -j NFQUEUE --queue-num N)\n"
               "for D +- J ms, then accepts it; prints \"ready\" once the queue is bound.\n"
               "Runs S seconds (default 300).\n");
  std::exit(status);
}

long Number(char const* text, long lo, long hi) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (errno || !end || *end || end == text || v < lo || v > hi) {
    std::fprintf(stderr, "kn-nfq-delay: '%s' is not a number %ld..%ld\n", text, lo, hi);
    Usage(64);
  }
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  long queueNum = -1;
  long seconds = 300;
  SDelayer d;
  d.random.seed(std::random_device{}());
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-h" || a == "--help") Usage(0);
    if (i + 1 >= argc) Usage(64);
    char const* v = argv[++i];
    if (a == "--queue") {
      queueNum = Number(v, 0, 65535);
    } else if (a == "--delay-ms") {
      d.delayMs = Number(v, 0, 60000);
    } else if (a == "--jitter-ms") {
      d.jitterMs = Number(v, 0, 60000);
    } else if (a == "--seconds") {
      seconds = Number(v, 1, 86400);
    } else {
      Usage(64);
    }
  }
  if (queueNum < 0) Usage(64);

  struct sigaction sa {};
  sa.sa_handler = &OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);

  nfq_handle* h = nfq_open();
  if (!h) {
    std::perror("kn-nfq-delay: nfq_open");
    return 69;
  }
  d.queue = nfq_create_queue(h, static_cast<std::uint16_t>(queueNum), &OnPacket, &d);
  if (!d.queue) {
    std::perror("kn-nfq-delay: cannot bind the queue");
    nfq_close(h);
    return 69;
  }
  // Only the verdict is needed, not the packet's bytes.
  if (nfq_set_mode(d.queue, NFQNL_COPY_META, 0) < 0) {
    std::perror("kn-nfq-delay: nfq_set_mode");
    nfq_destroy_queue(d.queue);
    nfq_close(h);
    return 69;
  }
  nfq_set_queue_maxlen(d.queue, 4096);
  const int fd = nfq_fd(h);
  // A burst that overflows the socket buffer must not end the run: the kernel then
  // drops (or, with --queue-bypass, passes) what it cannot queue.
  int on = 1;
  setsockopt(fd, SOL_NETLINK, NETLINK_NO_ENOBUFS, &on, sizeof on);

  std::printf("ready\n");
  std::fflush(stdout);

  const auto end = Clock::now() + std::chrono::seconds(seconds);
  alignas(8) char buf[65536];
  while (!gStop && Clock::now() < end) {
    d.ReleaseDue(false);
    auto wake = end;
    if (!d.held.empty()) wake = std::min(wake, d.held.top().due);
    const auto waitMs = std::chrono::ceil<std::chrono::milliseconds>(wake - Clock::now()).count();
    pollfd p{fd, POLLIN, 0};
    const int r = poll(&p, 1, static_cast<int>(std::clamp<long long>(waitMs, 0, 1000)));
    if (r < 0 && errno != EINTR) {
      std::perror("kn-nfq-delay: poll");
      break;
    }
    if (r <= 0) continue;
    const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) nfq_handle_packet(h, buf, static_cast<int>(n));
  }
  d.ReleaseDue(true);
  nfq_destroy_queue(d.queue);
  nfq_close(h);
  std::printf("packets %llu reordered %llu held_ms %.1f..%.1f failed %llu\n",
              static_cast<unsigned long long>(d.released),
              static_cast<unsigned long long>(d.reordered), d.released ? d.minHeldMs : 0.0,
              d.maxHeldMs, static_cast<unsigned long long>(d.failed));
  return 0;
}
