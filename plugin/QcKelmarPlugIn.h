// The "Kelmar Network" patch: settings, channel ports, persistence and per-frame work.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "QCPlugIn.h"

class CKelmarNetIO;

// A passive network endpoint in a composition. Every frame it publishes the levels last
// received from its peer on "Out<k>" and sends the values of "In<k>" as one DMX turn.
// Host thread only: the thread that builds it runs its network events too.
class QcKelmarPlugIn : public QCPlugIn {
 public:
  // Settings keys, in the order they are saved, and the status key.
  static constexpr char kUdpPort[] = "udpPort";
  static constexpr char kInBase[] = "inBase";
  static constexpr char kInChannels[] = "inChannels";
  static constexpr char kOutBase[] = "outBase";
  static constexpr char kOutChannels[] = "outChannels";
  static constexpr char kUdpStatus[] = "udpStatus";
  static constexpr char kPortOpen[] = "Port is open.";
  static constexpr char kPortUnusable[] = "Cannot use the port.";
  static constexpr int kMaxChannel = 512;

  // ---- what the host asks of the class
  static QCAttributes attributes();
  static QCAttributes attributesForPropertyPortWithKey(std::string const&) { return {}; }
  static QCPlugInExecutionMode executionMode() { return kQCPlugInExecutionModeProcessor; }
  static QCPlugInTimeMode timeMode() { return kQCPlugInTimeModeIdle; }
  static std::vector<std::string> plugInKeys();
  static std::string synthInputName(int channel);
  static std::string synthOutputName(int channel);

  // Builds the endpoint and the default ports "In1".."In12", "Out1".."Out12". The UDP
  // port opens when execution starts, on the settings the host restored by then.
  QcKelmarPlugIn();
  // Deletes the endpoint, which closes the port.
  ~QcKelmarPlugIn() override;

  // ---- settings: a setter stores a changed value (bounded like the validation), then
  // reopens the socket or rebuilds the ports
  QCValue udpPort() const { return double(mUdpPort); }
  QCValue inBase() const { return double(mInBaseSetting); }
  QCValue inChannels() const { return double(mInChannelsSetting); }
  QCValue outBase() const { return double(mOutBaseSetting); }
  QCValue outChannels() const { return double(mOutChannelsSetting); }
  void setUdpPort(QCValue const& v);
  void setInBase(QCValue const& v);
  void setInChannels(QCValue const& v);
  void setOutBase(QCValue const& v);
  void setOutChannels(QCValue const& v);

  // Validation clamps the proposed value to its bounds, replaces it, and says yes.
  bool validateUdpPortError(QCValue& v, std::string* error);
  bool validateInBaseError(QCValue& v, std::string* error);
  bool validateInChannelsError(QCValue& v, std::string* error);
  bool validateOutBaseError(QCValue& v, std::string* error);
  bool validateOutChannelsError(QCValue& v, std::string* error);

  // "Port is open." or "Cannot use the port." (so too before execution starts); the
  // setter ignores its value.
  QCValue udpStatus() const;
  void setUdpStatus(QCValue const&) {}

  // Brings the channel ports in line with the settings, touching only what changed.
  void populatePorts();
  // Closes and reopens the UDP port on the current setting and announces the status;
  // before execution has started it only remembers the setting.
  void setupSocket();

  // ---- the host's interface
  QCValue valueForKey(std::string const& key) const override;
  bool validateValueForKeyError(QCValue& value, std::string const& key,
                                std::string* error) override;
  std::vector<std::string> savedKeys() const override { return plugInKeys(); }
  // Opens the UDP port the first time; later starts leave it as it is.
  bool startExecution(QCPlugInContext* context) override;
  bool execute(QCPlugInContext* context, double time, QCAttributes const& arguments) override;
  std::unique_ptr<QCPlugInViewController> createViewController() override;

  // The endpoint, for the host's status display and for tests.
  CKelmarNetIO* io() const { return mIO; }

 protected:
  void takeValueForKey(QCValue const& value, std::string const& key) override;

 private:
  void SetChannelSetting(int& setting, QCValue const& v);

  // The port of each channel (null where there is none), found once whenever the
  // ports change, so that a frame reads and writes 1024 ports without a lookup.
  QCPlugIn::SPort* mInPort[kMaxChannel + 1] = {};
  QCPlugIn::SPort* mOutPort[kMaxChannel + 1] = {};

  CKelmarNetIO* mIO = nullptr;
  bool mStarted = false;  // execution has started: the port follows the setting
  // The channel ranges whose ports exist.
  int mInBase = 0;
  int mInChannels = 0;
  int mOutBase = 0;
  int mOutChannels = 0;
  // The settings.
  int mUdpPort = 51209;
  int mInBaseSetting = 1;
  int mInChannelsSetting = 12;
  int mOutBaseSetting = 1;
  int mOutChannelsSetting = 12;
};
