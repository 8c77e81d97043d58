// The host's patches, their frames and the commands on standard input.
#include "CHost.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <sstream>

#include "CAppLog.h"
#include "CHostCommand.h"
#include "CKelmarNetIO.h"
#include "UEventClock.h"

namespace {

constexpr int kDefaultPort = 51209;

// A number as typed: whole numbers without a fraction, others as the stream shows them
// (a cast of 1e300 to long would be undefined).
std::string NumberText(double value) {
  if (std::abs(value) < 1e15 && value == std::trunc(value)) return std::to_string(long(value));
  std::ostringstream out;
  out << value;
  return out.str();
}

}  // namespace

int NextFreePort(std::vector<int> const& used) {
  for (int port = kDefaultPort; port <= 65535; ++port)
    if (std::find(used.begin(), used.end(), port) == used.end()) return port;
  return kDefaultPort;
}

CHost::CHost(std::string compositionPath, CHostView::Mode mode, LevelFormat format, bool showSent,
             CHostOla::SSettings ola)
    : mPath(std::move(compositionPath)), mOla(mPatches, ola), mView(mode, format, showSent) {}

CHost::~CHost() = default;

void CHost::Log(CHostPatch& patch, std::string const& text) {
  ::Log(2, "patch " + std::to_string(patch.number()) + ": " + text);
}

void CHost::LoadComposition() {
  CComposition composition;
  if (!mPath.empty()) {
    bool exists = false;
    std::string error;
    if (!composition.Load(mPath, &exists, &error)) {
      mMayOverwrite = false;
      ::Log(2, error + "; starting with defaults, and it will not be overwritten");
    } else {
      ::Log(3, exists ? "loaded " + mPath : mPath + " does not exist yet; 'save' will create it");
    }
  }
  if (composition.patches.empty()) composition.patches.emplace_back();
  for (SPatchRecord& record : composition.patches) Insert(std::move(record)).Restore();
}

CHostPatch& CHost::Insert(SPatchRecord record) {
  int const number = mPatches.empty() ? 1 : mPatches.back()->number() + 1;
  mPatches.push_back(std::make_unique<CHostPatch>(number, std::move(record)));
  CHostPatch& patch = *mPatches.back();
  mView.Add(patch);
  return patch;
}

CHostPatch* CHost::patch(long number) {
  for (auto const& p : mPatches)
    if (p->number() == number) return p.get();
  return nullptr;
}

void CHost::SetSetting(CHostPatch& patch, std::string const& key, double value) {
  QCValue v = value;
  std::string error;
  if (!patch.plugIn().validateValueForKeyError(v, key, &error))
    return Log(patch, key + ": " + error);
  if (QCDoubleValue(v) != value)
    Log(patch, key + " " + NumberText(value) + " is out of bounds; using " +
                   std::to_string(QCIntValue(v)));
  patch.plugIn().setValueForKey(v, key);
}

void CHost::SetLevels(CHostPatch& patch, std::vector<std::uint8_t> const& levels,
                      int firstChannel) {
  for (std::size_t i = 0; i < levels.size(); ++i)
    patch.plugIn().setValueForInputKey(levels[i] / 255.0,
                                       QcKelmarPlugIn::synthInputName(firstChannel + int(i)));
}

void CHost::Start() {
  mStarted = true;
  for (auto const& p : mPatches) StartPatch(*p);
}

void CHost::StartPatch(CHostPatch& patch) {
  QcKelmarPlugIn& plugIn = patch.plugIn();
  plugIn.startExecution(nullptr);
  mOla.Attach(patch);
  if (std::get<std::string>(plugIn.udpStatus()) != QcKelmarPlugIn::kPortOpen)
    Log(patch, "cannot use UDP port " + std::to_string(QCIntValue(plugIn.udpPort())) +
                   " (is another program using it?); still running, change udpPort to retry");
}

void CHost::Frame() {
  for (auto const& p : mPatches) {
    QcKelmarPlugIn& plugIn = p->plugIn();
    // Timers that fell due since the last pass go first, so that a turn whose refresh
    // is due goes out in full on this frame rather than the next.
    plugIn.io()->world().DriveTimers();
    plugIn.execute(nullptr, UEventClock::Now(), {});
    mOla.Executed(*p);
  }
  mView.Update(UEventClock::Now());
}

CHostPatch& CHost::Add(std::optional<long> port) {
  std::vector<int> used;
  for (auto const& p : mPatches) used.push_back(QCIntValue(p->plugIn().udpPort()));
  CHostPatch& patch = Insert({});
  SetSetting(patch, QcKelmarPlugIn::kUdpPort, port ? double(*port) : NextFreePort(used));
  if (mStarted) StartPatch(patch);
  return patch;
}

bool CHost::Remove(long number) {
  auto it = std::find_if(mPatches.begin(), mPatches.end(),
                         [number](auto const& p) { return p->number() == number; });
  if (it == mPatches.end()) {
    mView.Say("remove: no patch " + std::to_string(number));
    return false;
  }
  if (mPatches.size() == 1) {
    mView.Say("remove: patch " + std::to_string(number) +
              " is the only one; a composition keeps at least one patch");
    return false;
  }
  mView.Remove(number);
  mOla.Detach(**it);
  mPatches.erase(it);  // deletes its plug-in, whose endpoint closes the port
  return true;
}

bool CHost::Save(std::string path, std::string* message) {
  // What the view shows is also the answer to a caller that asks (the web page).
  auto say = [&](std::string const& text, bool ok) {
    mView.Say(text);
    if (message) *message = text;
    return ok;
  };
  if (path.empty()) path = mPath;
  if (path.empty()) return say("save: no file (give one: save FILE, or start with -c FILE)", false);
  std::error_code ec;
  if (!mMayOverwrite && (path == mPath || std::filesystem::equivalent(path, mPath, ec)))
    return say("save: refusing to overwrite " + path +
                   ", which could not be read at start; save to another file",
               false);
  CComposition composition;
  for (auto const& p : mPatches) {
    p->Capture();
    composition.patches.push_back(p->record());
  }
  std::string error;
  if (!composition.Save(path, &error)) return say("save: " + error, false);
  return say("saved " + path, true);
}

CHostPatch* CHost::Target(SHostCommand const& command) {
  if (!command.patch) return mPatches.front().get();
  if (CHostPatch* p = patch(*command.patch)) return p;
  std::string known;
  for (auto const& p : mPatches) known += (known.empty() ? "" : ", ") + std::to_string(p->number());
  mView.Say("no patch " + std::to_string(*command.patch) + " (patches: " + known + ")");
  return nullptr;
}

void CHost::Command(std::string const& line) {
  using Verb = SHostCommand::Verb;
  SHostCommand const c = ParseHostCommand(line);
  CHostPatch* target = nullptr;
  switch (c.verb) {
    case Verb::kNone:
      return;
    case Verb::kInvalid:
      return mView.Say(c.error);
    case Verb::kQuit:
      mQuit = true;
      return;
    case Verb::kHelp:
      return mView.Say(
          "set [N] KEY VALUE | in [N] K LEVEL | view [N] | add [PORT] | remove N | save [FILE] | "
          "quit  (N: a patch number; without it, the first patch)");
    case Verb::kSave:
      Save(c.text, nullptr);
      return;
    case Verb::kAdd: {
      CHostPatch& added = Add(c.port);
      mView.Say("added patch " + std::to_string(added.number()) + " on UDP port " +
                std::to_string(QCIntValue(added.plugIn().udpPort())));
      return mView.ShowPatches();
    }
    case Verb::kRemove:
      if (!Remove(*c.patch)) return;
      mView.Say("removed patch " + std::to_string(*c.patch));
      return mView.ShowPatches();
    case Verb::kView:
      if ((target = Target(c))) mView.ShowSettings(target->number());
      return;
    case Verb::kSet: {
      if (!(target = Target(c))) return;
      auto const keys = QcKelmarPlugIn::plugInKeys();
      if (std::find(keys.begin(), keys.end(), c.text) != keys.end())
        return SetSetting(*target, c.text, c.value);
      if (!target->plugIn().setValueForInputKey(c.value, c.text))
        mView.Say("set: no setting or input port " + c.text);
      return;
    }
    case Verb::kIn:
      if (!(target = Target(c))) return;
      if (!target->plugIn().setValueForInputKey(c.level / 255.0,
                                                QcKelmarPlugIn::synthInputName(int(c.channel))))
        mView.Say("in: no input port In" + std::to_string(c.channel));
      return;
  }
}
