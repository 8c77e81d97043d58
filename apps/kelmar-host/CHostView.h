// What the host shows of each patch: the status, the peer's state and address, the output levels
// and, when asked, the levels sent.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CLevels.h"

class CHostPatch;
class QcKelmarPlugIn;

// Three ways to show the same things for every patch, each labelled by its number: a view
// redrawn in place on a terminal, plain lines on change for pipes and logs, or JSON lines
// (with a "patch" field) for programs. Nothing with quiet.
class CHostView {
 public:
  enum class Mode { kQuiet, kTerminal, kLines, kJson };

  // `showSent`: the lines and JSON views also show the levels sent when they change.
  CHostView(Mode mode, LevelFormat format, bool showSent = false);
  ~CHostView();
  CHostView(CHostView const&) = delete;
  CHostView& operator=(CHostView const&) = delete;

  // Shows `patch` under its number from the next update on, after the patches shown
  // already. The patch must live until it is removed (or the view ends).
  void Add(CHostPatch& patch);
  // Stops showing patch `number`; the others are shown as before.
  void Remove(int number);

  // Called every frame; shows what changed (a terminal at most 10 times a second).
  void Update(double now);
  // Shows the settings view of patch `number`: each setting with its bounds, its OLA
  // universes, and the status.
  void ShowSettings(int number);
  // Shows which patches there are and their UDP ports (after one was added or removed).
  void ShowPatches();
  // A message for the person at the terminal (or a JSON "message" line).
  void Say(std::string const& text);

 private:
  struct SSnapshot {
    std::string status;
    int state = -1;
    std::string peer;
    int outBase = 0;
    std::vector<std::uint8_t> levels;
    int inBase = 0;
    std::vector<std::uint8_t> sent;  // empty unless asked for
    bool operator==(SSnapshot const&) const = default;
  };
  struct SPatch {
    CHostPatch* patch = nullptr;
    std::uint64_t observer = 0;
    SSnapshot shown;
    bool statusAnnounced = false;  // the status was announced: show it again
  };
  SSnapshot Take(QcKelmarPlugIn& plugIn) const;
  void Draw(SPatch const& p, SSnapshot const& s);
  void DrawTerminal();
  SPatch* Find(int number);

  Mode mMode;
  LevelFormat mFormat;
  bool mShowSent;
  // Held by pointer: each status observer holds its patch's address.
  std::vector<std::unique_ptr<SPatch>> mPatches;
  double mLastDraw = -1;
  bool mRedraw = false;  // the terminal shows a patch list that has changed
};
