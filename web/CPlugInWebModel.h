// The web model of the host's "Kelmar Network" patches: the plug-ins' own settings and ports.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "CWebModel.h"

class QcKelmarPlugIn;

// Reads the plug-in and its endpoint and changes them only through the plug-in's
// interface: settings through its validation and key-value coding, inputs through its
// ports. Saving is the host's: `save` writes the composition, or is empty (then Save
// fails). Loop thread only. The patches are asked for on every call, so a host may add
// and remove them while the page is open.
class CPlugInWebModel : public CWebModel {
 public:
  using SaveFn = std::function<bool(std::string* message)>;
  using PatchesFn = std::function<std::vector<QcKelmarPlugIn*>()>;

  CPlugInWebModel(PatchesFn patches, SaveFn save);
  // One patch, which must outlive the model.
  CPlugInWebModel(QcKelmarPlugIn& plugIn, SaveFn save);

  std::vector<SWebPatch> Patches() override;
  bool SetSetting(std::size_t patch, std::string const& key, double value, double* applied,
                  std::string* error) override;
  bool SetInputs(std::size_t patch, int first, std::vector<std::uint8_t> const& levels,
                 std::string* error) override;
  bool Save(std::string* message) override;
  bool ReceivedChanged() override;

  // One patch as the page shows it.
  static SWebPatch Describe(QcKelmarPlugIn& plugIn);

 private:
  // Patch `patch`, or null with `error` set.
  QcKelmarPlugIn* Find(std::size_t patch, std::string* error) const;

  PatchesFn mPatches;
  SaveFn mSave;
  std::vector<std::array<std::uint8_t, 512>> mReceived;  // as ReceivedChanged last saw them
};
