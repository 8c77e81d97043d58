// Latency from a byte written on one thread to its readiness callback on the loop's thread.
//
// Two paths are timed over the same kind of socketpair, one byte per round trip:
//   baseline:  a writer thread writes, a reader thread blocked in read(2) wakes up;
//   hand-over: a writer thread writes, the I/O signal thread finds the socket readable
//              and raises its signal, and the run loop's thread calls the callback.
// Each round is timed from just before the write to the first instruction of the
// receiving side; the receiver then lets the writer go on with the next round.
// Usage: handover_bench [rounds]
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "CAsyncWorld_Null.h"
#include "CBenchStats.h"
#include "CPsxIOSig.h"
#include "CRunLoop.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWarmup = 1000;

struct SRun {
  explicit SRun(int rounds) : sent(rounds), seen(rounds) {}
  std::vector<Clock::time_point> sent;
  std::vector<Clock::time_point> seen;
  std::atomic<int> received{0};  // rounds the receiving side has finished
};

struct SStats {
  double median;  // microseconds
  double p99;
};

// Writes one byte per round and waits until the receiver has taken it.
void Writer(SRun& run, int fd) {
  const char byte = 'x';
  const int rounds = static_cast<int>(run.sent.size());
  for (int i = 0; i < rounds; ++i) {
    run.sent[i] = Clock::now();
    if (::write(fd, &byte, 1) != 1) std::abort();
    for (int got = run.received.load(std::memory_order_acquire); got <= i;
         got = run.received.load(std::memory_order_acquire))
      run.received.wait(got, std::memory_order_acquire);
  }
}

void Finished(SRun& run, int round) {
  run.received.store(round + 1, std::memory_order_release);
  run.received.notify_one();
}

SStats Summarise(SRun const& run) {
  bench::CBenchStats us;
  for (std::size_t i = kWarmup; i < run.sent.size(); ++i)
    us.Add(std::chrono::duration<double, std::micro>(run.seen[i] - run.sent[i]).count());
  return {us.median(), us.p99()};
}

void Pair(int sv[2]) {
  if (socketpair(AF_UNIX, SOCK_DGRAM, 0, sv) != 0) {
    std::perror("socketpair");
    std::exit(1);
  }
}

SStats BlockingRead(int rounds) {
  int sv[2];
  Pair(sv);
  SRun run(rounds);
  std::thread reader([&] {
    char byte;
    for (int i = 0; i < rounds; ++i) {
      if (::read(sv[0], &byte, 1) != 1) std::abort();
      run.seen[i] = Clock::now();
      Finished(run, i);
    }
  });
  std::thread writer(Writer, std::ref(run), sv[1]);
  writer.join();
  reader.join();
  close(sv[0]);
  close(sv[1]);
  return Summarise(run);
}

struct SHandover {
  SRun* run;
  int fd;
  int next = 0;
};

void OnReadable(void* context, CPsxIOSig::IO io) {
  const Clock::time_point now = Clock::now();
  auto* h = static_cast<SHandover*>(context);
  char byte;
  if (::read(h->fd, &byte, 1) != 1) std::abort();
  SRun& run = *h->run;
  run.seen[h->next] = now;
  const int round = h->next++;
  // Asked again before the writer goes on, as a user that keeps reading would.
  if (h->next < static_cast<int>(run.sent.size()))
    CPsxIOSig::Wait(h->fd, io);
  else
    CRunLoop::Current().Stop();
  Finished(run, round);
}

SStats Handover(int rounds) {
  CAsyncWorld_Null world;
  CPsxIOSig::Use(world);
  int sv[2];
  Pair(sv);
  SRun run(rounds);
  SHandover h{&run, sv[0]};
  CPsxIOSig::Callback cb;
  cb.context = &h;
  cb.function = &OnReadable;
  if (!CPsxIOSig::Prepare(sv[0], cb, world)) std::abort();
  CPsxIOSig::Wait(sv[0], CPsxIOSig::read);
  std::thread writer(Writer, std::ref(run), sv[1]);
  world.runloop()->Run();
  writer.join();
  CPsxIOSig::Finish(sv[0]);
  CPsxIOSig::Free(world);
  close(sv[0]);
  close(sv[1]);
  return Summarise(run);
}

}  // namespace

int main(int argc, char** argv) {
  const int measured = argc > 1 ? std::atoi(argv[1]) : 20000;
  if (measured < 100) {
    std::fprintf(stderr, "usage: %s [rounds >= 100]\n", argv[0]);
    return 2;
  }
  const int rounds = measured + kWarmup;

  const SStats base = BlockingRead(rounds);
  const SStats hand = Handover(rounds);

  std::printf("byte to receiver, %d round trips (after %d warm-up), microseconds\n", measured,
              kWarmup);
  std::printf("%-34s %10s %10s\n", "path", "median", "p99");
  std::printf("%-34s %10.2f %10.2f\n", "blocking read (baseline)", base.median, base.p99);
  std::printf("%-34s %10.2f %10.2f\n", "I/O thread -> loop callback", hand.median, hand.p99);
  std::printf("%-34s %10.2f %10.2f\n", "ratio (hand-over / baseline)", hand.median / base.median,
              hand.p99 / base.p99);
  return 0;
}
