// kelmar-host: a minimal composition host running "Kelmar Network" patches.
#include <unistd.h>

#include <csignal>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CAppLog.h"
#include "CAppLoop.h"
#include "CHost.h"
#include "CHostView.h"
#include "COptions.h"
#include "CPlugInWebModel.h"
#include "CWebServer.h"
#include "QcKelmarPlugIn.h"

namespace {

constexpr char kVersion[] = "kelmar-host 0.1.0";

COptions::SText const kText = {
    kVersion,
    "Usage: kelmar-host [OPTION]...\n"
    "Runs a composition of \"Kelmar Network\" patches, one unless the composition\n"
    "file holds more. Each listens for one networked peer on its own UDP port, sends\n"
    "the values of its input ports as DMX levels every frame and shows the levels\n"
    "received.\n"
    "\n",
    "\n"
    "Settings given as options apply to the first patch and are corrected to their\n"
    "bounds, as the settings view would. Commands on standard input, one per line;\n"
    "N is a patch number, and without it a command addresses the first patch:\n"
    "  set [N] KEY VALUE  a setting (udpPort, inBase, inChannels, outBase,\n"
    "                     outChannels) or an input port (In7 0.5: values 0..1)\n"
    "  in [N] K LEVEL     input channel K to LEVEL 0..255\n"
    "  view [N]           show the settings view\n"
    "  add [PORT]         add a patch with default settings, listening on PORT\n"
    "                     (default: the lowest port from 51209 up no patch uses)\n"
    "  remove N           remove patch N (not the only one)\n"
    "  save [FILE]        save the composition (to FILE, or the one given with -c)\n"
    "  quit               end (so do SIGINT and SIGTERM; the end of input does not)\n"
    "Patches are numbered from 1 in the order of the composition file, and a patch\n"
    "keeps its number while the program runs: after 'remove 1' patch 2 is still\n"
    "patch 2, and the first patch is the lowest number left. 'add' gives a new patch\n"
    "the number above the highest in use; 'save' writes the patches in their order.\n"
    "\n"
    "A patch with OLA universes (\"olaIn\", \"olaOut\" in the file, or --ola-in and\n"
    "--ola-out for the first) bridges them through olad, which must run; it is\n"
    "retried every second, and the Kelmar links go on meanwhile.\n",
    26};

// What the command line asks of a run.
struct SHostSettings {
  std::string composition;
  // Settings of the first patch, applied before its port opens; the patch bounds them.
  std::optional<long> udpPort, inBase, inChannels, outBase, outChannels;
  std::optional<std::vector<std::uint8_t>> levels;
  double fps = 60;
  CHostView::Mode mode = CHostView::Mode::kLines;
  LevelFormat format = LevelFormat::kDecimal;
  bool showSent = false;
  int logLevel = 2;
  // OLA universes of the first patch (over what the file says), and how olad is reached.
  std::optional<std::uint32_t> olaIn, olaOut;
  std::string olaLoss;
  long olaPort = COlaBridge::kDefaultPort;
  std::string http;                // --http as given
  std::optional<SWebAddress> web;  // where the page is served, if at all
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
       "load the patches, their settings and input values\n"
       "from FILE (JSON); 'save' writes them back atomically",
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
      {0, "ola-in", "U",
       "the first patch's inputs take OLA universe U's levels\n"
       "(slot K to input channel K; \"olaIn\" in the file)",
       UniverseOption(s.olaIn)},
      {0, "ola-out", "U",
       "the first patch puts the levels it receives into OLA\n"
       "universe U (\"olaOut\" in the file)",
       UniverseOption(s.olaOut)},
      {0, "ola-loss", "MODE",
       "when a patch's link is lost, its OLA universe holds\n"
       "the last levels (hold, the default) or goes to zero",
       ChoiceOption(s.olaLoss, {"hold", "zero"})},
      {0, "ola-port", "N", "olad's RPC port (default 9010)", IntOption(s.olaPort, 1, 65535)},
      {0, "http", "[ADDR:]PORT",
       "serve a page of the settings and live levels on\n"
       "127.0.0.1:PORT (ADDR: another address; see the README)",
       TextOption(s.http)},
  };
  for (SOption& row : FormatRows(s.format)) rows.push_back(std::move(row));
  rows.push_back(LogLevelRow(s.logLevel));
  COptions const options(kText, std::move(rows));
  COptions::SResult result = options.Parse(argc, argv);
  if (result.kind == COptions::SResult::Kind::kRun && !s.http.empty()) {
    std::string error;
    s.web = ParseWebAddress(s.http, &error);
    if (!s.web) result = COptions::SResult::Misuse("--http: " + error);
  }
  options.Take(result);
  return s;
}

int Run(SHostSettings const& s) {
  SetLogLevel(s.logLevel);
  CRunLoop& loop = CRunLoop::Current();
  StopLoopOnSignals(loop);
  CHostOla::SSettings const ola = {std::uint16_t(s.olaPort),
                                   s.olaLoss == "zero" ? COlaBridge::kZero : COlaBridge::kHold};
  CHost host(s.composition, s.mode, s.format, s.showSent, ola);
  host.LoadComposition();
  CHostPatch& first = *host.patches().front();
  if (s.olaIn) first.SetOlaIn(*s.olaIn);
  if (s.olaOut) first.SetOlaOut(*s.olaOut);
  std::pair<char const*, std::optional<long>> const settings[] = {
      {QcKelmarPlugIn::kUdpPort, s.udpPort},
      {QcKelmarPlugIn::kInBase, s.inBase},
      {QcKelmarPlugIn::kInChannels, s.inChannels},
      {QcKelmarPlugIn::kOutBase, s.outBase},
      {QcKelmarPlugIn::kOutChannels, s.outChannels}};
  for (auto const& [key, value] : settings)
    if (value) host.SetSetting(first, key, double(*value));
  host.SetLevels(first, s.levels.value_or(std::vector<std::uint8_t>{}),
                 QCIntValue(first.plugIn().inBase()));
  host.Start();

  // The page sees the patches through the model, on this thread only; the server is
  // declared after the host and the model, so it stops before they go.
  std::optional<CPlugInWebModel> model;
  std::unique_ptr<CWebServer> web;
  if (s.web) {
    if (s.web->named && !IsLoopbackAddress(s.web->address))
      Log(2, "the page on " + s.web->address +
                 " answers other machines, and no password guards it: prefer 127.0.0.1 "
                 "and an SSH tunnel");
    model.emplace(
        [&host] {
          std::vector<QcKelmarPlugIn*> plugIns;
          for (auto const& patch : host.patches()) plugIns.push_back(&patch->plugIn());
          return plugIns;
        },
        [&host](std::string* message) { return host.Save("", message); });
    CWebServer::SOptions options;
    options.where = *s.web;
    web = std::make_unique<CWebServer>(*model, options);
    std::string error;
    if (!web->Start(&error)) {
      Log(1, "--http: " + error);
      return 69;
    }
    std::cerr << "kelmar-host: the page is at " << web->url() << std::endl;
  }

  CFrameTimer frames(s.fps, [&] {
    host.Frame();
    if (web) web->Publish();
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
