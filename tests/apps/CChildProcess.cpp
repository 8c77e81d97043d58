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
#include <utility>

extern char** environ;

CChildProcess::~CChildProcess() {
  if (running()) {
    kill(mPid, SIGKILL);
    waitpid(mPid, nullptr, 0);
  }
  for (int fd : {mIn, mPipes[0].fd, mPipes[1].fd, mPidFd})
    if (fd >= 0) close(fd);
}

bool CChildProcess::Start(std::vector<std::string> const& argv, std::string* error) {
  // Writing to a child that has ended must fail with EPIPE, not end the test binary.
  std::signal(SIGPIPE, SIG_IGN);
  int fds[3][2];  // stdin, stdout, stderr
  for (int i = 0; i < 3; ++i) {
    if (pipe2(fds[i], O_CLOEXEC) != 0) {
      *error = std::string("pipe: ") + std::strerror(errno);
      while (i-- > 0) close(fds[i][0]), close(fds[i][1]);
      return false;
    }
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int i = 0; i < 3; ++i) posix_spawn_file_actions_adddup2(&actions, fds[i][i == 0 ? 0 : 1], i);
  // The child handles these signals as by default, whatever the test binary (or whoever
  // started it) chose to ignore.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int sig : {SIGPIPE, SIGTERM, SIGINT}) sigaddset(&defaults, sig);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);

  std::vector<char*> args;
  for (auto const& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int const rc = posix_spawn(&mPid, argv.at(0).c_str(), &actions, &attr, args.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[0][0]);
  close(fds[1][1]);
  close(fds[2][1]);
  mIn = fds[0][1];
  mPipes[0].fd = fds[1][0];
  mPipes[1].fd = fds[2][0];
  for (SPipe const& p : mPipes) fcntl(p.fd, F_SETFL, fcntl(p.fd, F_GETFL) | O_NONBLOCK);
  if (rc != 0) {
    mPid = -1;
    *error = "cannot start " + argv[0] + ": " + std::strerror(rc);
    return false;
  }
  mPidFd = static_cast<int>(syscall(SYS_pidfd_open, mPid, 0));
  if (mPidFd < 0) *error = std::string("pidfd_open: ") + std::strerror(errno);
  return mPidFd >= 0;  // without it the child is killed at the end
}

bool CChildProcess::Send(std::string const& line) {
  // A blocking write to a pipe writes it all.
  std::string const text = line + '\n';
  return write(mIn, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void CChildProcess::ReadFrom(SPipe& pipe) {
  char buf[4096];
  ssize_t n;
  while ((n = read(pipe.fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
    if (n > 0) pipe.partial.append(buf, static_cast<std::size_t>(n));
  bool const ended = n == 0 || errno != EAGAIN;
  // At the end of the stream, its last line may lack a newline.
  if (ended && !pipe.partial.empty() && pipe.partial.back() != '\n') pipe.partial += '\n';
  for (std::size_t nl; (nl = pipe.partial.find('\n')) != std::string::npos;) {
    pipe.lines.push_back(pipe.partial.substr(0, nl));
    pipe.partial.erase(0, nl + 1);
    mTranscript.push_back((&pipe == &mPipes[0] ? "out| " : "err| ") + pipe.lines.back());
  }
  if (ended) close(std::exchange(pipe.fd, -1));
}

bool CChildProcess::Pump(Clock::time_point until) {
  auto const left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
  // poll() passes over negative descriptors.
  pollfd fds[3] = {
      {mPipes[0].fd, POLLIN, 0}, {mPipes[1].fd, POLLIN, 0}, {mStatus ? -1 : mPidFd, POLLIN, 0}};
  if (left <= 0 || (fds[0].fd < 0 && fds[1].fd < 0 && fds[2].fd < 0)) return false;
  if (poll(fds, 3, static_cast<int>(std::min<long long>(left, 60'000))) < 0 && errno != EINTR)
    return false;
  for (int i = 0; i < 2; ++i)
    if (fds[i].revents) ReadFrom(mPipes[i]);
  int status = 0;
  if (fds[2].revents && waitpid(mPid, &status, WNOHANG) == mPid)
    mStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return true;
}

std::optional<std::string> CChildProcess::WaitLine(
    Stream stream, std::function<bool(std::string const&)> const& match, Duration timeout) {
  auto const until = Clock::now() + timeout;
  SPipe& pipe = mPipes[static_cast<int>(stream)];
  do {
    while (pipe.next < pipe.lines.size())
      if (match(pipe.lines[pipe.next++])) return pipe.lines[pipe.next - 1];
  } while (pipe.fd >= 0 && Pump(until));
  return std::nullopt;
}

std::optional<int> CChildProcess::WaitExit(Duration timeout) {
  auto const until = Clock::now() + timeout;
  // Done when the child has been reaped and both its streams have ended.
  while (!(mStatus && mPipes[0].fd < 0 && mPipes[1].fd < 0) && Pump(until)) {
  }
  return mStatus;
}

std::optional<int> CChildProcess::Terminate(Duration timeout) {
  if (running()) kill(mPid, SIGTERM);
  return WaitExit(timeout);
}

std::string CChildProcess::Transcript() const {
  std::string text = "\n--- last output of the child";
  if (mStatus) text += " (ended with " + std::to_string(*mStatus) + ")";
  text += " ---\n";
  for (std::size_t i = mTranscript.size() > 40 ? mTranscript.size() - 40 : 0;
       i < mTranscript.size(); ++i)
    text += mTranscript[i].substr(0, 240) + '\n';
  return text + "---";
}

CHeldUdpPort::CHeldUdpPort() : mFd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
  sockaddr_in sa{};  // on all local addresses, port 0: one the system picks
  sa.sin_family = AF_INET;
  socklen_t len = sizeof sa;
  if (mFd >= 0 && bind(mFd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
      getsockname(mFd, reinterpret_cast<sockaddr*>(&sa), &len) == 0)
    mPort = ntohs(sa.sin_port);
}

CHeldUdpPort::~CHeldUdpPort() {
  if (mFd >= 0) close(mFd);
}
