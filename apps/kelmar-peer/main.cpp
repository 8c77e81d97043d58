// kelmar-peer: the peer protocol from a terminal or a script, in either role.
#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "CAppLog.h"
#include "CAppLoop.h"
#include "CAsyncWorld_Null.h"
#include "CJsonLine.h"
#include "CKelmarNetPeer.h"
#include "CLevels.h"
#include "COlaBridge.h"
#include "COptions.h"
#include "CPeerText.h"
#include "CShowFile.h"
#include "UEventClock.h"

namespace {

constexpr int kDefaultPort = 51209;
constexpr char kVersion[] = "kelmar-peer 0.1.0";
constexpr int kExitDataErr = 65;     // the show to play cannot be read or is broken
constexpr int kExitCantCreate = 73;  // the recording cannot be created

COptions::SText const kText = {
    kVersion,
    "Usage: kelmar-peer connect HOST[:PORT] [OPTION]...\n"
    "       kelmar-peer listen [OPTION]...\n"
    "Talks to a Kelmar Network endpoint: 'connect' requests a connection (and retries\n"
    "for ever after any failure); 'listen' waits for one and accepts or denies it.\n"
    "Either way it sends DMX levels every frame, once it has some (until then\n"
    "keep-alives hold the link), and shows the levels it receives.\n"
    "As an OLA node it takes the levels to send from one OLA universe and puts the\n"
    "levels received into another (olad must run; it is retried every second).\n"
    "\n",
    "\n"
    "Exit status: 0 done, 64 usage error, 65 the show to play cannot be read or is\n"
    "broken, 69 the local port cannot be opened, 73 the recording cannot be created,\n"
    "1 other.\n",
    25};

// What the command line asks of a run.
struct SPeerSettings {
  bool listen = false;
  CUDPAddr remote;
  long port = -1;  // -1: any
  std::string password;
  bool deny = false;
  std::optional<std::vector<std::uint8_t>> levels;
  std::string pattern;
  std::string play;  // a show file to send
  std::optional<long> playUniverse;
  bool loop = false;
  std::string record;  // a show file to write what arrives to
  std::optional<long> recordUniverse;
  int channels = 12;
  double fps = 44;
  double seconds = -1;
  std::optional<std::pair<std::uint32_t, std::uint64_t>> beacon;
  int show = -1;
  bool showSent = false;
  LevelFormat format = LevelFormat::kDecimal;
  bool json = false;
  int logLevel = 2;
  // The OLA node: universes (-1: none), what a lost link leaves there, olad's RPC port.
  long olaIn = -1;
  long olaOut = -1;
  std::string olaLoss;
  long olaPort = COlaBridge::kDefaultPort;
};

// Milliseconds on the event clock, for show files. Rounded down, so that a timer armed
// for a frame's due time never fires a millisecond before it by this count.
std::int64_t NowMs() {
  return static_cast<std::int64_t>(std::floor(UEventClock::Now() * 1000.0));
}

// The owner of one peer: reports what happens, answers requests, sends frames, and plays
// and records shows.
class CPeerTool : public LHandler {
 public:
  CPeerTool(SPeerSettings const& o, CShowFile const* show)
      : LHandler(nullptr), mOpt(o), mPeer(this, mWorld), mCue(&OnCue, this) {
    if (show) mPlayer.emplace(*show, o.loop);
    mPeer.SetPassword(
        LString(reinterpret_cast<unsigned char const*>(o.listen ? o.password.c_str() : "")));
    mPeer.SetListen(o.listen);
    mTurn.SetSize(1);
    if (o.levels) SetLevels(*o.levels);
    if (o.olaIn >= 0 || o.olaOut >= 0) {
      mOla = std::make_unique<COlaBridge>(this, mWorld, std::uint16_t(o.olaPort));
      mOla->SetLog([](int level, std::string const& text) { Log(level, text); });
      mOla->SetLossMode(o.olaLoss == "zero" ? COlaBridge::kZero : COlaBridge::kHold);
      if (o.olaIn >= 0) mOla->Listen(unsigned(o.olaIn));
    }
  }

  bool Open() { return mPeer.Open(static_cast<unsigned>(mOpt.port < 0 ? 0 : mOpt.port)); }
  // Starts talking to olad when the node bridges a universe; false when it cannot.
  bool StartOla() { return !mOla || mOla->Start(); }
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

  // The frame timer that --ola-in's frames, or the partner's turns, run in place of its ticks.
  void PaceBy(CFrameTimer& frames) { mFrames = &frames; }

  // Tells a connected partner that we are going, so it need not wait for silence.
  void Stop() { mPeer.Disconnect(CKelmarNetPeer::stIdle); }

  void SetLevels(std::vector<std::uint8_t> const& levels) {
    mTurn.SetSize(static_cast<std::uint32_t>(levels.size() + 1));
    for (std::size_t i = 0; i < levels.size(); ++i) mTurn.data()[i + 1] = levels[i];
    mHasLevels = true;
  }

  // Creates the recording; false, with `error` naming the file, when it cannot.
  bool OpenRecording(std::string* error) {
    return mOpt.record.empty() || mRecorder.Open(mOpt.record, error);
  }

  void Frame(double elapsed) {
    mWorld.DriveTimers();  // a refresh due now makes this frame's turn a full one
    if (!mOpt.pattern.empty()) Pattern(elapsed);
    PlayDue();
    Send();
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
    if (mOla && e.mSource == mOla.get()) return OlaEvent(e), LEvent();
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
      PutJsonLine(std::cout, fields);
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
    // The show starts with the first connection and runs on across reconnections.
    if (s == CKelmarNetPeer::stConnected && mPlayer && !mPlaying) {
      mPlaying = true;
      Say("show-start", {{"file", mOpt.play}}, "playing " + mOpt.play);
      mPlayer->Start(NowMs());
      PlayDue();
      Send();
    }
    // The OLA side shows what a lost link leaves (--ola-loss) until turns come again.
    if (mOla && mLinked && s != CKelmarNetPeer::stConnected && mOpt.olaOut >= 0)
      mOla->LinkLost(unsigned(mOpt.olaOut));
    mLinked = s == CKelmarNetPeer::stConnected;
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
    if (startCode == 0 && !slots.empty() && slots != mRecorded) RecordFrame(slots);
    // OLA carries levels only: a turn of another start code stays off the universe.
    if (mOla && mOpt.olaOut >= 0 && startCode == 0)
      mOla->Send(unsigned(mOpt.olaOut), slots.data(),
                 std::min<std::size_t>(slots.size(), COlaBridge::kSlots));
    // A node with nothing to send yet lets the partner's turns run its frames: the frame
    // ticks in between would find no work, and each would wake the node once more.
    if (!mHasLevels && mFrames) mFrames->RunSoon();
    if (mOpt.show == 0 || (slots == mShown && startCode == mShownStart)) return;
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

  // A frame of the --ola-in universe becomes our levels and is handed over at once, not at
  // the next tick: the node adds no frame of delay. OLA's frames then set the pace, so the
  // ticks in between, which would only send the same levels again, wake neither node.
  void OlaEvent(LEvent const& e) {
    if (!e.is(COlaBridge::rRecv) || long(mOla->recvUniverse()) != mOpt.olaIn) return;
    SetLevels({mOla->recvLevels(), mOla->recvLevels() + mOla->recvCount()});
    if (mFrames) mFrames->RunSoon();
  }

  // Until its source gives levels the node has nothing to tell, and the protocol's
  // keep-alives hold the link: a node that only takes levels (--ola-out, no source read)
  // sends its partner no turns at all, rather than an empty one every frame.
  void Send() {
    if (!mHasLevels) return;
    mPeer.SendTurnA(mTurn);
    if (mOpt.showSent) Sent();
  }

  // Takes up the show's frame that is due, if any, and wakes at the next one's due time,
  // so that frames go out on time rather than at the next frame tick.
  void PlayDue() {
    if (!mPlaying) return;
    const std::int64_t now = NowMs();
    if (SShowFrame const* frame = mPlayer->Poll(now)) SetLevels(frame->levels);
    const std::int64_t remain = mPlayer->remain(now);
    if (remain >= 0) {
      mCue.Arm(double(remain) / 1000.0);
    } else if (!mShowOver) {
      mShowOver = true;
      Say("show-end", {{"file", mOpt.play}}, "end of the show: its last frame is held");
    }
  }
  static void OnCue(CLoopTimer*, void* self) {
    auto* tool = static_cast<CPeerTool*>(self);
    tool->PlayDue();
    tool->Send();
  }

  // One frame of the recording for received levels that changed. A failed write ends
  // the recording (what is in the file stays readable) but not the run.
  void RecordFrame(std::vector<std::uint8_t> const& slots) {
    if (!mRecorder.open()) return;
    mRecorded = slots;
    std::string error;
    const auto universe =
        static_cast<std::uint32_t>(mOpt.recordUniverse.value_or(kShowDefaultUniverse));
    if (mRecorder.WriteAt(universe, slots, NowMs(), &error)) return;
    Log(1, error + "; recording stopped");
    mRecorder.Close();
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
    mHasLevels = true;
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

  SPeerSettings const& mOpt;
  CAsyncWorld_Null mWorld;
  CKelmarNetPeer mPeer;
  CDmxTurn mTurn;
  bool mHasLevels = false;  // a source has given levels: turns go out every frame
  std::vector<std::uint8_t> mShown;
  std::uint8_t mShownStart = 0;
  std::vector<std::uint8_t> mSentShown;
  double mLastTurn = 0;
  bool mReceiving = false;
  bool mEverReceived = false;
  std::optional<CShowPlayer> mPlayer;
  CLoopTimer mCue;  // the next show frame's due time
  bool mPlaying = false;
  bool mShowOver = false;
  CShowWriter mRecorder;
  std::vector<std::uint8_t> mRecorded;  // the levels of the last frame recorded
  bool mLinked = false;                 // the last state shown was connected
  CFrameTimer* mFrames = nullptr;       // the frame timer, paced by --ola-in or turns
  std::unique_ptr<COlaBridge> mOla;     // last: its thread stops before the rest goes
};

// Two numbers 0..4294967295 as "A,B".
LOptionTarget BeaconOption(std::optional<std::pair<std::uint32_t, std::uint64_t>>& target) {
  return [&target](std::string const& value) {
    const auto comma = value.find(',');
    auto a = ParseInt(value.substr(0, comma), 0, 0xFFFFFFFFL);
    auto b = comma == std::string::npos ? std::nullopt
                                        : ParseInt(value.substr(comma + 1), 0, 0xFFFFFFFFL);
    if (!a || !b) return "two numbers 0..4294967295 as A,B, not '" + value + "'";
    target = {std::uint32_t(*a), std::uint64_t(*b)};
    return std::string();
  };
}

// The role and its partner, then the options after them, then what they must not combine.
COptions::SResult ParseCommandLine(COptions const& options, int argc, char** argv,
                                   SPeerSettings& s) {
  using Result = COptions::SResult;
  const std::string verb = argc >= 2 ? argv[1] : "";
  if (verb == "-h" || verb == "--help") return {Result::Kind::kHelp, {}};
  if (verb == "-v" || verb == "--version") return {Result::Kind::kVersion, {}};
  if (argc < 2) return Result::Misuse("say 'connect HOST[:PORT]' or 'listen'");
  int first = 2;
  if (verb == "connect") {
    if (argc < 3 || argv[2][0] == '-') return Result::Misuse("connect: which HOST[:PORT]?");
    std::string error;
    auto addr = ParseHostPort(argv[2], kDefaultPort, &error);
    if (!addr) return Result::Misuse(error);
    s.remote = *addr;
    first = 3;
  } else if (verb == "listen") {
    s.listen = true;
    s.port = kDefaultPort;
  } else {
    return Result::Misuse("unknown command '" + verb + "' (connect or listen)");
  }
  Result const result = options.Parse(argc, argv, first);
  if (result.kind != Result::Kind::kRun) return result;
  if (s.levels && !s.pattern.empty())
    return Result::Misuse("give either --dmx or --pattern, not both");
  if (!s.play.empty() && (s.levels || !s.pattern.empty()))
    return Result::Misuse("--play sends the show's levels: no --dmx or --pattern with it");
  if (s.play.empty() && (s.loop || s.playUniverse))
    return Result::Misuse("--loop and --play-universe are for --play");
  if (s.record.empty() && s.recordUniverse)
    return Result::Misuse("--record-universe is for --record");
  if (!s.listen && s.deny) return Result::Misuse("--deny is for listen");
  if (s.olaIn >= 0 && (s.levels || !s.pattern.empty() || !s.play.empty()))
    return Result::Misuse("--ola-in takes the levels from OLA: give no --dmx, --pattern or --play");
  if (s.olaOut < 0 && !s.olaLoss.empty()) return Result::Misuse("--ola-loss is for --ola-out");
  if (s.olaIn < 0 && s.olaOut < 0 && s.olaPort != COlaBridge::kDefaultPort)
    return Result::Misuse("--ola-port is for --ola-in or --ola-out");
  return result;
}

// The settings the command line gives; help, version and usage errors end the program.
SPeerSettings ParseArgs(int argc, char** argv) {
  SPeerSettings s;
  std::vector<SOption> rows = {
      {'p', "port", "N", "local UDP port (listen: default 51209; connect: any)",
       IntOption(s.port, 0, 65535)},
      {'P', "password", "TEXT",
       "connect: the password the endpoint holds (default empty);\nlisten: our own password",
       TextOption(s.password)},
      {0, "deny", nullptr, "listen: deny requests instead of accepting them", Assign(s.deny, true)},
      {'d', "dmx", "LEVELS", "levels 0..255 to send, from slot 1 (e.g. -d 0,255,128)",
       LevelsOption(s.levels)},
      {0, "pattern", "NAME", "send a pattern instead: chase or ramp",
       ChoiceOption(s.pattern, {"chase", "ramp"})},
      {0, "channels", "N",
       "slots the pattern covers (1..512, default 12)\n"
       "(with none of -d, --pattern, --play and --ola-in: one\n"
       "frame per line on standard input, each as for -d)",
       IntOption(s.channels, 1, 512)},
      {0, "play", "FILE",
       "send the frames of a show file (OLA's format, as\n"
       "ola_recorder writes it) with their timing, from the\n"
       "first connection on; after the last frame, that frame\n"
       "is sent on until the program stops",
       TextOption(s.play)},
      {0, "loop", nullptr, "play the show over and over", Assign(s.loop, true)},
      {0, "play-universe", "U", "the universe to play when the show holds several",
       IntOption(s.playUniverse, 0, 0xFFFFFFFFL)},
      {'r', "fps", "N", "frames per second (1..1000, default 44)", IntOption(s.fps, 1, 1000)},
      {'s', "seconds", "N", "stop after N seconds (default: run until stopped)",
       IntOption(s.seconds, 0, 86400 * 365)},
      {'b', "beacon", "A,B", "send a beacon of two numbers once connected", BeaconOption(s.beacon)},
      {0, "show", "N",
       "show slots 1..N of received levels (0: none, as a node\nin a service wants; default: "
       "up to the last non-zero\nslot)",
       IntOption(s.show, 0, 512)},
      {0, "show-sent", nullptr, "also show the levels sent, at the frame they change",
       Assign(s.showSent, true)},
      {0, "record", "FILE",
       "write the levels received to a show file, a frame for\n"
       "each change, with its timing",
       TextOption(s.record)},
      {0, "record-universe", "U", "\nthe universe to record under (0..4294967295, default 1)",
       IntOption(s.recordUniverse, 0, 0xFFFFFFFFL)},
      {0, "ola-in", "U",
       "send the levels of OLA universe U (0..4294967295) as\n"
       "they arrive; not with -d, --pattern or standard input",
       UniverseOption(s.olaIn)},
      {0, "ola-out", "U", "put the levels received into OLA universe U", UniverseOption(s.olaOut)},
      {0, "ola-loss", "MODE",
       "when the link is lost, universe U (--ola-out) holds\n"
       "the last levels (hold, the default) or goes to zero",
       ChoiceOption(s.olaLoss, {"hold", "zero"})},
      {0, "ola-port", "N", "olad's RPC port (default 9010)", IntOption(s.olaPort, 1, 65535)},
  };
  for (SOption& row : FormatRows(s.format)) rows.push_back(std::move(row));
  rows.push_back(
      {0, "json", nullptr, "one JSON object per line instead of words", Assign(s.json, true)});
  rows.push_back(LogLevelRow(s.logLevel));
  COptions const options(kText, std::move(rows));
  options.Take(ParseCommandLine(options, argc, argv, s));
  return s;
}

int Run(SPeerSettings const& opt) {
  SetLogLevel(opt.logLevel);
  CRunLoop& loop = CRunLoop::Current();
  StopLoopOnSignals(loop);

  // A show is read whole and checked before anything is sent, and before a recording
  // is created that could empty a file of the same name.
  std::optional<CShowFile> show;
  std::string error;
  if (!opt.play.empty()) {
    auto file = CShowFile::Load(opt.play, &error);
    if (!file || file->frames().empty()) {
      std::cerr << "kelmar-peer: " << (file ? opt.play + ": the show has no frames" : error)
                << '\n';
      return kExitDataErr;
    }
    std::optional<std::uint32_t> universe;
    if (opt.playUniverse) universe = static_cast<std::uint32_t>(*opt.playUniverse);
    show = file->ForPlaying(universe, &error);
    if (!show) UsageError(error + (universe ? "" : " with --play-universe"));
  }
  CPeerTool tool(opt, show ? &*show : nullptr);
  if (!tool.OpenRecording(&error)) {
    std::cerr << "kelmar-peer: " << error << '\n';
    return kExitCantCreate;
  }
  if (!tool.Open()) {
    std::cerr << "kelmar-peer: cannot open local UDP port "
              << (opt.port <= 0 ? std::string("(any)") : std::to_string(opt.port))
              << ": it is in use or not available\n";
    return kExitUnavailable;
  }
  if (!tool.StartOla()) return kExitFailure;
  tool.Start();

  const double start = UEventClock::Now();
  CFrameTimer frames(opt.fps, [&] {
    const double elapsed = UEventClock::Now() - start;
    tool.Frame(elapsed);
    if (opt.seconds >= 0 && elapsed >= opt.seconds) loop.Stop();
  });
  tool.PaceBy(frames);
  std::optional<CStdinLines> input;
  if (!opt.levels && opt.pattern.empty() && opt.play.empty() && opt.olaIn < 0)
    input.emplace([&](std::string const& line) { tool.Line(line); },
                  [] { Log(4, "end of input"); });
  frames.Start();
  loop.Run();
  tool.Stop();
  if (int sig = StopSignal())
    Log(3, std::string("stopped by ") + (sig == SIGINT ? "SIGINT" : "SIGTERM"));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  SetProgramName("kelmar-peer");
  return RunProgram([&] { return Run(ParseArgs(argc, argv)); });
}
