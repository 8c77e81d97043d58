// Process plumbing for the two-process benchmarks: self re-exec with a role, a line
// channel to each child and the lines of figures on it, CPU pinning, clocks, CPU time.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

namespace bench {

// CLOCK_MONOTONIC: one clock for every process on the machine.
inline std::int64_t MonoNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}
inline double MonoSec() {
  return static_cast<double>(MonoNs()) * 1e-9;
}

// User plus system CPU time of every thread of this process, in microseconds.
inline double CpuMicros() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  auto us = [](timeval const& t) { return static_cast<double>(t.tv_sec) * 1e6 + t.tv_usec; };
  return us(ru.ru_utime) + us(ru.ru_stime);
}

// Context switches of every thread of this process so far, voluntary and not.
inline long ContextSwitches() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_nvcsw + ru.ru_nivcsw;
}

// Raises the soft descriptor limit towards `want`, never past the hard one. Returns the
// soft limit in force.
inline rlim_t RaiseNoFile(rlim_t want) {
  rlimit rl{};
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return 0;
  if (rl.rlim_cur < want) {
    rl.rlim_cur = std::min(want, rl.rlim_max);
    setrlimit(RLIMIT_NOFILE, &rl);
    getrlimit(RLIMIT_NOFILE, &rl);
  }
  return rl.rlim_cur;
}

// Pins the calling thread (and what it creates or forks later) to one CPU, or lets it
// run on every CPU when `cpu` is negative.
inline bool PinToCpu(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (cpu >= 0) {
    CPU_SET(cpu, &set);
  } else {
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    for (long i = 0; i < n && i < CPU_SETSIZE; ++i) CPU_SET(static_cast<int>(i), &set);
  }
  return sched_setaffinity(0, sizeof set, &set) == 0;
}

// A line channel over a blocking stream socket: whole lines out, whole lines in.
class CLineChannel {
 public:
  explicit CLineChannel(int fd = -1) : mFd(fd) {}
  CLineChannel(CLineChannel const&) = delete;
  CLineChannel& operator=(CLineChannel const&) = delete;
  ~CLineChannel() { Close(); }

  void Adopt(int fd) { Close(), mFd = fd, mBuf.clear(); }
  void Close() {
    if (mFd >= 0) close(mFd);
    mFd = -1;
  }
  // The other end has gone (end of stream or an error on it).
  bool gone() const { return mGone; }

  bool Send(std::string const& line) {
    const std::string out = line + '\n';
    for (std::size_t done = 0; done < out.size();) {
      const ssize_t n = mFd < 0 ? -1 : ::send(mFd, &out[done], out.size() - done, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return mGone = true, false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  // Waits up to `timeout` seconds (negative: for ever) for one line.
  bool Recv(std::string& line, double timeout) {
    const double end = MonoSec() + timeout;
    for (;;) {
      if (TakeLine(line)) return true;
      if (mFd < 0 || mGone) return false;
      int ms = -1;
      if (timeout >= 0) {
        const double left = end - MonoSec();
        if (left <= 0) return false;
        ms = static_cast<int>(left * 1000) + 1;
      }
      if (Ready(ms)) Fill();
    }
  }

  // One line if a whole one has arrived; never blocks.
  bool TryRecv(std::string& line) {
    if (TakeLine(line)) return true;
    if (mFd >= 0 && !mGone && Ready(0)) Fill();
    return TakeLine(line);
  }

 private:
  bool Ready(int ms) {
    pollfd p{mFd, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
  }
  void Fill() {
    char chunk[4096];
    const ssize_t n = ::recv(mFd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n > 0)
      mBuf.append(chunk, static_cast<std::size_t>(n));
    else if (n == 0 || (errno != EINTR && errno != EAGAIN))
      mGone = true;
  }
  bool TakeLine(std::string& line) {
    const std::size_t nl = mBuf.find('\n');
    if (nl == std::string::npos) return false;
    line = mBuf.substr(0, nl);
    mBuf.erase(0, nl + 1);
    return true;
  }

  int mFd = -1;
  bool mGone = false;
  std::string mBuf;
};

// A copy of this program started with role arguments and a line channel to it. The child
// finds its end of the channel in "--ctl=FD", dies with its parent, and is reaped (killed
// if it does not end in time) on every path out of its owner.
class CChild {
 public:
  // `cpu`: pin the child to that CPU before it starts; negative: every CPU; -2: inherit.
  bool Start(std::vector<std::string> const& args, int cpu = -2) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return false;
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
      close(sv[0]);
      close(sv[1]);
      return false;
    }
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(1);
      fcntl(sv[1], F_SETFD, 0);  // this end survives the exec
      if (cpu != -2) PinToCpu(cpu);
      std::vector<std::string> all{"bench-child", "--ctl=" + std::to_string(sv[1])};
      all.insert(all.end(), args.begin(), args.end());
      std::vector<char*> argv;
      for (auto& a : all) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv("/proc/self/exe", argv.data());
      _exit(127);
    }
    close(sv[1]);
    mPid = pid;
    mChannel.Adopt(sv[0]);
    return true;
  }

  CLineChannel& channel() { return mChannel; }
  pid_t pid() const { return mPid; }

  // Closes the channel (the child's cue to finish), waits up to `timeout` seconds for
  // it to exit, then kills it. Returns its wait status, or -1 if there was no child.
  int Finish(double timeout) {
    if (mPid <= 0) return -1;
    mChannel.Close();
    int status = 0;
    const double end = MonoSec() + timeout;
    for (;;) {
      const pid_t r = waitpid(mPid, &status, WNOHANG);
      if (r == mPid || (r < 0 && errno != EINTR)) break;
      if (MonoSec() >= end) {
        kill(mPid, SIGKILL);
        while (waitpid(mPid, &status, 0) < 0 && errno == EINTR) {
        }
        break;
      }
      usleep(2000);
    }
    mPid = -1;
    return status;
  }

  ~CChild() { Finish(2.0); }

 private:
  pid_t mPid = -1;
  CLineChannel mChannel;
};

// A line of words separated by spaces, as sent on a line channel; numbers are read
// where they are used.
class CFields {
 public:
  explicit CFields(std::string const& line) {
    std::istringstream in(line);
    for (std::string s; in >> s;) mWords.push_back(s);
  }
  std::size_t size() const { return mWords.size(); }
  // The word at i; empty past the end.
  std::string const& operator[](std::size_t i) const {
    static const std::string kNone;
    return i < mWords.size() ? mWords[i] : kNone;
  }
  // Starts with `head` and has `n` words in all (any number when n is 0).
  bool is(char const* head, std::size_t n = 0) const {
    return !mWords.empty() && mWords[0] == head && (n == 0 || mWords.size() == n);
  }
  double num(std::size_t i) const { return std::atof((*this)[i].c_str()); }
  long long integer(std::size_t i) const { return std::atoll((*this)[i].c_str()); }

 private:
  std::vector<std::string> mWords;
};

// Joins its parts with spaces: numbers in full, words as they are.
template <class... T>
std::string Line(T const&... parts) {
  std::string out;
  auto add = [&](auto const& p) {
    if (!out.empty()) out += ' ';
    if constexpr (std::is_arithmetic_v<std::decay_t<decltype(p)>>)
      out += std::to_string(p);
    else
      out += p;
  };
  (add(parts), ...);
  return out;
}

// A child that exited with status 0.
inline bool Clean(int status) {
  return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Describes a wait status in words.
inline std::string StatusText(int status) {
  if (status < 0) return "not started";
  if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return std::string("killed by signal ") + strsignal(WTERMSIG(status));
  return "status " + std::to_string(status);
}

}  // namespace bench
