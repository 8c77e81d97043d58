// A network namespace of a test's own, entered by the calling thread only. The kernel
// removes it with the last socket or handle in it, so nothing outlives the test.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

class CScratchNetns {
 public:
  CScratchNetns() : mHome(open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC)) {
    mInside = mHome >= 0 && unshare(CLONE_NEWNET) == 0;
  }
  ~CScratchNetns() {
    if (mInside) setns(mHome, CLONE_NEWNET);
    if (mHome >= 0) close(mHome);
  }
  CScratchNetns(CScratchNetns const&) = delete;

  // Brings loopback up, then runs shell commands (`ip`, `tc`) inside; true when all succeed.
  bool Run(std::string const& commands) const {
    const std::string line = "{ ip link set lo up && " + commands + "; } >/dev/null 2>&1";
    return mInside && std::system(line.c_str()) == 0;
  }

 private:
  int mHome;
  bool mInside;
};
