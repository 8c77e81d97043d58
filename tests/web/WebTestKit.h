// Helpers of the web tests: a client that runs while the test thread turns the loop,
// and a raw socket for what a well-behaved client never sends or never reads.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>
#include <chrono>
#include <functional>
#include <future>
#include <string>

#include "CRunLoop.h"

// Runs `fn` on another thread while this thread turns its run loop, which is where the
// server hands requests; fails the test if it does not end within 10 s.
template <class T>
T WhileLooping(std::function<T()> fn) {
  auto result = std::async(std::launch::async, std::move(fn));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (result.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "no answer within 10 s";
      break;
    }
    CRunLoop::Current().RunOnce(0.005);
  }
  return result.get();
}

// A request's outcome: status (0 when none came), body and headers.
struct SAnswer {
  int status = 0;
  std::string body;
  httplib::Headers headers;
  std::string header(std::string const& name) const {
    auto it = headers.find(name);
    return it == headers.end() ? "" : it->second;
  }
};

inline SAnswer Take(httplib::Result const& r) {
  SAnswer a;
  if (!r) return a;
  a.status = r->status;
  a.body = r->body;
  a.headers = r->headers;
  return a;
}

// A TCP connection to 127.0.0.1:port with a small receive buffer, for a client that
// reads slowly or sends raw bytes. Reads wait on poll with a deadline.
class CRawClient {
 public:
  explicit CRawClient(int port, int receiveBuffer = 0) {
    mFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0)
      setsockopt(mFd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    mConnected = connect(mFd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
  }
  ~CRawClient() {
    if (mFd >= 0) close(mFd);
  }
  CRawClient(CRawClient const&) = delete;
  CRawClient& operator=(CRawClient const&) = delete;

  bool connected() const { return mConnected; }
  bool Send(std::string const& bytes) {
    return ::send(mFd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
  }
  // Appends what arrives to `got` until `done(got)` holds or the deadline passes (false)
  // or the server closes (false unless `done` then holds).
  bool ReadUntil(std::string& got, std::function<bool(std::string const&)> const& done,
                 std::chrono::milliseconds within = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + within;
    while (!done(got)) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{mFd, POLLIN, 0};
      if (poll(&p, 1, int(left.count())) <= 0) continue;
      char buf[65536];
      const ssize_t n = recv(mFd, buf, sizeof buf, 0);
      if (n <= 0) return done(got);
      got.append(buf, std::size_t(n));
    }
    return true;
  }

 private:
  int mFd = -1;
  bool mConnected = false;
};
