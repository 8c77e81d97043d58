// The private olad of a test.
#include "COlaTestbed.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

extern char** environ;

namespace {

constexpr char const* kOlad = "/usr/bin/olad";
constexpr char const* kSetpriv = "/usr/bin/setpriv";

// Every plug-in is off: the tests need olad's client side only, and no plug-in may
// reach a network or a device.
constexpr char const* kPlugins[] = {
    "artnet",  "dummy",   "e131",    "espnet",           "ftdidmx", "gpio",     "karate",
    "kinet",   "milinst", "opendmx", "openpixelcontrol", "osc",     "pathport", "renard",
    "sandnet", "shownet", "spi",     "stageprofi",       "uartdmx", "usbdmx",   "usbserial"};

// Waits up to `ms` for the process behind `pidfd` to end.
bool WaitEnd(pid_t pid, int ms) {
  const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (fd < 0) return false;
  pollfd p{fd, POLLIN, 0};
  const bool ended = poll(&p, 1, ms) == 1;
  close(fd);
  return ended;
}

}  // namespace

COlaTestbed::COlaTestbed(std::uint16_t port) : mPort(port) {
  passwd const* user = getpwnam("olad");
  if (geteuid() != 0)
    mUnavailable = "needs root (a network namespace of its own, olad as user olad)";
  else if (access(kOlad, X_OK) != 0)
    mUnavailable = "olad is not installed (scripts/deps.sh installs package ola)";
  else if (access(kSetpriv, X_OK) != 0)
    mUnavailable = "setpriv is missing";
  else if (!user)
    mUnavailable = "there is no user olad to run olad as";
  if (!mUnavailable.empty()) return;

  mHome = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  if (mHome < 0 || unshare(CLONE_NEWNET) != 0) {
    mUnavailable = std::string("cannot make a network namespace: ") + std::strerror(errno);
    return;
  }
  mInside = true;
  if (std::system("ip link set lo up >/dev/null 2>&1") != 0) {
    mUnavailable = "cannot bring loopback up in the test's namespace";
    return;
  }
  char tmpl[] = "/tmp/kn-olad-XXXXXX";
  if (!mkdtemp(tmpl)) {
    mUnavailable = std::string("cannot make a config dir: ") + std::strerror(errno);
    return;
  }
  mDir = tmpl;
  bool ok = chown(mDir.c_str(), user->pw_uid, user->pw_gid) == 0;
  for (char const* plugin : kPlugins) {
    const std::string file = mDir + "/ola-" + plugin + ".conf";
    std::ofstream(file) << "enabled = false\n";
    ok = ok && chown(file.c_str(), user->pw_uid, user->pw_gid) == 0;
  }
  if (!ok) mUnavailable = "cannot hand the config dir to user olad";
}

COlaTestbed::~COlaTestbed() {
  StopOlad(SIGTERM);
  // The keeper reads its stdin to the end: closing it ends the other namespace, and with
  // it the veth pair (also when the test dies).
  if (mKeeper >= 0) close(mKeeper);
  if (mKeeperPid > 0) waitpid(mKeeperPid, nullptr, 0);
  for (int fd : {mThere, mHere})
    if (fd >= 0) close(fd);
  if (mInside) setns(mHome, CLONE_NEWNET);
  if (mHome >= 0) close(mHome);
  std::error_code ec;
  if (!mDir.empty()) std::filesystem::remove_all(mDir, ec);
}

bool COlaTestbed::StartOlad() {
  mError.clear();
  if (!mUnavailable.empty() || running()) return false;
  const std::string port = std::to_string(mPort);
  const std::string logFile = mDir + "/olad.log";
  std::vector<std::string> args = {kSetpriv, "--reuid=olad", "--regid=nogroup", "--clear-groups",
                                   "--inh-caps=-all", kOlad, "-c", mDir, "-r", port, "--no-http",
                                   "--no-register-with-dns-sd",
                                   // One frame sent and the connection closed at once was
                                   // sometimes lost with epoll; select keeps it.
                                   "--no-use-epoll", "-l", "2"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  // setpriv execs olad: the PID is olad's.
  const int r = posix_spawn(&mPid, kSetpriv, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (r != 0) {
    mPid = -1;
    mError = std::string("cannot start olad: ") + std::strerror(r);
    return false;
  }
  if (!Ready(10.0)) {
    StopOlad(SIGKILL);
    if (mError.empty()) mError = "olad did not take connections within 10 s";
    mError += "; its log:\n" + log();
    return false;
  }
  return true;
}

bool COlaTestbed::Ready(double seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(mPort);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  while (std::chrono::steady_clock::now() < end) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool up = connect(fd, reinterpret_cast<sockaddr const*>(&addr), sizeof addr) == 0;
    close(fd);
    if (up) return true;
    // Not listening yet: wait for olad to end or 10 ms, whichever comes first.
    if (WaitEnd(mPid, 10)) {
      mError = "olad ended before it took connections";
      return false;
    }
  }
  return false;
}

void COlaTestbed::StopOlad(int sig) {
  if (mPid <= 0) return;
  kill(mPid, sig);
  if (!WaitEnd(mPid, 3000)) kill(mPid, SIGKILL);
  int status = 0;
  waitpid(mPid, &status, 0);
  mPid = -1;
}

std::string COlaTestbed::log() const {
  std::ifstream in(mDir + "/olad.log");
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool COlaTestbed::Configure(std::string const& name, std::string const& text) {
  passwd const* user = getpwnam("olad");
  const std::string file = mDir + "/" + name;
  std::ofstream(file, std::ios::trunc) << text;
  return user && !mDir.empty() && chown(file.c_str(), user->pw_uid, user->pw_gid) == 0;
}

bool COlaTestbed::AddWire() {
  mError.clear();
  if (!mUnavailable.empty() || mHere >= 0) return false;
  mHere = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  if (mHere < 0 || unshare(CLONE_NEWNET) != 0) {
    mError = std::string("cannot make a second namespace: ") + std::strerror(errno);
    return false;
  }
  mThere = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  // A child started now lives there; `ip` places the pair's far end by its PID.
  int keep[2];
  bool ok = mThere >= 0 && pipe2(keep, O_CLOEXEC) == 0;
  if (ok) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, keep[0], 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    char cat[] = "/bin/cat";
    char* argv[] = {cat, nullptr};
    ok = posix_spawn(&mKeeperPid, cat, &actions, nullptr, argv, environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    close(keep[0]);
    mKeeper = keep[1];
  }
  if (setns(mHere, CLONE_NEWNET) != 0 || !ok) {
    mError = "cannot start a process in the second namespace";
    return false;
  }
  const std::string here = std::string("ip link add ola0 type veth peer name ") + kThereDevice +
                           " netns " + std::to_string(mKeeperPid) + " && ip addr add " + kHere +
                           "/24 brd + dev ola0 && ip link set ola0 up";
  const std::string there = std::string("ip link set lo up && ip addr add ") + kThere +
                            "/24 brd + dev " + kThereDevice + " && ip link set " + kThereDevice +
                            " up";
  bool farEnd = false;
  ok = std::system(here.c_str()) == 0 && There([&] { farEnd = std::system(there.c_str()) == 0; }) &&
       farEnd;
  if (!ok) mError = "cannot make a veth pair between the namespaces (ip says why above)";
  return ok;
}
