// The web model of the host's "Kelmar Network" patches.
#include "CPlugInWebModel.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "CKelmarNetIO.h"
#include "QcKelmarPlugIn.h"

namespace {

// The labels of the settings view, by key.
char const* Label(std::string const& key) {
  if (key == QcKelmarPlugIn::kUdpPort) return "UDP port";
  if (key == QcKelmarPlugIn::kInBase) return "Input base";
  if (key == QcKelmarPlugIn::kInChannels) return "Input count";
  if (key == QcKelmarPlugIn::kOutBase) return "Output base";
  if (key == QcKelmarPlugIn::kOutChannels) return "Output count";
  return "";
}

// The value the plug-in's validation makes of `proposed` for `key`, or nothing when
// it refuses it.
bool Validated(QcKelmarPlugIn& plugIn, std::string const& key, double proposed, int* bound) {
  QCValue v = proposed;
  std::string error;
  if (!plugIn.validateValueForKeyError(v, key, &error)) return false;
  *bound = QCIntValue(v);
  return true;
}

}  // namespace

CPlugInWebModel::CPlugInWebModel(PatchesFn patches, SaveFn save)
    : mPatches(std::move(patches)), mSave(std::move(save)) {}

CPlugInWebModel::CPlugInWebModel(QcKelmarPlugIn& plugIn, SaveFn save)
    : CPlugInWebModel([&plugIn] { return std::vector<QcKelmarPlugIn*>{&plugIn}; },
                      std::move(save)) {}

QcKelmarPlugIn* CPlugInWebModel::Find(std::size_t patch, std::string* error) const {
  const auto all = mPatches();
  if (patch < all.size()) return all[patch];
  *error = "no patch " + std::to_string(patch);
  return nullptr;
}

SWebPatch CPlugInWebModel::Describe(QcKelmarPlugIn& plugIn) {
  SWebPatch p;
  p.name = std::get<std::string>(QcKelmarPlugIn::attributes().at(QCPlugInAttributeNameKey));
  for (auto const& key : QcKelmarPlugIn::plugInKeys()) {
    SWebSetting s;
    s.key = key;
    s.label = Label(key);
    s.value = QCIntValue(plugIn.valueForKey(key));
    // The bounds are whatever the validation makes of the extremes: the plug-in's own
    // rule, asked rather than restated.
    const double lowest = std::numeric_limits<int>::min(),
                 highest = std::numeric_limits<int>::max();
    if (!Validated(plugIn, key, lowest, &s.min)) s.min = std::numeric_limits<int>::min();
    if (!Validated(plugIn, key, highest, &s.max)) s.max = std::numeric_limits<int>::max();
    p.settings.push_back(std::move(s));
  }
  p.status = std::get<std::string>(plugIn.udpStatus());
  CKelmarNetPeer const& peer = plugIn.io()->peer();
  p.state = StateWord(peer.state());
  // A connected partner refreshes its turns and is dropped after seconds of silence,
  // so the connection is what tells that turns arrive.
  p.receiving = peer.state() == CKelmarNetPeer::stConnected;
  if (p.receiving) p.partner = AddrText(peer.peerAddr());
  const int inBase = QCIntValue(plugIn.inBase());
  p.inFirst = inBase;
  p.inLast = std::min(inBase + QCIntValue(plugIn.inChannels()) - 1, QcKelmarPlugIn::kMaxChannel);
  CDmxTurn const& tx = plugIn.io()->txTurn();
  for (std::uint32_t k = 1; k < tx.size() && k <= p.in.size(); ++k) p.in[k - 1] = tx.data()[k];
  std::uint8_t const* rx = plugIn.io()->rxTurn();
  std::copy(rx + 1, rx + 1 + p.out.size(), p.out.begin());
  return p;
}

std::vector<SWebPatch> CPlugInWebModel::Patches() {
  std::vector<SWebPatch> out;
  for (QcKelmarPlugIn* plugIn : mPatches()) out.push_back(Describe(*plugIn));
  return out;
}

bool CPlugInWebModel::SetSetting(std::size_t patch, std::string const& key, double value,
                                 double* applied, std::string* error) {
  QcKelmarPlugIn* found = Find(patch, error);
  if (!found) return false;
  QcKelmarPlugIn& plugIn = *found;
  auto const keys = QcKelmarPlugIn::plugInKeys();
  if (std::find(keys.begin(), keys.end(), key) == keys.end())
    return *error = "no setting " + key, false;
  // As the settings view sets a field: validated, then through its key.
  QCValue v = value;
  if (!plugIn.validateValueForKeyError(v, key, error)) return false;
  plugIn.setValueForKey(v, key);
  *applied = QCDoubleValue(v);
  return true;
}

bool CPlugInWebModel::SetInputs(std::size_t patch, int first,
                                std::vector<std::uint8_t> const& levels, std::string* error) {
  QcKelmarPlugIn* found = Find(patch, error);
  if (!found) return false;
  QcKelmarPlugIn& plugIn = *found;
  const long last = long{first} + long(levels.size()) - 1;
  if (levels.empty() || first < 1 || last > QcKelmarPlugIn::kMaxChannel)
    return *error = "channels 1..512 and at least one level", false;
  // All or nothing: every port is there before any changes.
  for (long k = first; k <= last; ++k)
    if (!plugIn.inputPortForKey(QcKelmarPlugIn::synthInputName(int(k))))
      return *error = "no input port In" + std::to_string(k), false;
  for (std::size_t i = 0; i < levels.size(); ++i)
    plugIn.setValueForInputKey(levels[i] / 255.0, QcKelmarPlugIn::synthInputName(first + int(i)));
  return true;
}

bool CPlugInWebModel::ReceivedChanged() {
  const auto all = mPatches();
  bool changed = all.size() != mReceived.size();
  mReceived.resize(all.size());
  for (std::size_t i = 0; i < all.size(); ++i) {
    std::uint8_t const* rx = all[i]->io()->rxTurn() + 1;
    if (std::equal(rx, rx + mReceived[i].size(), mReceived[i].begin())) continue;
    std::copy(rx, rx + mReceived[i].size(), mReceived[i].begin());
    changed = true;
  }
  return changed;
}

bool CPlugInWebModel::Save(std::string* message) {
  if (!mSave) return *message = "saving is not available", false;
  return mSave(message);
}
