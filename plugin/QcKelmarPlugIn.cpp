// The "Kelmar Network" patch.
#include "QcKelmarPlugIn.h"

#include <algorithm>
#include <cstdio>

#include "CKelmarNetIO.h"

namespace {

struct SBounds {
  int lo, hi;
};
constexpr SBounds kPortBounds{1024, 65535};
constexpr SBounds kChannelBounds{1, QcKelmarPlugIn::kMaxChannel};

int Clamp(QCValue const& v, SBounds b) {
  return std::clamp(QCIntValue(v), b.lo, b.hi);
}

bool Validate(QCValue& v, SBounds b) {
  v = double(Clamp(v, b));
  return true;  // corrected, never refused
}

// Removes the ports of channels in [oldB, oldB + oldN) that [newB, newB + newN) does
// not hold, in ascending order.
template <class Remove>
void RemoveOld(int oldB, int oldN, int newB, int newN, Remove remove) {
  const long oldEnd = long{oldB} + oldN, newEnd = long{newB} + newN;
  for (long k = oldB; k < std::min<long>(oldEnd, newB); ++k) remove(int(k));
  for (long k = std::max<long>(oldB, newEnd); k < std::min<long>(oldEnd, 513); ++k) remove(int(k));
}

// Adds the ports of channels in [newB, newB + newN), up to 512, not in the old range.
template <class Add>
void AddNew(int oldB, int oldN, int newB, int newN, Add add) {
  if (newN <= 0 || newB > QcKelmarPlugIn::kMaxChannel) return;
  const long oldEnd = long{oldB} + oldN, newEnd = long{newB} + newN;
  for (long k = newB; k < newEnd && k < 513; ++k)
    if (k < oldB || k >= oldEnd) add(int(k));
}

QCAttributes PortAttributes(std::string const& key) {
  return {{QCPortAttributeNameKey, key}, {QCPortAttributeDefaultValueKey, std::string("0")}};
}

}  // namespace

QCAttributes QcKelmarPlugIn::attributes() {
  return {{QCPlugInAttributeNameKey, std::string("Kelmar Network")},
          {QCPlugInAttributeDescriptionKey, std::string("Kelmar Network Endpoint.")}};
}

std::vector<std::string> QcKelmarPlugIn::plugInKeys() {
  return {kUdpPort, kInBase, kInChannels, kOutBase, kOutChannels};
}

std::string QcKelmarPlugIn::synthInputName(int channel) {
  return "In" + std::to_string(channel);
}

std::string QcKelmarPlugIn::synthOutputName(int channel) {
  return "Out" + std::to_string(channel);
}

QcKelmarPlugIn::QcKelmarPlugIn() : mIO(new CKelmarNetIO) {
  populatePorts();
}

QcKelmarPlugIn::~QcKelmarPlugIn() {
  delete mIO;
}

// ---- settings ---------------------------------------------------------------------

// Saved values reach the setters without validation, so each setter bounds its value
// the same way: a restored port of 70000 must not bind 4464, nor a restored base of
// 100000 index a turn.
void QcKelmarPlugIn::setUdpPort(QCValue const& v) {
  const int port = Clamp(v, kPortBounds);
  if (port == mUdpPort) return;
  mUdpPort = port;
  setupSocket();
}

void QcKelmarPlugIn::SetChannelSetting(int& setting, QCValue const& v) {
  const int n = Clamp(v, kChannelBounds);
  if (n == setting) return;
  setting = n;
  populatePorts();
}

void QcKelmarPlugIn::setInBase(QCValue const& v) {
  SetChannelSetting(mInBaseSetting, v);
}
void QcKelmarPlugIn::setInChannels(QCValue const& v) {
  SetChannelSetting(mInChannelsSetting, v);
}
void QcKelmarPlugIn::setOutBase(QCValue const& v) {
  SetChannelSetting(mOutBaseSetting, v);
}
void QcKelmarPlugIn::setOutChannels(QCValue const& v) {
  SetChannelSetting(mOutChannelsSetting, v);
}

bool QcKelmarPlugIn::validateUdpPortError(QCValue& v, std::string*) {
  return Validate(v, kPortBounds);
}
bool QcKelmarPlugIn::validateInBaseError(QCValue& v, std::string*) {
  return Validate(v, kChannelBounds);
}
bool QcKelmarPlugIn::validateInChannelsError(QCValue& v, std::string*) {
  return Validate(v, kChannelBounds);
}
bool QcKelmarPlugIn::validateOutBaseError(QCValue& v, std::string*) {
  return Validate(v, kChannelBounds);
}
bool QcKelmarPlugIn::validateOutChannelsError(QCValue& v, std::string*) {
  return Validate(v, kChannelBounds);
}

QCValue QcKelmarPlugIn::udpStatus() const {
  const auto port = static_cast<std::int32_t>(mIO->peer().port());
  return std::string(port > 0 ? kPortOpen : kPortUnusable);
}

void QcKelmarPlugIn::populatePorts() {
  RemoveOld(mInBase, mInChannels, mInBaseSetting, mInChannelsSetting,
            [this](int k) { removeInputPortForKey(synthInputName(k)); });
  RemoveOld(mOutBase, mOutChannels, mOutBaseSetting, mOutChannelsSetting,
            [this](int k) { removeOutputPortForKey(synthOutputName(k)); });
  AddNew(mInBase, mInChannels, mInBaseSetting, mInChannelsSetting, [this](int k) {
    const std::string key = synthInputName(k);
    addInputPortWithTypeForKeyWithAttributes(QCPortTypeNumber, key, PortAttributes(key));
  });
  AddNew(mOutBase, mOutChannels, mOutBaseSetting, mOutChannelsSetting, [this](int k) {
    const std::string key = synthOutputName(k);
    addOutputPortWithTypeForKeyWithAttributes(QCPortTypeNumber, key, PortAttributes(key));
  });
  mInBase = mInBaseSetting;
  mInChannels = mInChannelsSetting;
  mOutBase = mOutBaseSetting;
  mOutChannels = mOutChannelsSetting;
  for (int k = 1; k <= kMaxChannel; ++k) {
    mInPort[k] = inputPortForKey(synthInputName(k));
    mOutPort[k] = outputPortForKey(synthOutputName(k));
  }
}

void QcKelmarPlugIn::setupSocket() {
  // Restored settings arrive one by one before the start; opening on each would bind
  // the default port first and fail for nothing when another program holds it.
  if (!mStarted) return;
  mIO->peer().Close();
  mIO->OpenSocket(static_cast<unsigned>(mUdpPort));  // the outcome shows in the status
  setValueForKey(std::string(), kUdpStatus);         // observers re-read the status
}

// ---- key-value coding ---------------------------------------------------------------

QCValue QcKelmarPlugIn::valueForKey(std::string const& key) const {
  if (key == kUdpPort) return udpPort();
  if (key == kInBase) return inBase();
  if (key == kInChannels) return inChannels();
  if (key == kOutBase) return outBase();
  if (key == kOutChannels) return outChannels();
  if (key == kUdpStatus) return udpStatus();
  return {};
}

void QcKelmarPlugIn::takeValueForKey(QCValue const& value, std::string const& key) {
  if (key == kUdpPort) setUdpPort(value);
  if (key == kInBase) setInBase(value);
  if (key == kInChannels) setInChannels(value);
  if (key == kOutBase) setOutBase(value);
  if (key == kOutChannels) setOutChannels(value);
  if (key == kUdpStatus) setUdpStatus(value);
}

bool QcKelmarPlugIn::validateValueForKeyError(QCValue& value, std::string const& key,
                                              std::string* error) {
  if (key == kUdpPort) return validateUdpPortError(value, error);
  if (key == kInBase) return validateInBaseError(value, error);
  if (key == kInChannels) return validateInChannelsError(value, error);
  if (key == kOutBase) return validateOutBaseError(value, error);
  if (key == kOutChannels) return validateOutChannelsError(value, error);
  return QCPlugIn::validateValueForKeyError(value, key, error);
}

std::unique_ptr<QCPlugInViewController> QcKelmarPlugIn::createViewController() {
  return std::make_unique<QCPlugInViewController>(this, "Settings");
}

// ---- execution ----------------------------------------------------------------------

bool QcKelmarPlugIn::startExecution(QCPlugInContext*) {
  if (!mStarted) {
    mStarted = true;
    setupSocket();
  }
  return true;
}

bool QcKelmarPlugIn::execute(QCPlugInContext*, double, QCAttributes const&) {
  if (!mIO) return true;

  // Publish the received levels; byte 0, the start code, is never a channel.
  std::uint8_t const* rx = mIO->rxTurn();
  if (mOutChannels > 0 && mOutBase <= kMaxChannel) {
    const long end = long{mOutBase} + mOutChannels;
    for (long k = std::max(mOutBase, 1); k < end && k <= kMaxChannel; ++k)
      if (SPort* port = mOutPort[k]) port->value = double(float(rx[k] / 255.0));
  }

  // Build the outgoing turn: zeros below the first channel and above the last.
  std::uint8_t* tx = mIO->txTurn().data();
  long k = 1;
  for (; k < mInBase && k <= kMaxChannel; ++k) tx[k] = 0;
  const long end = long{mInBase} + mInChannels;
  for (; k < end && k <= kMaxChannel; ++k) {
    SPort const* port = mInPort[k];
    const float v = std::min(port ? QCFloatValue(port->value) : 0.0f, 1.0f);
    tx[k] = v > 0 ? static_cast<std::uint8_t>(double(v) * 255.0) : 0;
  }
  for (; k <= kMaxChannel; ++k) tx[k] = 0;

  mIO->SendTurn();
  return true;
}
