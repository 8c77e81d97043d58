// What the host shows: the status, the peer's state and address, the output levels
// and, when asked, the levels sent.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "CLevels.h"

class QcKelmarPlugIn;

// Three ways to show the same things: a view redrawn in place on a terminal, plain
// lines on change for pipes and logs, or JSON lines for programs. Nothing with quiet.
class CHostView {
 public:
  enum class Mode { kQuiet, kTerminal, kLines, kJson };

  // `showSent`: the lines and JSON views also show the levels sent when they change.
  CHostView(QcKelmarPlugIn& plugIn, Mode mode, LevelFormat format, bool showSent = false);
  ~CHostView();
  CHostView(CHostView const&) = delete;
  CHostView& operator=(CHostView const&) = delete;

  // Called every frame; shows what changed (a terminal at most 10 times a second).
  void Update(double now);
  // Shows the settings view: each setting with its bounds, and the status.
  void ShowSettings();
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
  SSnapshot Take() const;
  void Draw(SSnapshot const& s);

  QcKelmarPlugIn& mPlugIn;
  Mode mMode;
  LevelFormat mFormat;
  bool mShowSent;
  SSnapshot mShown;
  double mLastDraw = -1;
  std::uint64_t mStatusObserver;
  bool mStatusAnnounced = false;  // the status was announced: show it again
};
