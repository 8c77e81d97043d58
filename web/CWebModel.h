// What the host's web page shows of its patches and may change in them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One setting as the settings view shows it: key, label, value and the bounds its
// validation corrects to.
struct SWebSetting {
  std::string key;
  std::string label;
  int value = 0;
  int min = 0;
  int max = 0;
  bool operator==(SWebSetting const&) const = default;
};

// One patch as the page shows it. Levels are slots 1..512, `in[k - 1]` being slot k.
struct SWebPatch {
  std::string name;
  std::vector<SWebSetting> settings;
  std::string status;                   // the status text of the settings view
  std::string state;                    // the connection state in words ("idle", "connected", ...)
  std::string partner;                  // "192.0.2.1:51209" while connected, else empty
  bool receiving = false;               // turns are arriving from the partner
  int inFirst = 1;                      // the input channels that have ports: [inFirst, inLast]
  int inLast = 0;                       // below inFirst when there is none
  std::array<std::uint8_t, 512> in{};   // levels sent
  std::array<std::uint8_t, 512> out{};  // levels received
  bool operator==(SWebPatch const&) const = default;
};

// The host side of the page. Every method runs on the loop thread that owns the
// patches; the web server never calls it from another thread.
class CWebModel {
 public:
  virtual ~CWebModel() = default;

  // Every patch, in a fixed order: a patch's index is its place here.
  virtual std::vector<SWebPatch> Patches() = 0;

  // Sets a setting as the settings view does: validated (which may correct it), then
  // set. Returns false with a message, and changes nothing, for an unknown patch or
  // key or a value the validation refuses; else `*applied` is the value set.
  virtual bool SetSetting(std::size_t patch, std::string const& key, double value, double* applied,
                          std::string* error) = 0;

  // Sets input channels first, first + 1, ... to `levels` (0..255). Returns false with
  // a message, and changes nothing, when a channel is out of 1..512 or has no port.
  virtual bool SetInputs(std::size_t patch, int first, std::vector<std::uint8_t> const& levels,
                         std::string* error) = 0;

  // Saves the composition; `message` says where, or why not.
  virtual bool Save(std::string* message) = 0;

  // Whether the levels received by any patch (or the list of patches) changed since the
  // last call. Cheap: the server asks on every pass of the loop, so that received levels
  // reach the page as they arrive rather than at the host's next frame.
  virtual bool ReceivedChanged() { return false; }
};
