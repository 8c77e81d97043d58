// The host: the patches of the composition, their view, and the commands that drive them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CComposition.h"
#include "CHostOla.h"
#include "CHostView.h"
#include "QcKelmarPlugIn.h"

struct SHostCommand;

// One patch of the running composition: its own plug-in instance (with its own endpoint
// and UDP port), what the composition file says of it, and its number. A patch keeps its
// number while the host runs; the file keeps only the order.
class CHostPatch {
 public:
  CHostPatch(int number, SPatchRecord record) : mNumber(number), mRecord(std::move(record)) {}

  int number() const { return mNumber; }
  QcKelmarPlugIn& plugIn() { return mPlugIn; }

  // The OLA universe whose levels feed the input ports, and the one that takes the
  // output levels ("olaIn" and "olaOut" in the file); unset when not patched to OLA.
  std::optional<std::uint32_t> olaIn() const { return mRecord.olaIn; }
  std::optional<std::uint32_t> olaOut() const { return mRecord.olaOut; }
  // Bridges the patch to OLA; before it starts.
  void SetOlaIn(std::uint32_t universe) { mRecord.olaIn = universe; }
  void SetOlaOut(std::uint32_t universe) { mRecord.olaOut = universe; }

  // The record as the file gives it; Capture() brings it up to date for saving.
  SPatchRecord const& record() const { return mRecord; }
  void Capture() { mRecord.Capture(mPlugIn); }
  void Restore() { mRecord.Restore(mPlugIn); }

 private:
  int mNumber;
  QcKelmarPlugIn mPlugIn;
  SPatchRecord mRecord;
};

// The UDP port `add` gives a new patch when none is named: the lowest from 51209 up that
// no patch of the composition uses (51209 itself when all of them are taken).
int NextFreePort(std::vector<int> const& used);

// Host thread only, like the plug-ins it holds.
class CHost {
 public:
  // `ola`: how the patches that name OLA universes reach olad.
  CHost(std::string compositionPath, CHostView::Mode mode, LevelFormat format, bool showSent,
        CHostOla::SSettings ola = {});
  ~CHost();
  CHost(CHost const&) = delete;
  CHost& operator=(CHost const&) = delete;

  // Makes the patches from the composition file, or one with default settings when there
  // is no file or it cannot be read. A file that exists but cannot be read is never
  // overwritten by this run.
  void LoadComposition();

  // The patches, in the order of the file (numbers rise along it); never empty once loaded.
  std::vector<std::unique_ptr<CHostPatch>> const& patches() const { return mPatches; }
  // Patch `number`, or null.
  CHostPatch* patch(long number);
  CHostView& view() { return mView; }

  // A setting as the settings view sets it: validated (corrected to its bounds, with a
  // warning), then through its key.
  void SetSetting(CHostPatch& patch, std::string const& key, double value);
  // Input levels 0..255 from channel `firstChannel` on.
  void SetLevels(CHostPatch& patch, std::vector<std::uint8_t> const& levels, int firstChannel);

  // Starts execution of every patch, which opens each UDP port once, on the settings given
  // by now. Patches added later start as they are added.
  void Start();
  // One frame: each patch's due timers, then its execution, in the order of the patches;
  // then the view.
  void Frame();

  // A new patch with default settings on `port` (or the next free default, NextFreePort),
  // after the others. Returns it.
  CHostPatch& Add(std::optional<long> port);
  // Removes patch `number`, which closes its UDP port; the other patches run on untouched.
  // False, with a message, when there is no such patch or it is the only one.
  bool Remove(long number);

  // Saves the composition to `path` (empty: the file given at start), as the `save`
  // command does; `message` (if given) gets what the view says of it.
  bool Save(std::string path, std::string* message);

  // Runs one command line.
  void Command(std::string const& line);
  bool quit() const { return mQuit; }

 private:
  CHostPatch& Insert(SPatchRecord record);
  void StartPatch(CHostPatch& patch);
  // The patch a command addresses: its number, or the first. Null, with a message, if none.
  CHostPatch* Target(SHostCommand const& command);
  void Log(CHostPatch& patch, std::string const& text);

  std::string mPath;
  bool mMayOverwrite = true;
  bool mStarted = false;
  bool mQuit = false;
  std::vector<std::unique_ptr<CHostPatch>> mPatches;
  CHostOla mOla;    // after the patches: it lets go of them first
  CHostView mView;  // after the patches: it lets go of them first
};
