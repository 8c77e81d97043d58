// The host's terminal, line and JSON views.
#include "CHostView.h"

#include <algorithm>

#include <cmath>
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>

#include "CHost.h"
#include "CJsonLine.h"
#include "CKelmarNetIO.h"
#include "CPeerText.h"
#include "QcKelmarPlugIn.h"

CHostView::CHostView(Mode mode, LevelFormat format, bool showSent)
    : mMode(mode), mFormat(format), mShowSent(showSent) {}

CHostView::~CHostView() {
  for (auto const& p : mPatches) p->patch->plugIn().removeObserver(p->observer);
}

void CHostView::Add(CHostPatch& patch) {
  auto p = std::make_unique<SPatch>();
  p->patch = &patch;
  SPatch* raw = p.get();
  p->observer = patch.plugIn().addObserverForKey(QcKelmarPlugIn::kUdpStatus,
                                                 [raw] { raw->statusAnnounced = true; });
  mPatches.push_back(std::move(p));
  mRedraw = true;
}

void CHostView::Remove(int number) {
  auto it = std::find_if(mPatches.begin(), mPatches.end(),
                         [number](auto const& p) { return p->patch->number() == number; });
  if (it == mPatches.end()) return;
  (*it)->patch->plugIn().removeObserver((*it)->observer);
  mPatches.erase(it);
  mRedraw = true;
}

// "OLA in 1, out 2", "OLA out 2", or nothing for a patch not bridged to OLA.
static std::string OlaText(CHostPatch const& patch) {
  std::string text;
  if (patch.olaIn()) text = "in " + std::to_string(*patch.olaIn());
  if (patch.olaOut()) text += (text.empty() ? "out " : ", out ") + std::to_string(*patch.olaOut());
  return text.empty() ? text : "OLA " + text;
}

// The patch's OLA universes as "olaIn" and "olaOut", where it has them.
static void PutOla(nlohmann::json& j, CHostPatch const& patch) {
  if (patch.olaIn()) j["olaIn"] = *patch.olaIn();
  if (patch.olaOut()) j["olaOut"] = *patch.olaOut();
}

CHostView::SPatch* CHostView::Find(int number) {
  for (auto const& p : mPatches)
    if (p->patch->number() == number) return p.get();
  return nullptr;
}

CHostView::SSnapshot CHostView::Take(QcKelmarPlugIn& plugIn) const {
  SSnapshot s;
  s.status = std::get<std::string>(plugIn.udpStatus());
  CKelmarNetPeer const& peer = plugIn.io()->peer();
  s.state = static_cast<int>(peer.state());
  if (peer.state() == CKelmarNetPeer::stConnected) s.peer = AddrText(peer.peerAddr());
  auto const& outs = plugIn.outputPorts();
  s.outBase = QCIntValue(plugIn.outBase());
  for (auto const& p : outs)
    s.levels.push_back(static_cast<std::uint8_t>(std::lround(QCDoubleValue(p.value) * 255.0)));
  if (mShowSent) {
    // The slots of the turn handed over this frame that the input ports fill; ports past
    // slot 512 fill none.
    CDmxTurn const& turn = plugIn.io()->txTurn();
    s.inBase = QCIntValue(plugIn.inBase());
    const int end = std::min(s.inBase + QCIntValue(plugIn.inChannels()), int(turn.size()));
    s.sent.assign(turn.data() + s.inBase, turn.data() + std::max(end, s.inBase));
  }
  return s;
}

void CHostView::Update(double now) {
  if (mMode == Mode::kQuiet) return;
  if (mMode == Mode::kTerminal) {
    // One screen for every patch: redrawn when any of them changed.
    bool changed = mRedraw;
    for (auto const& p : mPatches)
      changed = changed || p->statusAnnounced || Take(p->patch->plugIn()) != p->shown;
    if (!changed || now - mLastDraw < 0.1) return;
    mLastDraw = now;
    mRedraw = false;
    for (auto const& p : mPatches) {
      p->statusAnnounced = false;
      p->shown = Take(p->patch->plugIn());
    }
    DrawTerminal();
    return;
  }
  for (auto const& p : mPatches) {
    if (p->statusAnnounced) {
      p->statusAnnounced = false;
      p->shown.status.clear();  // the socket was reopened: say how it went, even if unchanged
    }
    SSnapshot s = Take(p->patch->plugIn());
    if (s == p->shown) continue;
    Draw(*p, s);
    p->shown = std::move(s);
  }
}

void CHostView::Draw(SPatch const& p, SSnapshot const& s) {
  SSnapshot const& was = p.shown;
  auto const state = static_cast<CKelmarNetPeer::State>(s.state);
  if (mMode == Mode::kJson) {
    auto const put = [&](nlohmann::json j) {
      j["patch"] = p.patch->number();
      PutJsonLine(std::cout, j);
    };
    if (s.status != was.status) put({{"event", "status"}, {"text", s.status}});
    if (s.state != was.state || s.peer != was.peer)
      put({{"event", "peer"}, {"state", StateWord(state)}, {"address", s.peer}});
    if (s.levels != was.levels || s.outBase != was.outBase)
      put({{"event", "levels"}, {"first", s.outBase}, {"levels", s.levels}});
    if (s.sent != was.sent || s.inBase != was.inBase)
      put({{"event", "sent"}, {"first", s.inBase}, {"levels", s.sent}});
    std::cout.flush();
    return;
  }
  std::string const label = "[" + std::to_string(p.patch->number()) + "] ";
  if (s.status != was.status) std::cout << label << "status: " << s.status << '\n';
  if (s.state != was.state || s.peer != was.peer)
    std::cout << label << "peer: " << StateWord(state) << (s.peer.empty() ? "" : " " + s.peer)
              << '\n';
  if (s.levels != was.levels || s.outBase != was.outBase)
    std::cout << label << "levels: "
              << FormatSlots(s.levels.data(), unsigned(s.levels.size()), unsigned(s.outBase),
                             mFormat)
              << '\n';
  if (s.sent != was.sent || s.inBase != was.inBase)
    std::cout << label << "sent: "
              << FormatSlots(s.sent.data(), unsigned(s.sent.size()), unsigned(s.inBase), mFormat)
              << '\n';
  std::cout.flush();
}

void CHostView::DrawTerminal() {
  // Home, clear, redraw: each patch under its number.
  std::cout << "\x1b[H\x1b[2J";
  for (auto const& p : mPatches) {
    SSnapshot const& s = p->shown;
    auto const state = static_cast<CKelmarNetPeer::State>(s.state);
    std::string const ola = OlaText(*p->patch);
    std::cout << "Patch " << p->patch->number() << "  Kelmar Network   UDP port "
              << QCIntValue(p->patch->plugIn().udpPort()) << (ola.empty() ? "" : "   " + ola)
              << "   " << s.status << "\n"
              << "Peer: " << StateWord(state) << (s.peer.empty() ? "" : "  " + s.peer) << "\n"
              << "Out" << s.outBase << "..Out" << s.outBase + int(s.levels.size()) - 1 << ":\n";
    for (std::size_t i = 0; i < s.levels.size(); ++i) {
      char cell[16];
      std::snprintf(cell, sizeof cell, "%4d:%4s", s.outBase + int(i),
                    FormatLevel(s.levels[i], mFormat).c_str());
      std::cout << cell << ((i % 8 == 7 || i + 1 == s.levels.size()) ? "\n" : "  ");
    }
    std::cout << "\n";
  }
  std::cout << "Commands: set [N] KEY VALUE | in [N] K LEVEL | view [N] | add [PORT] | remove N |\n"
               "          save [FILE] | quit | help     (N: patch number, default the first)\n> "
            << std::flush;
}

void CHostView::ShowSettings(int number) {
  SPatch* p = Find(number);
  if (!p) return;
  QcKelmarPlugIn& plugIn = p->patch->plugIn();
  auto controller = plugIn.createViewController();
  if (mMode == Mode::kJson) {
    nlohmann::json j{{"event", "settings"}, {"view", controller->viewNibName()}, {"patch", number}};
    for (auto const& key : QcKelmarPlugIn::plugInKeys())
      j[key] = QCIntValue(plugIn.valueForKey(key));
    PutOla(j, *p->patch);
    j["udpStatus"] = std::get<std::string>(plugIn.udpStatus());
    PutJsonLine(std::cout, j);
    std::cout.flush();
    return;
  }
  std::cout << "-- " << controller->viewNibName() << " (patch " << number << ") --\n"
            << "  UDP port       udpPort      " << QCIntValue(plugIn.udpPort())
            << "  (1024..65535)\n"
            << "  Input base     inBase       " << QCIntValue(plugIn.inBase()) << "  (1..512)\n"
            << "  Input count    inChannels   " << QCIntValue(plugIn.inChannels()) << "  (1..512)\n"
            << "  Output base    outBase      " << QCIntValue(plugIn.outBase()) << "  (1..512)\n"
            << "  Output count   outChannels  " << QCIntValue(plugIn.outChannels())
            << "  (1..512)\n";
  if (std::string const ola = OlaText(*p->patch); !ola.empty()) std::cout << "  " << ola << "\n";
  std::cout << "  " << std::get<std::string>(plugIn.udpStatus()) << "\n" << std::flush;
}

void CHostView::ShowPatches() {
  if (mMode == Mode::kQuiet) return;
  if (mMode == Mode::kJson) {
    nlohmann::json list = nlohmann::json::array();
    for (auto const& p : mPatches) {
      nlohmann::json entry{{"patch", p->patch->number()},
                           {"udpPort", QCIntValue(p->patch->plugIn().udpPort())}};
      PutOla(entry, *p->patch);
      list.push_back(entry);
    }
    PutJsonLine(std::cout, {{"event", "patches"}, {"patches", list}});
    std::cout.flush();
    return;
  }
  if (mMode == Mode::kTerminal) return;  // the next redraw shows them
  std::cout << "patches:";
  for (auto const& p : mPatches) {
    std::string const ola = OlaText(*p->patch);
    std::cout << " " << p->patch->number() << " (UDP port "
              << QCIntValue(p->patch->plugIn().udpPort()) << (ola.empty() ? "" : ", " + ola) << ")";
  }
  std::cout << '\n' << std::flush;
}

void CHostView::Say(std::string const& text) {
  if (mMode == Mode::kQuiet) return;
  if (mMode == Mode::kJson)
    PutJsonLine(std::cout, {{"event", "message"}, {"text", text}});
  else
    std::cout << text << '\n';
  std::cout.flush();
}
