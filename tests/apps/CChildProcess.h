// A program under test in a child process, its standard streams on pipes.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// Both output streams are drained whenever the test waits, so the child never blocks on
// a full pipe; the destructor kills and reaps a child still running.
class CChildProcess {
 public:
  using Duration = std::chrono::milliseconds;
  enum class Stream { kOut, kErr };

  CChildProcess() = default;
  CChildProcess(CChildProcess const&) = delete;
  ~CChildProcess() {
    if (running()) {
      kill(mPid, SIGKILL);
      waitpid(mPid, nullptr, 0);
    }
    for (int fd : {mIn, mPipes[0].fd, mPipes[1].fd})
      if (fd >= 0) close(fd);
  }

  // Starts `argv[0]`; false, with the reason in `error`, when it cannot.
  bool Start(std::vector<std::string> const& argv, std::string* error) {
    std::signal(SIGPIPE, SIG_IGN);  // writing to an ended child fails instead of killing us
    int fds[3][2];                  // stdin, stdout, stderr
    for (auto& fd : fds)
      if (pipe2(fd, O_CLOEXEC) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        return false;
      }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int i = 0; i < 3; ++i) posix_spawn_file_actions_adddup2(&actions, fds[i][i ? 1 : 0], i);
    std::vector<char*> args;
    for (auto const& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int const rc = posix_spawn(&mPid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[0][0]);
    close(fds[1][1]);
    close(fds[2][1]);
    mIn = fds[0][1];
    for (int i = 0; i < 2; ++i) {
      mPipes[i].fd = fds[i + 1][0];
      fcntl(mPipes[i].fd, F_SETFL, O_NONBLOCK);
    }
    if (rc == 0) return true;
    mPid = -1;
    *error = "cannot start " + argv[0] + ": " + std::strerror(rc);
    return false;
  }

  bool Send(std::string const& line) {  // a blocking write to a pipe writes it all
    std::string const text = line + '\n';
    return write(mIn, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  }

  // The next line of `stream` that `match` accepts (earlier lines are passed over);
  // nothing when the deadline passes or the stream ends first.
  std::optional<std::string> WaitLine(Stream stream,
                                      std::function<bool(std::string const&)> const& match,
                                      Duration timeout) {
    auto const until = Clock::now() + timeout;
    SPipe& pipe = mPipes[static_cast<int>(stream)];
    do {
      while (pipe.next < pipe.lines.size())
        if (match(pipe.lines[pipe.next++])) return pipe.lines[pipe.next - 1];
    } while (pipe.fd >= 0 && Pump(until));
    return std::nullopt;
  }

  // Its exit code, or 128 plus the ending signal, once it has ended: both its streams
  // end when it does, and then it is reaped at once.
  std::optional<int> WaitExit(Duration timeout) {
    auto const until = Clock::now() + timeout;
    while (Pump(until)) {
    }
    int status = 0;
    if (!mStatus && mPipes[0].fd < 0 && mPipes[1].fd < 0 && waitpid(mPid, &status, 0) == mPid)
      mStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return mStatus;
  }
  std::optional<int> Terminate(Duration timeout) {
    if (running()) kill(mPid, SIGTERM);
    return WaitExit(timeout);
  }
  bool running() const { return mPid > 0 && !mStatus; }
  std::vector<std::string> const& lines(Stream stream) const {
    return mPipes[static_cast<int>(stream)].lines;
  }

  // Its last output lines, for failure messages.
  std::string Transcript() const {
    std::string text = "\n--- last output of the child ---\n";
    for (std::size_t i = mTranscript.size() - std::min<std::size_t>(mTranscript.size(), 40);
         i < mTranscript.size(); ++i)
      text += mTranscript[i] + '\n';
    return text + "---";
  }

 private:
  struct SPipe {
    int fd = -1;  // -1 once the stream has ended
    std::string partial;
    std::vector<std::string> lines;
    std::size_t next = 0;  // the first line no wait has passed over yet
  };
  using Clock = std::chrono::steady_clock;

  // Waits until `until` for output; false when the deadline has passed or both streams ended.
  bool Pump(Clock::time_point until) {
    auto const left = std::chrono::ceil<Duration>(until - Clock::now()).count();
    pollfd fds[2] = {{mPipes[0].fd, POLLIN, 0}, {mPipes[1].fd, POLLIN, 0}};  // skips fd < 0
    if (left <= 0 || (fds[0].fd < 0 && fds[1].fd < 0)) return false;
    if (poll(fds, 2, static_cast<int>(std::min<long long>(left, 60'000))) < 0 && errno != EINTR)
      return false;
    for (int i = 0; i < 2; ++i)
      if (fds[i].revents) ReadFrom(mPipes[i]);
    return true;
  }

  void ReadFrom(SPipe& pipe) {
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

  pid_t mPid = -1;
  int mIn = -1;
  SPipe mPipes[2];  // stdout, stderr
  std::vector<std::string> mTranscript;
  std::optional<int> mStatus;
};
