// The host's patches and OLA universes.
#include "CHostOla.h"

#include <algorithm>
#include <string>

#include "CAppLog.h"
#include "CHost.h"
#include "CKelmarNetIO.h"

CHostOla::CHostOla(Patches const& patches, SSettings settings)
    : LHandler(nullptr), mPatches(patches), mSettings(settings) {}

CHostOla::~CHostOla() = default;

void CHostOla::Attach(CHostPatch& patch) {
  if (!patch.olaIn() && !patch.olaOut()) return;
  if (!mBridge) {
    mBridge = std::make_unique<COlaBridge>(this, mWorld, mSettings.port);
    mBridge->SetLog([](int level, std::string const& text) { Log(level, text); });
    mBridge->SetLossMode(mSettings.loss);
    if (!mBridge->Start()) Log(1, "OLA: the universes of the patches are not bridged");
  }
  if (patch.olaIn()) mBridge->Listen(*patch.olaIn());
}

void CHostOla::Detach(CHostPatch& patch) {
  mLinked.erase(patch.number());
  if (!mBridge || !patch.olaOut()) return;
  for (auto const& other : mPatches)
    if (other.get() != &patch && other->olaOut() == patch.olaOut()) return;
  mBridge->Forget(*patch.olaOut());
}

void CHostOla::Executed(CHostPatch& patch) {
  if (!mBridge || !patch.olaOut()) return;
  QcKelmarPlugIn& plugIn = patch.plugIn();
  bool const up = plugIn.io()->peer().state() == CKelmarNetPeer::stConnected;
  bool& linked = mLinked[patch.number()];
  if (!up) {
    if (linked) mBridge->LinkLost(*patch.olaOut());
    linked = false;
    return;
  }
  linked = true;
  long const last = QCIntValue(plugIn.outBase()) + QCIntValue(plugIn.outChannels()) - 1;
  auto const count = std::size_t(std::clamp<long>(last, 1, COlaBridge::kSlots));
  mBridge->Send(*patch.olaOut(), plugIn.io()->rxTurn() + 1, count);  // byte 0: start code
}

void CHostOla::Feed(CHostPatch& patch, std::uint8_t const* levels, std::size_t count) {
  QcKelmarPlugIn& plugIn = patch.plugIn();
  long const first = std::max(1L, long(QCIntValue(plugIn.inBase())));
  long const end = std::min<long>(first + QCIntValue(plugIn.inChannels()), COlaBridge::kSlots + 1);
  for (long k = first; k < end; ++k) {
    std::uint8_t const level = std::size_t(k) <= count ? levels[k - 1] : 0;
    plugIn.setValueForInputKey(level / 255.0, QcKelmarPlugIn::synthInputName(int(k)));
  }
}

LEvent CHostOla::HandleEvent(LEvent const& e) {
  if (!mBridge || e.mSource != mBridge.get()) return LHandler::HandleEvent(e);
  if (e.is(COlaBridge::rRecv))
    for (auto const& patch : mPatches)
      if (patch->olaIn() == mBridge->recvUniverse())
        Feed(*patch, mBridge->recvLevels(), mBridge->recvCount());
  return LEvent();
}
