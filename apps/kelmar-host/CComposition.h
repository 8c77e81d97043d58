// The composition file: the patch's saved settings and input values, as JSON.
#pragma once

#include <map>
#include <string>

#include "QCPlugIn.h"

// {
//   "patch": "Kelmar Network",
//   "settings": { "udpPort": 51209, "inBase": 1, "inChannels": 12, ... },
//   "inputs": { "In1": 0.5, ... }
// }
struct CComposition {
  std::map<std::string, double> settings;  // saved keys and their values
  std::map<std::string, double> inputs;    // input port keys and their values

  // Reads `path`. A missing file is not an error (`exists` false, nothing read).
  // On failure returns false with a message naming the file and the problem.
  bool Load(std::string const& path, bool* exists, std::string* error);
  // Writes `path` atomically: a new file beside it, flushed, then renamed over it,
  // so a crash never leaves half a file. False with a message on failure.
  bool Save(std::string const& path, std::string* error) const;

  // Takes the saved keys and the current input values from the plug-in.
  void Capture(QCPlugIn& plugIn);
  // Restores settings through the saved-value path (as the host does), then inputs.
  void Restore(QCPlugIn& plugIn) const;
};
