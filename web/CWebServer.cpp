// The host's web page: routes, the checks in front of them, the hand-over to the loop
// and the live channel.
#include "CWebServer.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>
#include <charconv>
#include <chrono>
#include <cmath>
#include <nlohmann/json.hpp>
#include <random>

#include "CWebAssets.h"
#include "CWebModel.h"

using nlohmann::json;

namespace {

constexpr char kTokenHeader[] = "X-Kelmar-Token";
constexpr char kTokenMark[] = "{{TOKEN}}";
constexpr char kJsonType[] = "application/json";
constexpr char kPolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
    "img-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

std::string NewToken() {
  std::random_device random;
  std::string token;
  static constexpr char kHex[] = "0123456789abcdef";
  for (int i = 0; i < 32; ++i) token += kHex[random() & 15];
  return token;
}

// Compares without stopping at the first difference, so the time taken tells nothing.
bool SameSecret(std::string const& a, std::string const& b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

std::string HostText(std::string const& address, int port) {
  const bool v6 = address.find(':') != std::string::npos;
  return (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

bool IsWildcard(std::string const& address) {
  return address == "0.0.0.0" || address == "::";
}

// The addresses of this machine's interfaces, for a server bound to all of them.
std::vector<std::string> InterfaceAddresses() {
  std::vector<std::string> out;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return out;
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr) continue;
    char text[INET6_ADDRSTRLEN] = {};
    const int family = i->ifa_addr->sa_family;
    if (family == AF_INET)
      inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr, text, sizeof text);
    else if (family == AF_INET6)
      inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(i->ifa_addr)->sin6_addr, text,
                sizeof text);
    else
      continue;
    out.emplace_back(text);
  }
  freeifaddrs(list);
  return out;
}

void Fail(httplib::Response& res, int status, std::string const& message) {
  res.status = status;
  res.set_content(json{{"error", message}}.dump(), kJsonType);
}

void Reply(httplib::Response& res, json const& body) {
  res.status = 200;
  res.set_content(body.dump(), kJsonType);
}

// The numeric address and port of one end of socket `fd`; false when it is not an IP
// socket or has no such end.
bool Endpoint(int fd, bool peer, std::string* address, int* port) {
  sockaddr_storage sa{};
  socklen_t len = sizeof sa;
  auto* p = reinterpret_cast<sockaddr*>(&sa);
  if ((peer ? getpeername(fd, p, &len) : getsockname(fd, p, &len)) != 0) return false;
  if (sa.ss_family != AF_INET && sa.ss_family != AF_INET6) return false;
  char host[NI_MAXHOST], serv[NI_MAXSERV];
  if (getnameinfo(p, len, host, sizeof host, serv, sizeof serv, NI_NUMERICHOST | NI_NUMERICSERV))
    return false;
  *address = host;
  *port = std::atoi(serv);
  return true;
}

// The socket of the connection from `remote`:`remotePort` to our `localPort`, or -1.
// The HTTP library hands a handler its request, not its socket; the live channel's
// writer needs the socket to write to many clients without blocking on any.
int FindConnection(std::string const& remote, int remotePort, int localPort) {
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return -1;
  int found = -1;
  while (dirent* e = readdir(dir)) {
    char* end = nullptr;
    const long fd = std::strtol(e->d_name, &end, 10);
    if (end == e->d_name || *end) continue;
    std::string address;
    int port = 0;
    if (Endpoint(int(fd), false, &address, &port) && port == localPort &&
        Endpoint(int(fd), true, &address, &port) && port == remotePort && address == remote) {
      found = int(fd);
      break;
    }
  }
  closedir(dir);
  return found;
}

// `text` as one chunk of a chunked HTTP body.
std::string Chunk(std::string const& text) {
  char size[20];
  std::snprintf(size, sizeof size, "%zx\r\n", text.size());
  return size + text + "\r\n";
}

std::string Hex(std::array<std::uint8_t, 512> const& levels) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(levels.size() * 2, '0');
  for (std::size_t i = 0; i < levels.size(); ++i) {
    out[2 * i] = kHex[levels[i] >> 4];
    out[2 * i + 1] = kHex[levels[i] & 15];
  }
  return out;
}

// A request body as a JSON object with only the fields `allowed`; nothing, with a 400
// answer in `res`, otherwise.
std::optional<json> Body(httplib::Request const& req, httplib::Response& res,
                         std::initializer_list<char const*> allowed) {
  json body = json::parse(req.body, nullptr, false);
  if (body.is_discarded()) return Fail(res, 400, "the body is not valid JSON"), std::nullopt;
  if (!body.is_object()) return Fail(res, 400, "the body is not a JSON object"), std::nullopt;
  for (auto const& [key, value] : body.items()) {
    bool known = false;
    for (char const* a : allowed) known = known || key == a;
    if (!known) return Fail(res, 400, "unknown field \"" + key + "\""), std::nullopt;
  }
  return body;
}

// A whole number in [lo, hi] from field `name`, or `fallback` when it is absent and
// optional. False with a 400 answer otherwise.
bool WholeField(json const& body, char const* name, long lo, long hi, std::optional<long> fallback,
                long* out, httplib::Response& res) {
  auto it = body.find(name);
  if (it == body.end()) {
    if (fallback) return *out = *fallback, true;
    return Fail(res, 400, std::string("\"") + name + "\" is missing"), false;
  }
  const bool whole = it->is_number_integer() ||
                     (it->is_number_float() && std::floor(it->get<double>()) == it->get<double>());
  if (!whole) return Fail(res, 400, std::string("\"") + name + "\" is not a whole number"), false;
  const double v = it->get<double>();
  if (v < double(lo) || v > double(hi))
    return Fail(res, 400,
                std::string("\"") + name + "\" is out of " + std::to_string(lo) + ".." +
                    std::to_string(hi)),
           false;
  *out = long(v);
  return true;
}

}  // namespace

std::optional<SWebAddress> ParseWebAddress(std::string const& text, std::string* error) {
  SWebAddress where;
  std::string port = text;
  if (auto colon = text.rfind(':'); colon != std::string::npos) {
    std::string host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
      host = host.substr(1, host.size() - 2);
    in6_addr scratch{};
    if (host == "localhost") {
      host = "127.0.0.1";
    } else if (inet_pton(AF_INET, host.c_str(), &scratch) != 1 &&
               inet_pton(AF_INET6, host.c_str(), &scratch) != 1) {
      if (error) *error = "bad address '" + host + "' (a numeric IPv4 or IPv6 address)";
      return std::nullopt;
    }
    where.address = host;
    where.named = true;
  }
  int p = 0;
  auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), p);
  if (port.empty() || ec != std::errc() || end != port.data() + port.size() || p < 0 || p > 65535) {
    if (error) *error = "bad port '" + port + "' (0..65535)";
    return std::nullopt;
  }
  where.port = p;
  return where;
}

bool IsLoopbackAddress(std::string const& address) {
  in_addr v4{};
  if (inet_pton(AF_INET, address.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  return address == "::1" || address == "localhost";
}

// ---- the hand-over to the loop -------------------------------------------------------

struct CWebServer::SCall {
  enum State { kQueued, kRunning, kDone, kAbandoned };
  std::function<void()> fn;
  std::mutex lock;
  std::condition_variable changed;
  State state = kQueued;
};

CWebServer::CWebServer(CWebModel& model, SOptions options)
    : LHandler(nullptr),
      mModel(model),
      mOptions(std::move(options)),
      mToken(NewToken()),
      mSignal(this, mWorld),
      mSoon(&OnSoon, this) {}

CWebServer::~CWebServer() {
  if (mLoop) mLoop->RemoveObserver(mObserver);
  {
    // Under the queue's lock, so no call is queued after this pass and left waiting.
    std::lock_guard<std::mutex> hold(mCallLock);
    mStopping = true;
    for (auto& call : mCalls) {
      std::lock_guard<std::mutex> holdCall(call->lock);
      call->state = SCall::kAbandoned;
      call->changed.notify_all();
    }
    mCalls.clear();
  }
  // The writer lets every live client go; their workers end, and then the server can.
  if (mWriter.joinable()) {
    WakeWriter();
    mWriter.join();
  }
  if (mServer) {
    // A stop before the thread is in its accept loop would be lost: wait for it to get
    // there (or to give up), which takes no longer than a thread start.
    while (!mServer->is_running() && !mListenEnded) std::this_thread::yield();
    mServer->stop();
  }
  if (mThread.joinable()) mThread.join();
  if (mWake >= 0) close(mWake);
}

bool CWebServer::OnLoop(std::function<void()> fn) {
  auto call = std::make_shared<SCall>();
  call->fn = std::move(fn);
  {
    std::lock_guard<std::mutex> hold(mCallLock);
    if (mStopping) return false;
    mCalls.push_back(call);
  }
  mSignal.Signal();  // after the unlock: the loop may take the lock as soon as it wakes
  std::unique_lock<std::mutex> hold(call->lock);
  auto finished = [&] { return call->state == SCall::kDone || call->state == SCall::kAbandoned; };
  if (!call->changed.wait_for(hold, std::chrono::milliseconds(mOptions.requestTimeoutMs),
                              finished)) {
    // Not taken in time: it must never run after we answered. One already running
    // ends soon, and references this request's data, so wait for it.
    if (call->state == SCall::kQueued) call->state = SCall::kAbandoned;
    call->changed.wait(hold, finished);
  }
  return call->state == SCall::kDone;
}

LEvent CWebServer::HandleEvent(LEvent const& e) {
  if (e.is(LAsyncSignal::rX, &mSignal)) {
    RunCalls();
    return LEvent();
  }
  return LHandler::HandleEvent(e);
}

void CWebServer::RunCalls() {
  std::deque<std::shared_ptr<SCall>> calls;
  {
    std::lock_guard<std::mutex> hold(mCallLock);
    calls.swap(mCalls);
  }
  // No lock held while the model runs.
  for (auto& call : calls) {
    {
      std::lock_guard<std::mutex> hold(call->lock);
      if (call->state != SCall::kQueued) continue;
      call->state = SCall::kRunning;
    }
    call->fn();
    std::lock_guard<std::mutex> hold(call->lock);
    call->state = SCall::kDone;
    call->changed.notify_all();
  }
}

// ---- frames --------------------------------------------------------------------------

std::string CWebServer::StateJson(std::vector<SWebPatch> const& all) {
  json patches = json::array();
  std::size_t index = 0;
  for (auto const& p : all) {
    json settings = json::array();
    for (auto const& s : p.settings)
      settings.push_back(
          {{"key", s.key}, {"label", s.label}, {"value", s.value}, {"min", s.min}, {"max", s.max}});
    patches.push_back({{"index", index++},
                       {"name", p.name},
                       {"settings", settings},
                       {"status", p.status},
                       {"state", p.state},
                       {"partner", p.partner},
                       {"receiving", p.receiving},
                       {"inFirst", p.inFirst},
                       {"inLast", p.inLast},
                       {"in", Hex(p.in)},
                       {"out", Hex(p.out)}});
  }
  return json{{"patches", patches}}.dump();
}

void CWebServer::Publish() {
  // The patches are compared before any JSON is made: most frames change nothing.
  std::vector<SWebPatch> patches = mModel.Patches();
  if (mLast && patches == *mLast) return;
  const std::string state = StateJson(patches);
  mLast = std::move(patches);
  bool listened = false;
  {
    std::lock_guard<std::mutex> hold(mFrameLock);
    listened = !mLive.empty();
    ++mFrameSeq;
    ++mStats.published;
    // The document with its number first: {"seq":N,"patches":...}.
    mFrame = std::make_shared<std::string const>(
        Chunk("id: " + std::to_string(mFrameSeq) + "\nevent: state\ndata: {\"seq\":" +
              std::to_string(mFrameSeq) + "," + state.substr(1) + "\n\n"));
  }
  if (listened) WakeWriter();  // a client that comes later wakes it itself
}

// ---- the live channel's writer ---------------------------------------------------------

// One live client. Its socket is written by the writer thread alone, while the worker
// that took its request waits for `released`; the worker then closes the connection.
struct CWebServer::SLive {
  int fd = -1;
  std::uint64_t have = 0;                  // the frame it was last given
  std::shared_ptr<std::string const> out;  // being written, from `offset`
  std::size_t offset = 0;
  std::chrono::steady_clock::time_point lastWrite = std::chrono::steady_clock::now();
  bool released = false;  // guarded by mFrameLock
  std::condition_variable freed;
};

void CWebServer::WakeWriter() {
  const std::uint64_t one = 1;
  if (mWake >= 0 && write(mWake, &one, sizeof one) < 0) {
    // Full only when the writer is far behind: it is awake anyway.
  }
}

void CWebServer::Write() {
  using Clock = std::chrono::steady_clock;
  static auto const kAlive = std::make_shared<std::string const>(Chunk(": alive\n\n"));
  std::vector<std::shared_ptr<SLive>> live, gone;
  std::vector<pollfd> fds;
  for (;;) {
    std::shared_ptr<std::string const> frame;
    std::uint64_t seq = 0;
    {
      std::lock_guard<std::mutex> hold(mFrameLock);
      for (auto const& c : gone) {
        mLive.erase(std::find(mLive.begin(), mLive.end(), c));
        c->released = true;
        c->freed.notify_all();
      }
      gone.clear();
      if (mStopping) break;
      live = mLive;
      frame = mFrame;
      seq = mFrameSeq;
    }
    // Each client finishes what it was given, then gets the latest frame if it has not;
    // a socket that is full waits, and the frames published meanwhile are skipped.
    const auto now = Clock::now();
    fds.assign(1, pollfd{mWake, POLLIN, 0});
    for (auto const& c : live) {
      if (!c->out && frame && c->have != seq) {
        std::lock_guard<std::mutex> hold(mFrameLock);
        if (c->have != 0) mStats.skipped += seq - c->have - 1;
        ++mStats.sent;
        c->have = seq;
        c->out = frame;
        c->offset = 0;
      } else if (!c->out && now - c->lastWrite > std::chrono::seconds(15)) {
        c->out = kAlive;  // finds clients that left
        c->offset = 0;
      }
      bool failed = false;
      while (c->out && !failed) {
        const ssize_t n = send(c->fd, c->out->data() + c->offset, c->out->size() - c->offset,
                               MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (n <= 0) {
          failed = true;
          break;
        }
        c->offset += std::size_t(n);
        if (c->offset == c->out->size()) c->out.reset(), c->lastWrite = now;
      }
      if (failed) {
        gone.push_back(c);
        continue;
      }
      fds.push_back(pollfd{c->fd, short(POLLRDHUP | (c->out ? POLLOUT : 0)), 0});
    }
    if (!gone.empty()) continue;  // let them go first; fds[i] is live[i - 1] below
    // Wakes for a new frame or client, a socket that takes more, a client that left,
    // and once a second for the keep-alive while any client listens.
    if (poll(fds.data(), fds.size(), live.empty() ? -1 : 1000) <= 0) continue;
    if (fds[0].revents & POLLIN) {
      std::uint64_t count;
      if (read(mWake, &count, sizeof count) < 0) {
        // Nothing to take: the next pass looks again.
      }
    }
    for (std::size_t i = 1; i < fds.size(); ++i)
      if (fds[i].revents & (POLLERR | POLLHUP | POLLRDHUP)) gone.push_back(live[i - 1]);
  }
  // Stopping: every worker may go, and none is taken on after this.
  std::lock_guard<std::mutex> hold(mFrameLock);
  mWriterDone = true;
  for (auto const& c : mLive) {
    c->released = true;
    c->freed.notify_all();
  }
  mLive.clear();
}

void CWebServer::OnLoopPass(void* self) {
  auto* server = static_cast<CWebServer*>(self);
  if (server->mModel.ReceivedChanged() && !server->mSoon.armed()) server->mSoon.Arm(kSoon);
}

void CWebServer::OnSoon(CLoopTimer*, void* self) {
  static_cast<CWebServer*>(self)->Publish();
}

CWebServer::SStats CWebServer::stats() const {
  std::lock_guard<std::mutex> hold(mFrameLock);
  return mStats;
}

std::string CWebServer::url() const {
  std::string host = mOptions.where.address;
  if (IsWildcard(host)) host = "127.0.0.1";
  return "http://" + HostText(host, mPort) + "/";
}

// ---- the server ------------------------------------------------------------------------

bool CWebServer::Start(std::string* error) {
  mServer = std::make_unique<httplib::Server>();
  httplib::Server& svr = *mServer;
  const int threads = mOptions.threads;
  svr.new_task_queue = [threads] { return new httplib::ThreadPool(std::size_t(threads)); };
  svr.set_payload_max_length(mOptions.maxBody);
  svr.set_keep_alive_timeout(2);
  // Only SO_REUSEADDR: the library's default adds SO_REUSEPORT, which would let another
  // program bind the same port beside us and take some of our connections. A small send
  // buffer (accepted sockets inherit it) keeps what waits in the kernel for a slow live
  // client to a few frames, so what it does get is recent.
  svr.set_socket_options([](int sock) {
    int yes = 1, buffer = 64 * 1024;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
  });
  svr.set_default_headers({{"X-Frame-Options", "DENY"},
                           {"Content-Security-Policy", kPolicy},
                           {"X-Content-Type-Options", "nosniff"},
                           {"Referrer-Policy", "no-referrer"},
                           {"Cache-Control", "no-store"}});
  std::string const& address = mOptions.where.address;
  if (mOptions.where.port == 0) {
    mPort = svr.bind_to_any_port(address);
    if (mPort < 0) mPort = 0;
  } else if (svr.bind_to_port(address, mOptions.where.port)) {
    mPort = mOptions.where.port;
  }
  if (mPort == 0) {
    if (error) *error = "cannot listen on " + HostText(address, mOptions.where.port);
    mServer.reset();
    return false;
  }
  mHosts = {HostText("127.0.0.1", mPort), "localhost:" + std::to_string(mPort),
            HostText("::1", mPort)};
  if (IsWildcard(address)) {
    for (auto const& a : InterfaceAddresses()) mHosts.push_back(HostText(a, mPort));
  } else {
    mHosts.push_back(HostText(address, mPort));
  }
  mWake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (mWake < 0) {
    if (error) *error = "cannot make an eventfd";
    mServer.reset();
    return false;
  }
  Route();
  Publish();
  mWriter = std::thread([this] { Write(); });
  mLoop = &CRunLoop::Current();
  mObserver = mLoop->AddObserver(&OnLoopPass, this);
  mThread = std::thread([this, &svr] {
    svr.listen_after_bind();
    mListenEnded = true;
  });
  return true;
}

void CWebServer::Route() {
  httplib::Server& svr = *mServer;

  // In front of every route: the Host must name this server (a page of another site
  // that rebinds its name to us is refused), and a change must come from our own page.
  svr.set_pre_routing_handler([this](httplib::Request const& req, httplib::Response& res) {
    using R = httplib::Server::HandlerResponse;
    const std::string host = req.get_header_value("Host");
    bool known = false;
    for (auto const& h : mHosts) known = known || h == host;
    if (!known) return Fail(res, 403, "unknown host"), R::Handled;
    if (req.method == "GET" || req.method == "HEAD") return R::Unhandled;
    if (req.get_header_value("Origin") != "http://" + host)
      return Fail(res, 403, "cross-origin request"), R::Handled;
    if (!SameSecret(req.get_header_value(kTokenHeader), mToken))
      return Fail(res, 403, "missing or wrong token"), R::Handled;
    const std::string type = req.get_header_value("Content-Type");
    if (type.rfind(kJsonType, 0) != 0)
      return Fail(res, 415, "the body must be application/json"), R::Handled;
    return R::Unhandled;
  });
  svr.set_error_handler([](httplib::Request const&, httplib::Response& res) {
    if (!res.body.empty()) return;
    char const* what = res.status == 404   ? "not found"
                       : res.status == 413 ? "the body is too large"
                                           : "the request cannot be served";
    Fail(res, res.status, what);
  });

  // The page's files; the page carries the token.
  auto asset = [this](httplib::Request const& req, httplib::Response& res) {
    const std::string path = req.path == "/" ? "/index.html" : req.path;
    SWebAsset const* a = FindWebAsset(path);
    if (!a) return Fail(res, 404, "not found");
    std::string body(reinterpret_cast<char const*>(a->data), a->size);
    if (auto at = body.find(kTokenMark); at != std::string::npos)
      body.replace(at, sizeof kTokenMark - 1, mToken);
    res.set_content(body, a->type);
  };
  svr.Get("/", asset);
  svr.Get(R"(/[a-z]+\.(html|css|js))", asset);

  svr.Get("/api/state", [this](httplib::Request const&, httplib::Response& res) {
    std::string state;
    std::uint64_t seq = 0;
    if (!OnLoop([&] {
          state = StateJson(mModel.Patches());
          std::lock_guard<std::mutex> hold(mFrameLock);
          seq = mFrameSeq;
        }))
      return Fail(res, 503, "the host is busy");
    res.set_content("{\"seq\":" + std::to_string(seq) + "," + state.substr(1), kJsonType);
  });

  for (char const* route : {"/api/settings", "/api/inputs", "/api/save"})
    svr.Get(route, [](httplib::Request const&, httplib::Response& res) {
      res.set_header("Allow", "POST");
      Fail(res, 405, "use POST");
    });

  svr.Post("/api/settings", [this](httplib::Request const& req, httplib::Response& res) {
    auto body = Body(req, res, {"patch", "key", "value"});
    if (!body) return;
    long patch = 0;
    if (!WholeField(*body, "patch", 0, 1 << 20, 0L, &patch, res)) return;
    auto key = body->find("key");
    auto value = body->find("value");
    if (key == body->end() || !key->is_string()) return Fail(res, 400, "\"key\" is not a string");
    if (value == body->end() || !value->is_number())
      return Fail(res, 400, "\"value\" is not a number");
    const std::string name = key->get<std::string>();
    const double requested = value->get<double>();
    bool ok = false;
    double applied = 0;
    std::string error, status;
    if (!OnLoop([&] {
          ok = mModel.SetSetting(std::size_t(patch), name, requested, &applied, &error);
          if (!ok) return;
          auto const patches = mModel.Patches();
          if (std::size_t(patch) < patches.size()) status = patches[std::size_t(patch)].status;
          Publish();
        }))
      return Fail(res, 503, "the host is busy");
    if (!ok) return Fail(res, 400, error);
    json reply{{"patch", patch},
               {"key", name},
               {"requested", requested},
               {"value", applied},
               {"corrected", applied != requested},
               {"status", status}};
    if (applied != requested)
      reply["message"] = name + " " + value->dump() + " is out of bounds; using " +
                         std::to_string(std::lround(applied));
    Reply(res, reply);
  });

  svr.Post("/api/inputs", [this](httplib::Request const& req, httplib::Response& res) {
    auto body = Body(req, res, {"patch", "first", "levels"});
    if (!body) return;
    long patch = 0, first = 0;
    if (!WholeField(*body, "patch", 0, 1 << 20, 0L, &patch, res)) return;
    if (!WholeField(*body, "first", 1, 512, std::nullopt, &first, res)) return;
    auto levels = body->find("levels");
    if (levels == body->end() || !levels->is_array() || levels->empty() || levels->size() > 512)
      return Fail(res, 400, "\"levels\" is not an array of 1..512 levels");
    std::vector<std::uint8_t> values;
    for (auto const& v : *levels) {
      const bool whole = v.is_number_integer() ||
                         (v.is_number_float() && std::floor(v.get<double>()) == v.get<double>());
      if (!whole || v.get<double>() < 0 || v.get<double>() > 255)
        return Fail(res, 400, "levels are whole numbers 0..255");
      values.push_back(static_cast<std::uint8_t>(v.get<double>()));
    }
    bool ok = false;
    std::string error;
    if (!OnLoop([&] {
          ok = mModel.SetInputs(std::size_t(patch), int(first), values, &error);
          if (ok) Publish();
        }))
      return Fail(res, 503, "the host is busy");
    if (!ok) return Fail(res, 400, error);
    Reply(res, {{"patch", patch}, {"first", first}, {"count", values.size()}});
  });

  svr.Post("/api/save", [this](httplib::Request const& req, httplib::Response& res) {
    if (!Body(req, res, {})) return;
    bool ok = false;
    std::string message;
    if (!OnLoop([&] { ok = mModel.Save(&message); })) return Fail(res, 503, "the host is busy");
    if (!ok) return Fail(res, 500, message);
    Reply(res, {{"ok", true}, {"message", message}});
  });

  // The live channel: the worker that took the request hands its connection to the
  // writer once the headers are out, and waits until the writer lets it go.
  svr.Get("/api/events", [this](httplib::Request const& req, httplib::Response& res) {
    const int fd = FindConnection(req.remote_addr, req.remote_port, req.local_port);
    if (fd < 0) return Fail(res, 500, "the live channel cannot be served");
    {
      std::lock_guard<std::mutex> hold(mFrameLock);
      if (mStats.liveClients >= mOptions.maxLiveClients)
        return Fail(res, 503, "too many live clients");
      ++mStats.liveClients;
    }
    auto live = std::make_shared<SLive>();
    live->fd = fd;
    res.set_header("X-Accel-Buffering", "no");
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, live](std::size_t, httplib::DataSink&) {
          std::unique_lock<std::mutex> hold(mFrameLock);
          if (!mWriterDone) {
            mLive.push_back(live);
            hold.unlock();
            WakeWriter();
            hold.lock();
            live->freed.wait(hold, [&] { return live->released; });
          }
          return false;  // the connection ends
        },
        [this](bool) {
          std::lock_guard<std::mutex> hold(mFrameLock);
          --mStats.liveClients;
        });
  });
}
