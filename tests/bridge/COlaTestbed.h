// A private olad for one test: a network namespace of the test's own, a fresh config
// dir, its own RPC port, started as the olad user and stopped by PID.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

// The calling thread enters a new network namespace with loopback up; threads and
// processes it starts afterwards (olad, libola's threads) live there too. Leaving it
// goes back to the namespace the thread came from; the kernel removes the namespace
// with the last user.
class COlaTestbed {
 public:
  static constexpr std::uint16_t kPort = 9311;  // not olad's default: the port is passed on

  // `port`: olad's RPC port; OLA's own tools reach only its default, 9010.
  explicit COlaTestbed(std::uint16_t port = kPort);
  ~COlaTestbed();  // stops olad, leaves the namespace, removes the config dir
  COlaTestbed(COlaTestbed const&) = delete;
  COlaTestbed& operator=(COlaTestbed const&) = delete;

  // Empty when a private olad can run here; else why not (for GTEST_SKIP).
  std::string const& unavailable() const { return mUnavailable; }

  // Starts olad and waits until it takes connections on its port (bounded). False, with the
  // reason in error(), when it does not come up.
  bool StartOlad();
  // SIGTERM (or `sig`), SIGKILL after 3 s; reaps it. Nothing happens without an olad.
  void StopOlad(int sig);
  bool running() const { return mPid > 0; }
  std::string const& error() const { return mError; }
  std::uint16_t port() const { return mPort; }
  std::string log() const;  // what olad wrote, for failure messages

 private:
  bool Ready(double seconds);

  const std::uint16_t mPort;
  std::string mUnavailable;
  std::string mError;
  std::string mDir;  // config dir, owned by olad
  int mHome = -1;    // the namespace the thread came from
  bool mInside = false;
  pid_t mPid = -1;
};
