// kelmar-peer: the peer protocol from a terminal or a script, in either role.
#include <getopt.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "CAppLog.h"
#include "CAppLoop.h"
#include "CAsyncWorld_Null.h"
#include "CKelmarNetPeer.h"
#include "CLevels.h"
#include "CPeerText.h"
#include "UEventClock.h"

namespace {

constexpr int kDefaultPort = 51209;
constexpr char kVersion[] = "kelmar-peer 0.1.0";

void Usage(std::ostream& out) {
  out << "Usage: kelmar-peer connect HOST[:PORT] [OPTION]...\n"
         "       kelmar-peer listen [OPTION]...\n"
         "Talks to a Kelmar Network endpoint: 'connect' requests a connection (and retries\n"
         "for ever after any failure); 'listen' waits for one and accepts or denies it.\n"
         "Either way it sends DMX levels every frame and shows the levels it receives.\n"
         "\n"
         "  -p, --port N           local UDP port (listen: default 51209; connect: any)\n"
         "  -P, --password TEXT    connect: the password the endpoint holds (default empty);\n"
         "                         listen: our own password\n"
         "      --deny             listen: deny requests instead of accepting them\n"
         "  -d, --dmx LEVELS       levels 0..255 to send, from slot 1 (e.g. -d 0,255,128)\n"
         "      --pattern NAME     send a pattern instead: chase or ramp\n"
         "      --channels N       slots the pattern covers (1..512, default 12)\n"
         "                         (with neither -d nor --pattern: one frame per line on\n"
         "                         standard input, each as for -d)\n"
         "  -r, --fps N            frames per second (1..1000, default 44)\n"
         "  -s, --seconds N        stop after N seconds (default: run until stopped)\n"
         "  -b, --beacon A,B       send a beacon of two numbers once connected\n"
         "      --show N           show slots 1..N of received levels (default: up to the\n"
         "                         last non-zero slot)\n"
         "      --show-sent        also show the levels sent, at the frame they change\n"
         "      --hex, --percent   show levels in hex, or in percent (FL for full)\n"
         "      --json             one JSON object per line instead of words\n"
         "  -l, --log-level N      messages on standard error: 0 none, 1 fatal, 2 warn\n"
         "                         (default), 3 info, 4 debug\n"
         "  -h, --help             show this help\n"
         "  -v, --version          show the version\n"
         "\n"
         "Exit status: 0 done, 64 usage error, 69 the local port cannot be opened, 1 other.\n";
}

struct SOptions {
  bool listen = false;
  CUDPAddr remote;
  long port = -1;
  std::string password;
  bool deny = false;
  std::optional<std::vector<std::uint8_t>> levels;
  std::string pattern;
  int channels = 12;
  double fps = 44;
  double seconds = -1;
  std::optional<std::pair<std::uint32_t, std::uint64_t>> beacon;
  int show = -1;
  bool showSent = false;
  LevelFormat format = LevelFormat::kDecimal;
  bool json = false;
};

// The owner of one peer: reports what happens, answers requests, sends frames.
class CPeerTool : public LHandler {
 public:
  explicit CPeerTool(SOptions const& o) : LHandler(nullptr), mOpt(o), mPeer(this, mWorld) {
    mPeer.SetPassword(
        LString(reinterpret_cast<unsigned char const*>(o.listen ? o.password.c_str() : "")));
    mPeer.SetListen(o.listen);
    mTurn.SetSize(1);
    if (o.levels) SetLevels(*o.levels);
  }

  bool Open() { return mPeer.Open(static_cast<unsigned>(mOpt.port < 0 ? 0 : mOpt.port)); }
  std::uint32_t port() const { return mPeer.port(); }

  void Start() {
    if (mOpt.listen) {
      Say("listening", {{"port", mPeer.port()}},
          "listening on UDP port " + std::to_string(mPeer.port()));
      return;
    }
    Say("connecting", {{"address", AddrText(mOpt.remote)}},
        "connecting to " + AddrText(mOpt.remote));
    const std::string& pw = mOpt.password;
    mPeer.Connect(mOpt.remote,
                  LString(reinterpret_cast<unsigned char const*>(pw.data()), uint32_t(pw.size())));
  }

  // Tells a connected partner that we are going, so it need not wait for silence.
  void Stop() { mPeer.Disconnect(CKelmarNetPeer::stIdle); }

  void SetLevels(std::vector<std::uint8_t> const& levels) {
    mTurn.SetSize(static_cast<std::uint32_t>(levels.size() + 1));
    for (std::size_t i = 0; i < levels.size(); ++i) mTurn.data()[i + 1] = levels[i];
  }

  void Frame(double elapsed) {
    mWorld.DriveTimers();  // a refresh due now makes this frame's turn a full one
    if (!mOpt.pattern.empty()) Pattern(elapsed);
    mPeer.SendTurnA(mTurn);
    if (mOpt.showSent) Sent();
    // A visible marker when turns stop arriving on a live connection.
    if (mReceiving && UEventClock::Now() - mLastTurn > 1.0) {
      mReceiving = false;
      Say("no-data", {}, "-- no data for 1 s --");
    }
  }

  void Line(std::string const& line) {
    if (line.empty()) return;
    std::string error;
    if (auto levels = ParseLevels(line, &error))
      SetLevels(*levels);
    else
      Log(2, "standard input: " + error);
  }

  LEvent HandleEvent(LEvent const& e) override {
    if (e.mSource != &mPeer) return LHandler::HandleEvent(e);
    if (e.is(CKelmarNetPeer::rStat)) return State(), LEvent();
    if (e.is(CKelmarNetPeer::rConn)) return Request(), LEvent();
    if (e.is(CKelmarNetPeer::rRecv)) return Received(), LEvent();
    if (e.is(CKelmarNetPeer::rBcon)) {
      std::uint32_t a;
      std::uint64_t b;
      mPeer.GetBconRcv(a, b);
      Say("beacon", {{"first", a}, {"second", b}},
          "beacon: " + std::to_string(a) + " " + std::to_string(b));
      return LEvent();
    }
    return LHandler::HandleEvent(e);
  }

 private:
  void Say(char const* event, nlohmann::json fields, std::string const& words) {
    if (mOpt.json) {
      fields["event"] = event;
      std::cout << fields << '\n';
    } else {
      std::cout << words << '\n';
    }
    std::cout.flush();
  }

  void State() {
    const auto s = mPeer.state();
    std::string words = StateWord(s);
    switch (s) {
      case CKelmarNetPeer::stConnected:
        words = "connected to " + AddrText(mPeer.peerAddr());
        break;
      case CKelmarNetPeer::stTimedOut:
        words = mOpt.listen ? "timed out" : "timed out, retrying";
        break;
      case CKelmarNetPeer::stClosed:
        words = "closed by the peer, retrying";
        break;
      case CKelmarNetPeer::stRefused:
        words = "refused (wrong password?), retrying";
        break;
      case CKelmarNetPeer::stBusy:
        words = "busy: the endpoint has another peer, retrying";
        break;
      case CKelmarNetPeer::stDenied:
        words = "denied, retrying";
        break;
      case CKelmarNetPeer::stIdle:
        words = mOpt.listen ? "waiting for a peer" : "idle";
        break;
      case CKelmarNetPeer::stConnecting:
        words = "connecting";
        break;
    }
    Say("state", {{"state", StateWord(s)}, {"address", AddrText(mPeer.peerAddr())}}, words);
    if (s == CKelmarNetPeer::stConnected && mOpt.beacon)
      mPeer.Beacon(mOpt.beacon->first, mOpt.beacon->second);
  }

  void Request() {
    const bool accept = !mOpt.deny;
    Say("request", {{"address", AddrText(mPeer.peerAddr())}, {"accepted", accept}},
        "request from " + AddrText(mPeer.peerAddr()) + (accept ? ": accepted" : ": denied"));
    mPeer.Accept(accept);
  }

  void Received() {
    mLastTurn = UEventClock::Now();
    if (!mReceiving) {
      mReceiving = true;
      if (mEverReceived) Say("data", {}, "-- data resumed --");
    }
    mEverReceived = true;
    const unsigned n = mPeer.recvSize();
    std::vector<std::uint8_t> slots(mPeer.recvTurn() + (n ? 1 : 0), mPeer.recvTurn() + n);
    const std::uint8_t startCode = n ? mPeer.recvTurn()[0] : 0;
    if (slots == mShown && startCode == mShownStart) return;
    mShown = slots;
    mShownStart = startCode;
    unsigned count = unsigned(slots.size());
    if (mOpt.show >= 0) {
      count = std::min<unsigned>(count, unsigned(mOpt.show));
    } else {
      while (count > 1 && slots[count - 1] == 0) --count;
    }
    std::string words = "levels: " + FormatSlots(slots.data(), count, 1, mOpt.format);
    if (startCode != 0) words += " (start code " + std::to_string(startCode) + ")";
    Say("levels", {{"start", startCode}, {"levels", slots}}, words);
  }

  // The levels handed over this frame, when they differ from the last ones shown.
  void Sent() {
    std::uint8_t const* first = mTurn.data() + 1;
    std::uint8_t const* end = mTurn.data() + mTurn.size();
    if (std::equal(first, end, mSentShown.begin(), mSentShown.end())) return;
    mSentShown.assign(first, end);
    Say("sent", {{"levels", mSentShown}},
        "sent: " + FormatSlots(first, unsigned(mSentShown.size()), 1, mOpt.format));
  }

  void Pattern(double t) {
    const int n = mOpt.channels;
    mTurn.SetSize(static_cast<std::uint32_t>(n + 1));
    std::uint8_t* d = mTurn.data();
    if (mOpt.pattern == "chase") {
      const int lit = int(t * 4) % n;  // four steps a second
      for (int k = 0; k < n; ++k) d[k + 1] = k == lit ? 255 : 0;
    } else {  // ramp: every slot rises from 0 to 255 over two seconds
      const auto level = static_cast<std::uint8_t>(std::fmod(t, 2.0) / 2.0 * 255.0);
      for (int k = 0; k < n; ++k) d[k + 1] = level;
    }
  }

  SOptions const& mOpt;
  CAsyncWorld_Null mWorld;
  CKelmarNetPeer mPeer;
  CDmxTurn mTurn;
  std::vector<std::uint8_t> mShown;
  std::uint8_t mShownStart = 0;
  std::vector<std::uint8_t> mSentShown;
  double mLastTurn = 0;
  bool mReceiving = false;
  bool mEverReceived = false;
};

SOptions ParseArgs(int argc, char** argv) {
  if (argc >= 2 && (std::string(argv[1]) == "-h" || std::string(argv[1]) == "--help")) {
    Usage(std::cout);
    std::exit(0);
  }
  if (argc >= 2 && (std::string(argv[1]) == "-v" || std::string(argv[1]) == "--version")) {
    std::cout << kVersion << '\n';
    std::exit(0);
  }
  if (argc < 2) UsageError("say 'connect HOST[:PORT]' or 'listen'");
  SOptions o;
  const std::string verb = argv[1];
  int first = 2;
  if (verb == "connect") {
    if (argc < 3 || argv[2][0] == '-') UsageError("connect: which HOST[:PORT]?");
    std::string error;
    auto addr = ParseHostPort(argv[2], kDefaultPort, &error);
    if (!addr) UsageError(error);
    o.remote = *addr;
    first = 3;
  } else if (verb == "listen") {
    o.listen = true;
    o.port = kDefaultPort;
  } else {
    UsageError("unknown command '" + verb + "' (connect or listen)");
  }

  enum { kDeny = 256, kPattern, kChannels, kShow, kShowSent, kHex, kPercent, kJson };
  static option const options[] = {
      {"port", required_argument, nullptr, 'p'},
      {"password", required_argument, nullptr, 'P'},
      {"deny", no_argument, nullptr, kDeny},
      {"dmx", required_argument, nullptr, 'd'},
      {"pattern", required_argument, nullptr, kPattern},
      {"channels", required_argument, nullptr, kChannels},
      {"fps", required_argument, nullptr, 'r'},
      {"seconds", required_argument, nullptr, 's'},
      {"beacon", required_argument, nullptr, 'b'},
      {"show", required_argument, nullptr, kShow},
      {"show-sent", no_argument, nullptr, kShowSent},
      {"hex", no_argument, nullptr, kHex},
      {"percent", no_argument, nullptr, kPercent},
      {"json", no_argument, nullptr, kJson},
      {"log-level", required_argument, nullptr, 'l'},
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, 'v'},
      {nullptr, 0, nullptr, 0},
  };
  optind = first;
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, ":p:P:d:r:s:b:l:hv", options, nullptr)) != -1;) {
    std::string const arg = optarg ? optarg : "";
    switch (c) {
      case 'p':
        o.port = IntOption("--port", arg, 0, 65535);
        break;
      case 'P':
        o.password = arg;
        break;
      case kDeny:
        o.deny = true;
        break;
      case 'd': {
        std::string error;
        o.levels = ParseLevels(arg, &error);
        if (!o.levels) UsageError("--dmx: " + error);
        break;
      }
      case kPattern:
        if (arg != "chase" && arg != "ramp")
          UsageError("--pattern: chase or ramp, not '" + arg + "'");
        o.pattern = arg;
        break;
      case kChannels:
        o.channels = int(IntOption("--channels", arg, 1, 512));
        break;
      case 'r':
        o.fps = double(IntOption("--fps", arg, 1, 1000));
        break;
      case 's':
        o.seconds = double(IntOption("--seconds", arg, 0, 86400 * 365));
        break;
      case 'b': {
        const auto comma = arg.find(',');
        auto a = ParseInt(arg.substr(0, comma), 0, 0xFFFFFFFFL);
        auto b = comma == std::string::npos ? std::nullopt
                                            : ParseInt(arg.substr(comma + 1), 0, 0xFFFFFFFFL);
        if (!a || !b) UsageError("--beacon: two numbers 0..4294967295 as A,B, not '" + arg + "'");
        o.beacon = {std::uint32_t(*a), std::uint64_t(*b)};
        break;
      }
      case kShow:
        o.show = int(IntOption("--show", arg, 0, 512));
        break;
      case kShowSent:
        o.showSent = true;
        break;
      case kHex:
        o.format = LevelFormat::kHex;
        break;
      case kPercent:
        o.format = LevelFormat::kPercent;
        break;
      case kJson:
        o.json = true;
        break;
      case 'l':
        SetLogLevel(int(IntOption("--log-level", arg, 0, 4)));
        break;
      case 'h':
        Usage(std::cout);
        std::exit(0);
      case 'v':
        std::cout << kVersion << '\n';
        std::exit(0);
      case ':':
        UsageError(std::string("option needs a value: ") + argv[optind - 1]);
      default:
        UsageError(std::string("unknown option: ") + argv[optind - 1]);
    }
  }
  if (optind < argc) UsageError(std::string("unexpected argument: ") + argv[optind]);
  if (o.levels && !o.pattern.empty()) UsageError("give either --dmx or --pattern, not both");
  if (!o.listen && o.deny) UsageError("--deny is for listen");
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  SetProgramName("kelmar-peer");
  const SOptions opt = ParseArgs(argc, argv);
  CRunLoop& loop = CRunLoop::Current();
  StopLoopOnSignals(loop);

  CPeerTool tool(opt);
  if (!tool.Open()) {
    std::cerr << "kelmar-peer: cannot open local UDP port "
              << (opt.port <= 0 ? std::string("(any)") : std::to_string(opt.port))
              << ": it is in use or not available\n";
    return kExitUnavailable;
  }
  tool.Start();

  const double start = UEventClock::Now();
  CFrameTimer frames(opt.fps, [&] {
    const double elapsed = UEventClock::Now() - start;
    tool.Frame(elapsed);
    if (opt.seconds >= 0 && elapsed >= opt.seconds) loop.Stop();
  });
  std::optional<CStdinLines> input;
  if (!opt.levels && opt.pattern.empty())
    input.emplace([&](std::string const& line) { tool.Line(line); },
                  [] { Log(4, "end of input"); });
  frames.Start();
  loop.Run();
  tool.Stop();
  if (int sig = StopSignal())
    Log(3, std::string("stopped by ") + (sig == SIGINT ? "SIGINT" : "SIGTERM"));
  return 0;
}
