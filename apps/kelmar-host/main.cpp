// kelmar-host: a minimal composition host running one "Kelmar Network" patch.
#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "CAppLog.h"
#include "CAppLoop.h"
#include "CComposition.h"
#include "CHostView.h"
#include "CKelmarNetIO.h"
#include "CPeerText.h"
#include "QcKelmarPlugIn.h"
#include "UEventClock.h"

namespace {

constexpr char kVersion[] = "kelmar-host 0.1.0";

void Usage(std::ostream& out) {
  out << "Usage: kelmar-host [OPTION]...\n"
         "Runs one \"Kelmar Network\" patch: it listens for one networked peer, sends the\n"
         "values of its input ports as DMX levels every frame and shows the levels received.\n"
         "\n"
         "  -c, --composition FILE  load settings and input values from FILE (JSON);\n"
         "                          the 'save' command writes them back atomically\n"
         "  -p, --udp-port N        UDP port to listen on (1024..65535, default 51209)\n"
         "      --in-base N         first input channel (1..512, default 1)\n"
         "      --in-channels N     number of input channels (1..512, default 12)\n"
         "      --out-base N        first output channel (1..512, default 1)\n"
         "      --out-channels N    number of output channels (1..512, default 12)\n"
         "  -d, --dmx LEVELS        input levels 0..255 from the first input channel,\n"
         "                          comma-separated (e.g. -d 0,255,128)\n"
         "  -r, --fps N             frames per second (1..1000, default 60)\n"
         "  -q, --quiet             show nothing\n"
         "      --lines             show changes as plain lines (default when not a terminal)\n"
         "      --json              show changes as JSON lines\n"
         "      --show-sent         --lines and --json also show the levels sent, at the\n"
         "                          frame they change\n"
         "      --hex, --percent    show levels in hex, or in percent (FL for full)\n"
         "  -l, --log-level N       messages on standard error: 0 none, 1 fatal, 2 warn\n"
         "                          (default), 3 info, 4 debug\n"
         "  -h, --help              show this help\n"
         "  -v, --version           show the version\n"
         "\n"
         "Settings given as options are corrected to their bounds, as the settings view\n"
         "would. Commands on standard input, one per line:\n"
         "  set KEY VALUE    a setting (udpPort, inBase, inChannels, outBase, outChannels)\n"
         "                   or an input port (In7 0.5: values 0..1)\n"
         "  in K LEVEL       input channel K to LEVEL 0..255\n"
         "  view             show the settings view\n"
         "  save [FILE]      save the composition (to FILE, or the one given with -c)\n"
         "  quit             end (so do SIGINT and SIGTERM; the end of input does not)\n";
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
      Log(2, key + " " + std::to_string(long(value)) + " is out of bounds; using " +
                 std::to_string(QCIntValue(v)));
    mPlugIn.setValueForKey(v, key);
  }

  void SetLevels(std::vector<std::uint8_t> const& levels, int firstChannel) {
    for (std::size_t i = 0; i < levels.size(); ++i)
      mPlugIn.setValueForInputKey(levels[i] / 255.0,
                                  QcKelmarPlugIn::synthInputName(firstChannel + int(i)));
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

}  // namespace

int main(int argc, char** argv) {
  SetProgramName("kelmar-host");
  std::string composition;
  std::vector<std::pair<std::string, double>> settings;
  std::vector<std::uint8_t> levels;
  double fps = 60;
  CHostView::Mode mode =
      isatty(STDOUT_FILENO) ? CHostView::Mode::kTerminal : CHostView::Mode::kLines;
  LevelFormat format = LevelFormat::kDecimal;
  bool showSent = false;

  enum {
    kInBase = 256,
    kInChannels,
    kOutBase,
    kOutChannels,
    kLines,
    kJson,
    kShowSent,
    kHex,
    kPercent
  };
  static option const options[] = {
      {"composition", required_argument, nullptr, 'c'},
      {"udp-port", required_argument, nullptr, 'p'},
      {"in-base", required_argument, nullptr, kInBase},
      {"in-channels", required_argument, nullptr, kInChannels},
      {"out-base", required_argument, nullptr, kOutBase},
      {"out-channels", required_argument, nullptr, kOutChannels},
      {"dmx", required_argument, nullptr, 'd'},
      {"fps", required_argument, nullptr, 'r'},
      {"quiet", no_argument, nullptr, 'q'},
      {"lines", no_argument, nullptr, kLines},
      {"json", no_argument, nullptr, kJson},
      {"show-sent", no_argument, nullptr, kShowSent},
      {"hex", no_argument, nullptr, kHex},
      {"percent", no_argument, nullptr, kPercent},
      {"log-level", required_argument, nullptr, 'l'},
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, 'v'},
      {nullptr, 0, nullptr, 0},
  };
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, ":c:p:d:r:ql:hv", options, nullptr)) != -1;) {
    std::string const arg = optarg ? optarg : "";
    // Settings take any whole number: the plug-in's validation bounds them.
    auto number = [&](char const* name) {
      return double(IntOption(name, arg, -2147483647L, 2147483647L));
    };
    switch (c) {
      case 'c':
        composition = arg;
        break;
      case 'p':
        settings.emplace_back(QcKelmarPlugIn::kUdpPort, number("--udp-port"));
        break;
      case kInBase:
        settings.emplace_back(QcKelmarPlugIn::kInBase, number("--in-base"));
        break;
      case kInChannels:
        settings.emplace_back(QcKelmarPlugIn::kInChannels, number("--in-channels"));
        break;
      case kOutBase:
        settings.emplace_back(QcKelmarPlugIn::kOutBase, number("--out-base"));
        break;
      case kOutChannels:
        settings.emplace_back(QcKelmarPlugIn::kOutChannels, number("--out-channels"));
        break;
      case 'd': {
        std::string error;
        auto parsed = ParseLevels(arg, &error);
        if (!parsed) UsageError("--dmx: " + error);
        levels = *parsed;
        break;
      }
      case 'r':
        fps = double(IntOption("--fps", arg, 1, 1000));
        break;
      case 'q':
        mode = CHostView::Mode::kQuiet;
        break;
      case kLines:
        mode = CHostView::Mode::kLines;
        break;
      case kJson:
        mode = CHostView::Mode::kJson;
        break;
      case kShowSent:
        showSent = true;
        break;
      case kHex:
        format = LevelFormat::kHex;
        break;
      case kPercent:
        format = LevelFormat::kPercent;
        break;
      case 'l':
        SetLogLevel(int(IntOption("--log-level", arg, 0, 4)));
        break;
      case 'h':
        Usage(std::cout);
        return 0;
      case 'v':
        std::cout << kVersion << '\n';
        return 0;
      case ':':
        UsageError(std::string("option needs a value: ") + argv[optind - 1]);
      default:
        UsageError(std::string("unknown option: ") + argv[optind - 1]);
    }
  }
  if (optind < argc) UsageError(std::string("unexpected argument: ") + argv[optind]);

  CRunLoop& loop = CRunLoop::Current();
  StopLoopOnSignals(loop);
  CHost host(composition, mode, format, showSent);
  host.LoadComposition();
  for (auto const& [key, value] : settings) host.SetSetting(key, value);
  host.SetLevels(levels, QCIntValue(host.plugIn().inBase()));
  if (std::get<std::string>(host.plugIn().udpStatus()) != QcKelmarPlugIn::kPortOpen)
    Log(2, "cannot use UDP port " + std::to_string(QCIntValue(host.plugIn().udpPort())) +
               " (is another program using it?); still running, change udpPort to retry");

  CFrameTimer frames(fps, [&] {
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
