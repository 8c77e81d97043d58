// kelmar-host: a minimal composition host running one "Kelmar Network" patch.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "CAppLog.h"
#include "CAppLoop.h"
#include "CComposition.h"
#include "CHostView.h"
#include "CKelmarNetIO.h"
#include "COptions.h"
#include "QcKelmarPlugIn.h"
#include "UEventClock.h"

namespace {

constexpr char kVersion[] = "kelmar-host 0.1.0";

COptions::SText const kText = {
    kVersion,
    "Usage: kelmar-host [OPTION]...\n"
    "Runs one \"Kelmar Network\" patch: it listens for one networked peer, sends the\n"
    "values of its input ports as DMX levels every frame and shows the levels received.\n"
    "\n",
    "\n"
    "Settings given as options are corrected to their bounds, as the settings view\n"
    "would. Commands on standard input, one per line:\n"
    "  set KEY VALUE    a setting (udpPort, inBase, inChannels, outBase, outChannels)\n"
    "                   or an input port (In7 0.5: values 0..1)\n"
    "  in K LEVEL       input channel K to LEVEL 0..255\n"
    "  view             show the settings view\n"
    "  save [FILE]      save the composition (to FILE, or the one given with -c)\n"
    "  quit             end (so do SIGINT and SIGTERM; the end of input does not)\n",
    26};

// What the command line asks of a run.
struct SHostSettings {
  std::string composition;
  // Settings of the patch, applied before its port opens; the patch bounds them.
  std::optional<long> udpPort, inBase, inChannels, outBase, outChannels;
  std::optional<std::vector<std::uint8_t>> levels;
  double fps = 60;
  CHostView::Mode mode = CHostView::Mode::kLines;
  LevelFormat format = LevelFormat::kDecimal;
  bool showSent = false;
  int logLevel = 2;
};

// The settings the command line gives; help, version and usage errors end the program.
SHostSettings ParseArgs(int argc, char** argv) {
  using Mode = CHostView::Mode;
  SHostSettings s;
  s.mode = isatty(STDOUT_FILENO) ? Mode::kTerminal : Mode::kLines;
  // Settings take any whole number: the plug-in's validation bounds them.
  constexpr long kAny = 2147483647L;
  std::vector<SOption> rows = {
      {'c', "composition", "FILE",
       "load settings and input values from FILE (JSON);\n"
       "the 'save' command writes them back atomically",
       TextOption(s.composition)},
      {'p', "udp-port", "N", "UDP port to listen on (1024..65535, default 51209)",
       IntOption(s.udpPort, -kAny, kAny)},
      {0, "in-base", "N", "first input channel (1..512, default 1)",
       IntOption(s.inBase, -kAny, kAny)},
      {0, "in-channels", "N", "number of input channels (1..512, default 12)",
       IntOption(s.inChannels, -kAny, kAny)},
      {0, "out-base", "N", "first output channel (1..512, default 1)",
       IntOption(s.outBase, -kAny, kAny)},
      {0, "out-channels", "N", "number of output channels (1..512, default 12)",
       IntOption(s.outChannels, -kAny, kAny)},
      {'d', "dmx", "LEVELS",
       "input levels 0..255 from the first input channel,\ncomma-separated (e.g. -d 0,255,128)",
       LevelsOption(s.levels)},
      {'r', "fps", "N", "frames per second (1..1000, default 60)", IntOption(s.fps, 1, 1000)},
      {'q', "quiet", nullptr, "show nothing", Assign(s.mode, Mode::kQuiet)},
      {0, "lines", nullptr, "show changes as plain lines (default when not a terminal)",
       Assign(s.mode, Mode::kLines)},
      {0, "json", nullptr, "show changes as JSON lines", Assign(s.mode, Mode::kJson)},
      {0, "show-sent", nullptr,
       "--lines and --json also show the levels sent, at the\nframe they change",
       Assign(s.showSent, true)},
  };
  for (SOption& row : FormatRows(s.format)) rows.push_back(std::move(row));
  rows.push_back(LogLevelRow(s.logLevel));
  COptions const options(kText, std::move(rows));
  options.Take(options.Parse(argc, argv));
  return s;
}

// A number as typed: whole numbers without a fraction, others as the stream shows them
// (a cast of 1e300 to long would be undefined).
std::string NumberText(double value) {
  if (std::abs(value) < 1e15 && value == std::trunc(value)) return std::to_string(long(value));
  std::ostringstream out;
  out << value;
  return out.str();
}

// The host: the patch, its view, and the commands that drive it.
class CHost {
 public:
  CHost(std::string compositionPath, CHostView::Mode mode, LevelFormat format, bool showSent)
      : mPath(std::move(compositionPath)), mView(mPlugIn, mode, format, showSent) {}

  QcKelmarPlugIn& plugIn() { return mPlugIn; }
  CHostView& view() { return mView; }

  // Restores the composition file, if any. A file that exists but cannot be read is
  // never overwritten by this run.
  void LoadComposition() {
    if (mPath.empty()) return;
    bool exists = false;
    std::string error;
    if (!mComposition.Load(mPath, &exists, &error)) {
      mMayOverwrite = false;
      Log(2, error + "; starting with defaults, and it will not be overwritten");
      return;
    }
    mComposition.Restore(mPlugIn);
    Log(3, exists ? "loaded " + mPath : mPath + " does not exist yet; 'save' will create it");
  }

  // A setting as the settings view sets it: validated, then through its key.
  void SetSetting(std::string const& key, double value) {
    QCValue v = value;
    std::string error;
    if (!mPlugIn.validateValueForKeyError(v, key, &error)) return Log(2, key + ": " + error);
    if (QCDoubleValue(v) != value)
      Log(2, key + " " + NumberText(value) + " is out of bounds; using " +
                 std::to_string(QCIntValue(v)));
    mPlugIn.setValueForKey(v, key);
  }

  void SetLevels(std::vector<std::uint8_t> const& levels, int firstChannel) {
    for (std::size_t i = 0; i < levels.size(); ++i)
      mPlugIn.setValueForInputKey(levels[i] / 255.0,
                                  QcKelmarPlugIn::synthInputName(firstChannel + int(i)));
  }

  // Starts execution, which opens the UDP port once, on the settings given by now.
  void Start() {
    mPlugIn.startExecution(nullptr);
    if (std::get<std::string>(mPlugIn.udpStatus()) != QcKelmarPlugIn::kPortOpen)
      Log(2, "cannot use UDP port " + std::to_string(QCIntValue(mPlugIn.udpPort())) +
                 " (is another program using it?); still running, change udpPort to retry");
  }

  void Frame() {
    // Timers that fell due since the last pass go first, so that a turn whose refresh
    // is due goes out in full on this frame rather than the next.
    mPlugIn.io()->world().DriveTimers();
    mPlugIn.execute(nullptr, UEventClock::Now(), {});
    mView.Update(UEventClock::Now());
  }

  void Command(std::string const& line);
  bool quit() const { return mQuit; }

 private:
  void Save(std::string path);

  QcKelmarPlugIn mPlugIn;
  std::string mPath;
  CComposition mComposition;
  bool mMayOverwrite = true;
  CHostView mView;
  bool mQuit = false;
};

void CHost::Save(std::string path) {
  if (path.empty()) path = mPath;
  if (path.empty()) return mView.Say("save: no file (give one: save FILE, or start with -c FILE)");
  std::error_code ec;
  if (!mMayOverwrite && (path == mPath || std::filesystem::equivalent(path, mPath, ec)))
    return mView.Say("save: refusing to overwrite " + path +
                     ", which could not be read at start; save to another file");
  mComposition.Capture(mPlugIn);
  std::string error;
  if (!mComposition.Save(path, &error)) return mView.Say("save: " + error);
  mView.Say("saved " + path);
}

void CHost::Command(std::string const& line) {
  std::istringstream in(line);
  std::string verb, a, b, extra;
  in >> verb >> a >> b >> extra;
  if (verb.empty()) return;
  if (!extra.empty()) return mView.Say("too many words: " + line);
  if (verb == "quit" || verb == "exit") {
    mQuit = true;
  } else if (verb == "view" || verb == "settings") {
    mView.ShowSettings();
  } else if (verb == "save") {
    Save(a);
  } else if (verb == "help") {
    mView.Say("set KEY VALUE | in K LEVEL | view | save [FILE] | quit");
  } else if (verb == "set" && !b.empty()) {
    double value = 0;
    std::istringstream vs(b);
    if (!(vs >> value) || !vs.eof()) return mView.Say("set: not a number: " + b);
    auto const keys = QcKelmarPlugIn::plugInKeys();
    if (std::find(keys.begin(), keys.end(), a) != keys.end()) return SetSetting(a, value);
    if (!mPlugIn.setValueForInputKey(value, a)) mView.Say("set: no setting or input port " + a);
  } else if (verb == "in" && !b.empty()) {
    auto k = ParseInt(a, 1, 512);
    auto level = ParseInt(b, 0, 255);
    if (!k || !level) return mView.Say("in: channel 1..512 and level 0..255");
    if (!mPlugIn.setValueForInputKey(*level / 255.0, QcKelmarPlugIn::synthInputName(int(*k))))
      mView.Say("in: no input port In" + std::to_string(*k));
  } else {
    mView.Say("unknown command: " + line + " (try help)");
  }
}

int Run(SHostSettings const& s) {
  SetLogLevel(s.logLevel);
  CRunLoop& loop = CRunLoop::Current();
  StopLoopOnSignals(loop);
  CHost host(s.composition, s.mode, s.format, s.showSent);
  host.LoadComposition();
  std::pair<char const*, std::optional<long>> const settings[] = {
      {QcKelmarPlugIn::kUdpPort, s.udpPort},
      {QcKelmarPlugIn::kInBase, s.inBase},
      {QcKelmarPlugIn::kInChannels, s.inChannels},
      {QcKelmarPlugIn::kOutBase, s.outBase},
      {QcKelmarPlugIn::kOutChannels, s.outChannels}};
  for (auto const& [key, value] : settings)
    if (value) host.SetSetting(key, double(*value));
  host.SetLevels(s.levels.value_or(std::vector<std::uint8_t>{}),
                 QCIntValue(host.plugIn().inBase()));
  host.Start();

  CFrameTimer frames(s.fps, [&] {
    host.Frame();
    if (host.quit()) loop.Stop();
  });
  CStdinLines input([&](std::string const& line) { host.Command(line); },
                    [&] { Log(4, "end of input"); });
  frames.Start();
  loop.Run();
  if (int sig = StopSignal())
    Log(3, std::string("stopped by ") + (sig == SIGINT ? "SIGINT" : "SIGTERM"));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  SetProgramName("kelmar-host");
  return RunProgram([&] { return Run(ParseArgs(argc, argv)); });
}
