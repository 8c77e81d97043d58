// A program under test in a child process, its standard streams on pipes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// Starts a program with pipes for stdin, stdout and stderr, reads its output lines with
// deadlines and ends it. Both output streams are drained whenever the test waits, so
// the child never blocks on a full pipe. The destructor kills and reaps a child that is
// still running, so a failed test leaves no process behind.
class CChildProcess {
 public:
  using Duration = std::chrono::milliseconds;
  enum class Stream { kOut, kErr };

  CChildProcess() = default;
  ~CChildProcess();
  CChildProcess(CChildProcess const&) = delete;
  CChildProcess& operator=(CChildProcess const&) = delete;

  // Starts `argv[0]` with the arguments that follow. False, with the reason in `error`,
  // when it cannot be started.
  bool Start(std::vector<std::string> const& argv, std::string* error);
  // Writes `line` and a newline to the child's standard input.
  bool Send(std::string const& line);

  // Waits for the next line of `stream` that `match` accepts and returns it; earlier
  // lines are passed over. Nothing when the deadline passes or the stream ends first.
  std::optional<std::string> WaitLine(Stream stream,
                                      std::function<bool(std::string const&)> const& match,
                                      Duration timeout);

  // Waits for the child to end, draining its output. Its exit code, or 128 plus the
  // signal that ended it; nothing when the deadline passes first.
  std::optional<int> WaitExit(Duration timeout);
  // Sends SIGTERM, then waits as WaitExit does.
  std::optional<int> Terminate(Duration timeout);
  bool running() const { return mPid > 0 && !mStatus; }

  // Every line read so far from `stream`.
  std::vector<std::string> const& lines(Stream stream) const {
    return mPipes[static_cast<int>(stream)].lines;
  }
  // The last lines of both streams, for failure messages.
  std::string Transcript() const;

 private:
  struct SPipe {
    int fd = -1;  // -1 once the stream has ended
    std::string partial;
    std::vector<std::string> lines;
    std::size_t next = 0;  // the first line no wait has passed over yet
  };
  using Clock = std::chrono::steady_clock;

  // Waits until `until` for output or the child's end and takes what is there; false
  // when the deadline has passed or nothing more can come.
  bool Pump(Clock::time_point until);
  void ReadFrom(SPipe& pipe);

  pid_t mPid = -1;
  int mPidFd = -1;  // readable once the child has ended
  int mIn = -1;
  SPipe mPipes[2];  // stdout, stderr
  std::vector<std::string> mTranscript;
  std::optional<int> mStatus;
};

// A UDP socket bound to all local addresses on a port the system picks, held until
// destroyed: a port that nobody else can open. A destroyed one leaves a port that was
// free a moment ago.
class CHeldUdpPort {
 public:
  CHeldUdpPort();
  ~CHeldUdpPort();
  CHeldUdpPort(CHeldUdpPort const&) = delete;
  CHeldUdpPort& operator=(CHeldUdpPort const&) = delete;

  int port() const { return mPort; }

 private:
  int mFd = -1;
  int mPort = -1;
};
