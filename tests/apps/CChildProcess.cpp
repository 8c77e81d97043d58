// Child processes on pipes and UDP port helpers for the end-to-end tests.
#include "CChildProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

extern char** environ;

namespace {

constexpr std::size_t kShownLineLength = 240;  // longer lines are cut in transcripts

int PidFdOpen(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  return -1;
#endif
}

// Writing to a child that has ended must fail with EPIPE, not end the test binary.
void IgnoreSigPipe() {
  static bool const done = [] {
    std::signal(SIGPIPE, SIG_IGN);
    return true;
  }();
  (void)done;
}

}  // namespace

CChildProcess::~CChildProcess() {
  if (mPid > 0 && !mStatus) {
    kill(mPid, SIGKILL);
    Reap(true);
  }
  CloseFd(mIn);
  CloseFd(mOut.fd);
  CloseFd(mErr.fd);
  CloseFd(mPidFd);
}

void CChildProcess::CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

bool CChildProcess::Start(std::vector<std::string> const& argv, std::string* error) {
  IgnoreSigPipe();
  if (argv.empty() || mPid > 0) {
    *error = "nothing to start, or already started";
    return false;
  }
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  if (pipe2(out, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    close(in[0]), close(in[1]);
    return false;
  }
  if (pipe2(err, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    close(in[0]), close(in[1]), close(out[0]), close(out[1]);
    return false;
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  // The child starts with default signal handling and nothing blocked, whatever the
  // test binary changed for itself.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGINT);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<char*> args;
  for (auto const& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  int const rc = posix_spawn(&pid, argv[0].c_str(), &actions, &attr, args.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (rc != 0) {
    *error = "cannot start " + argv[0] + ": " + std::strerror(rc);
    close(in[1]), close(out[0]), close(err[0]);
    return false;
  }
  mPid = pid;
  mIn = in[1];
  mOut.fd = out[0];
  mErr.fd = err[0];
  fcntl(mOut.fd, F_SETFL, fcntl(mOut.fd, F_GETFL) | O_NONBLOCK);
  fcntl(mErr.fd, F_SETFL, fcntl(mErr.fd, F_GETFL) | O_NONBLOCK);
  mPidFd = PidFdOpen(pid);
  return true;
}

bool CChildProcess::Send(std::string const& line) {
  if (mIn < 0) return false;
  std::string const text = line + '\n';
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t const n = write(mIn, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void CChildProcess::CloseStdin() {
  CloseFd(mIn);
}

void CChildProcess::ReadFrom(SPipe& pipe) {
  char buf[4096];
  for (;;) {
    ssize_t const n = read(pipe.fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
      pipe.eof = true;
      CloseFd(pipe.fd);
      if (!pipe.partial.empty()) {
        pipe.lines.push_back(std::move(pipe.partial));
        mTranscript.push_back((&pipe == &mOut ? "out| " : "err| ") + pipe.lines.back());
        pipe.partial.clear();
      }
      return;
    }
    pipe.partial.append(buf, static_cast<std::size_t>(n));
    for (std::size_t nl; (nl = pipe.partial.find('\n')) != std::string::npos;) {
      pipe.lines.push_back(pipe.partial.substr(0, nl));
      pipe.partial.erase(0, nl + 1);
      mTranscript.push_back((&pipe == &mOut ? "out| " : "err| ") + pipe.lines.back());
    }
  }
}

bool CChildProcess::Reap(bool block) {
  if (mPid <= 0 || mStatus) return true;
  int status = 0;
  pid_t r;
  do {
    r = waitpid(mPid, &status, block ? 0 : WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r != mPid) return false;
  mStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  CloseFd(mPidFd);
  return true;
}

bool CChildProcess::Pump(Clock::time_point until) {
  pollfd fds[3];
  nfds_t n = 0;
  if (mOut.fd >= 0) fds[n++] = {mOut.fd, POLLIN, 0};
  if (mErr.fd >= 0) fds[n++] = {mErr.fd, POLLIN, 0};
  if (mPidFd >= 0 && !mStatus) fds[n++] = {mPidFd, POLLIN, 0};
  bool const reapByPoll = mPid > 0 && !mStatus && mPidFd < 0;  // no pidfd: look now and then
  if (n == 0 && !reapByPoll) return false;

  auto const left =
      std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
  if (left <= 0) return false;
  int timeout = static_cast<int>(std::min<long long>(left + 1, 60'000));
  if (reapByPoll) timeout = std::min(timeout, 20);
  int const ready = poll(fds, n, timeout);
  if (ready < 0 && errno != EINTR) return false;
  for (nfds_t i = 0; ready > 0 && i < n; ++i) {
    if (!fds[i].revents) continue;
    if (fds[i].fd == mOut.fd)
      ReadFrom(mOut);
    else if (fds[i].fd == mErr.fd)
      ReadFrom(mErr);
    else
      Reap(false);
  }
  if (reapByPoll) Reap(false);
  return true;
}

std::optional<std::string> CChildProcess::WaitLine(
    Stream stream, std::function<bool(std::string const&)> const& match, Duration timeout) {
  auto const until = Clock::now() + timeout;
  SPipe& pipe = stream == Stream::kOut ? mOut : mErr;
  for (;;) {
    while (pipe.next < pipe.lines.size()) {
      std::string const& line = pipe.lines[pipe.next++];
      if (match(line)) return line;
    }
    if (pipe.eof || pipe.fd < 0) return std::nullopt;
    if (!Pump(until)) {
      // The deadline has passed: take what is already there, then give up.
      if (pipe.fd >= 0) ReadFrom(pipe);
      while (pipe.next < pipe.lines.size()) {
        std::string const& line = pipe.lines[pipe.next++];
        if (match(line)) return line;
      }
      return std::nullopt;
    }
  }
}

std::optional<nlohmann::json> CChildProcess::WaitJson(
    std::function<bool(nlohmann::json const&)> const& match, Duration timeout) {
  std::optional<nlohmann::json> found;
  WaitLine(
      Stream::kOut,
      [&](std::string const& line) {
        auto j = nlohmann::json::parse(line, nullptr, false);
        if (j.is_discarded() || !j.is_object() || !match(j)) return false;
        found = std::move(j);
        return true;
      },
      timeout);
  return found;
}

std::optional<int> CChildProcess::WaitExit(Duration timeout) {
  auto const until = Clock::now() + timeout;
  // Done when the child has been reaped and both its streams have ended.
  while (!(mStatus && mOut.fd < 0 && mErr.fd < 0)) {
    if (!Pump(until)) {
      if (!mStatus) Reap(false);
      if (mOut.fd >= 0) ReadFrom(mOut);
      if (mErr.fd >= 0) ReadFrom(mErr);
      break;
    }
  }
  return mStatus;
}

std::optional<int> CChildProcess::Terminate(Duration timeout) {
  if (mPid > 0 && !mStatus) kill(mPid, SIGTERM);
  return WaitExit(timeout);
}

std::string CChildProcess::Transcript(std::size_t maxLines) const {
  std::string text = "\n--- last output of the child";
  if (mStatus) text += " (ended with " + std::to_string(*mStatus) + ")";
  text += " ---\n";
  std::size_t const first = mTranscript.size() > maxLines ? mTranscript.size() - maxLines : 0;
  for (std::size_t i = first; i < mTranscript.size(); ++i) {
    std::string const& line = mTranscript[i];
    text += line.size() > kShownLineLength ? line.substr(0, kShownLineLength) + "..." : line;
    text += '\n';
  }
  if (!mOut.partial.empty()) text += "out| " + mOut.partial + " (no newline yet)\n";
  if (!mErr.partial.empty()) text += "err| " + mErr.partial + " (no newline yet)\n";
  return text + "---";
}

int FreeUdpPort() {
  int const fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = 0;
  socklen_t len = sizeof sa;
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) == 0)
    port = ntohs(sa.sin_port);
  close(fd);
  return port;
}

CHeldUdpPort::CHeldUdpPort() {
  mFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (mFd < 0) return;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_ANY);
  sa.sin_port = 0;
  socklen_t len = sizeof sa;
  if (bind(mFd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
      getsockname(mFd, reinterpret_cast<sockaddr*>(&sa), &len) == 0)
    mPort = ntohs(sa.sin_port);
}

CHeldUdpPort::~CHeldUdpPort() {
  if (mFd >= 0) close(mFd);
}
