// The composition file: a list of patches, each with its saved settings, input values and
// the OLA universes it is patched to, as JSON.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "QCPlugIn.h"

// One patch as the file keeps it.
struct SPatchRecord {
  std::map<std::string, double> settings;  // saved keys and their values
  std::map<std::string, double> inputs;    // input port keys and their values
  // OLA universes: "olaIn" feeds the patch's input ports, "olaOut" takes its output
  // levels. Unset when the patch is not patched to OLA.
  std::optional<std::uint32_t> olaIn, olaOut;

  // Takes the saved keys and the current input values from the plug-in.
  void Capture(QCPlugIn& plugIn);
  // Restores settings through the saved-value path (as the host does), then inputs.
  void Restore(QCPlugIn& plugIn) const;
  bool operator==(SPatchRecord const&) const = default;
};

// {
//   "patches": [
//     { "patch": "Kelmar Network",
//       "settings": { "udpPort": 51209, "inBase": 1, "inChannels": 12, ... },
//       "inputs": { "In1": 0.5, ... },
//       "olaIn": 1, "olaOut": 2 },
//     ...
//   ]
// }
// A file holding one patch object at the top level (the older single-patch form) reads
// as a list of that one patch.
struct CComposition {
  std::vector<SPatchRecord> patches;

  // Reads `path`. A missing file is not an error (`exists` false, nothing read).
  // On failure returns false with a message naming the file and the problem, and
  // leaves `patches` as it was.
  bool Load(std::string const& path, bool* exists, std::string* error);
  // Reads the text of a file; `path` only names it in the message.
  bool Parse(std::string const& text, std::string const& path, std::string* error);
  // Writes `path` atomically: a new file beside it, flushed, then renamed over it,
  // so a crash never leaves half a file. False with a message on failure.
  bool Save(std::string const& path, std::string* error) const;
  // The text Save writes: always the list form.
  std::string Text() const;
};
