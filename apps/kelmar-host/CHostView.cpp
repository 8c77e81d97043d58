// The host's terminal, line and JSON views.
#include "CHostView.h"

#include <algorithm>

#include <cmath>
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>

#include "CJsonLine.h"
#include "CKelmarNetIO.h"
#include "CPeerText.h"
#include "QcKelmarPlugIn.h"

CHostView::CHostView(QcKelmarPlugIn& plugIn, Mode mode, LevelFormat format, bool showSent)
    : mPlugIn(plugIn),
      mMode(mode),
      mFormat(format),
      mShowSent(showSent),
      mStatusObserver(plugIn.addObserverForKey(QcKelmarPlugIn::kUdpStatus,
                                               [this] { mStatusAnnounced = true; })) {}

CHostView::~CHostView() {
  mPlugIn.removeObserver(mStatusObserver);
}

CHostView::SSnapshot CHostView::Take() const {
  SSnapshot s;
  s.status = std::get<std::string>(mPlugIn.udpStatus());
  CKelmarNetPeer const& peer = mPlugIn.io()->peer();
  s.state = static_cast<int>(peer.state());
  if (peer.state() == CKelmarNetPeer::stConnected) s.peer = AddrText(peer.peerAddr());
  auto const& outs = mPlugIn.outputPorts();
  s.outBase = QCIntValue(mPlugIn.outBase());
  for (auto const& p : outs)
    s.levels.push_back(static_cast<std::uint8_t>(std::lround(QCDoubleValue(p.value) * 255.0)));
  if (mShowSent) {
    // The slots of the turn handed over this frame that the input ports fill; ports past
    // slot 512 fill none.
    CDmxTurn const& turn = mPlugIn.io()->txTurn();
    s.inBase = QCIntValue(mPlugIn.inBase());
    const int end = std::min(s.inBase + QCIntValue(mPlugIn.inChannels()), int(turn.size()));
    s.sent.assign(turn.data() + s.inBase, turn.data() + std::max(end, s.inBase));
  }
  return s;
}

void CHostView::Update(double now) {
  if (mMode == Mode::kQuiet) return;
  if (mStatusAnnounced) {
    mStatusAnnounced = false;
    mShown.status.clear();  // the socket was reopened: say how it went, even if unchanged
  }
  SSnapshot s = Take();
  if (s == mShown) return;
  if (mMode == Mode::kTerminal && now - mLastDraw < 0.1) return;
  mLastDraw = now;
  Draw(s);
  mShown = std::move(s);
}

void CHostView::Draw(SSnapshot const& s) {
  auto const state = static_cast<CKelmarNetPeer::State>(s.state);
  if (mMode == Mode::kJson) {
    if (s.status != mShown.status)
      PutJsonLine(std::cout, {{"event", "status"}, {"text", s.status}});
    if (s.state != mShown.state || s.peer != mShown.peer)
      PutJsonLine(std::cout, {{"event", "peer"}, {"state", StateWord(state)}, {"address", s.peer}});
    if (s.levels != mShown.levels || s.outBase != mShown.outBase)
      PutJsonLine(std::cout, {{"event", "levels"}, {"first", s.outBase}, {"levels", s.levels}});
    if (s.sent != mShown.sent || s.inBase != mShown.inBase)
      PutJsonLine(std::cout, {{"event", "sent"}, {"first", s.inBase}, {"levels", s.sent}});
    std::cout.flush();
    return;
  }
  if (mMode == Mode::kLines) {
    if (s.status != mShown.status) std::cout << "status: " << s.status << '\n';
    if (s.state != mShown.state || s.peer != mShown.peer)
      std::cout << "peer: " << StateWord(state) << (s.peer.empty() ? "" : " " + s.peer) << '\n';
    if (s.levels != mShown.levels || s.outBase != mShown.outBase)
      std::cout << "levels: "
                << FormatSlots(s.levels.data(), unsigned(s.levels.size()), unsigned(s.outBase),
                               mFormat)
                << '\n';
    if (s.sent != mShown.sent || s.inBase != mShown.inBase)
      std::cout << "sent: "
                << FormatSlots(s.sent.data(), unsigned(s.sent.size()), unsigned(s.inBase), mFormat)
                << '\n';
    std::cout.flush();
    return;
  }
  // Terminal: home, clear, redraw.
  std::cout << "\x1b[H\x1b[2J"
            << "Kelmar Network   UDP port " << QCIntValue(mPlugIn.udpPort()) << "   " << s.status
            << "\n"
            << "Peer: " << StateWord(state) << (s.peer.empty() ? "" : "  " + s.peer) << "\n\n"
            << "Out" << s.outBase << "..Out" << s.outBase + int(s.levels.size()) - 1 << ":\n";
  for (std::size_t i = 0; i < s.levels.size(); ++i) {
    char cell[16];
    std::snprintf(cell, sizeof cell, "%4d:%4s", s.outBase + int(i),
                  FormatLevel(s.levels[i], mFormat).c_str());
    std::cout << cell << ((i % 8 == 7 || i + 1 == s.levels.size()) ? "\n" : "  ");
  }
  std::cout << "\nCommands: set KEY VALUE | view | save [FILE] | quit | help\n> " << std::flush;
}

void CHostView::ShowSettings() {
  auto controller = mPlugIn.createViewController();
  if (mMode == Mode::kJson) {
    nlohmann::json j{{"event", "settings"}, {"view", controller->viewNibName()}};
    for (auto const& key : QcKelmarPlugIn::plugInKeys())
      j[key] = QCIntValue(mPlugIn.valueForKey(key));
    j["udpStatus"] = std::get<std::string>(mPlugIn.udpStatus());
    PutJsonLine(std::cout, j);
    std::cout.flush();
    return;
  }
  std::cout << "-- " << controller->viewNibName() << " --\n"
            << "  UDP port       udpPort      " << QCIntValue(mPlugIn.udpPort())
            << "  (1024..65535)\n"
            << "  Input base     inBase       " << QCIntValue(mPlugIn.inBase()) << "  (1..512)\n"
            << "  Input count    inChannels   " << QCIntValue(mPlugIn.inChannels())
            << "  (1..512)\n"
            << "  Output base    outBase      " << QCIntValue(mPlugIn.outBase()) << "  (1..512)\n"
            << "  Output count   outChannels  " << QCIntValue(mPlugIn.outChannels())
            << "  (1..512)\n"
            << "  " << std::get<std::string>(mPlugIn.udpStatus()) << "\n"
            << std::flush;
}

void CHostView::Say(std::string const& text) {
  if (mMode == Mode::kQuiet) return;
  if (mMode == Mode::kJson)
    PutJsonLine(std::cout, {{"event", "message"}, {"text", text}});
  else
    std::cout << text << '\n';
  std::cout.flush();
}
