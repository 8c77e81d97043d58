// A private olad for one test: a network namespace of the test's own, a fresh config
// dir, its own RPC port, started as the olad user and stopped by PID; on request, a veth
// pair to a second namespace for olad's sACN and Art-Net.
#pragma once

#include <sched.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>

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

  // Writes olad's config file `name` ("ola-e131.conf", "ola-port.conf", ...) before
  // StartOlad; it replaces the file of that name.
  bool Configure(std::string const& name, std::string const& text);

  // The wire: a veth pair from this namespace (kHere on "ola0") to a second namespace of the
  // test's own (kThere on kThereDevice), where captures and senders sit. A packet from a
  // local address would be dropped on receipt: a sender needs the other namespace. Both go
  // with the testbed. False, with the reason in error(), when the pair cannot be made.
  static constexpr char kHere[] = "198.18.0.1";
  static constexpr char kThere[] = "198.18.0.2";
  static constexpr char kThereDevice[] = "cap0";
  bool AddWire();
  // Runs `f` with the calling thread in the other namespace: the sockets it opens and the
  // processes it starts stay there. False (and `f` not run) without a wire.
  template <class F>
  bool There(F&& f) {
    if (mThere < 0 || setns(mThere, CLONE_NEWNET) != 0) return false;
    std::forward<F>(f)();
    return setns(mHere, CLONE_NEWNET) == 0;
  }

 private:
  bool Ready(double seconds);

  const std::uint16_t mPort;
  std::string mUnavailable;
  std::string mError;
  std::string mDir;  // config dir, owned by olad
  int mHome = -1;    // the namespace the thread came from
  bool mInside = false;
  pid_t mPid = -1;
  int mHere = -1;    // the testbed's namespace, once there is a wire
  int mThere = -1;   // the other end's namespace
  int mKeeper = -1;  // the stdin of a process that lives there (`ip` names it by PID)
  pid_t mKeeperPid = -1;
};
