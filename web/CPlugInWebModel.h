// The web model of one "Kelmar Network" patch: the plug-in's own settings and ports.
#pragma once

#include <functional>
#include <string>

#include "CWebModel.h"

class QcKelmarPlugIn;

// Reads the plug-in and its endpoint and changes them only through the plug-in's
// interface: settings through its validation and key-value coding, inputs through its
// ports. Saving is the host's: `save` writes the composition, or is empty (then Save
// fails). Loop thread only; the plug-in must outlive the model.
class CPlugInWebModel : public CWebModel {
 public:
  using SaveFn = std::function<bool(std::string* message)>;

  CPlugInWebModel(QcKelmarPlugIn& plugIn, SaveFn save);

  std::vector<SWebPatch> Patches() override;
  bool SetSetting(std::size_t patch, std::string const& key, double value, double* applied,
                  std::string* error) override;
  bool SetInputs(std::size_t patch, int first, std::vector<std::uint8_t> const& levels,
                 std::string* error) override;
  bool Save(std::string* message) override;

  // One patch as the page shows it.
  SWebPatch Describe() const;

 private:
  QcKelmarPlugIn& mPlugIn;
  SaveFn mSave;
};
