// Peer test kit: datagrams sealed and unsealed through the message module, a recording owner and
// a hand-driven rig.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "CKelmarNetPeer.h"
#include "CMemNet.h"
#include "CRecorder.h"
#include "CTestLoop.h"
#include "UKelmarWire.h"

namespace peerkit {

using Bytes = std::vector<std::uint8_t>;
using State = CKelmarNetPeer::State;
using Wires = std::vector<CMemNet::SWire>;
using Ticks = std::vector<LTicks>;
using P = CKelmarNetPeer;
using Bcons = std::vector<std::pair<std::uint32_t, std::uint64_t>>;

// The key of the handshake messages.
constexpr std::uint32_t kSeed = CKelmarNet::kDefaultSeed;

// The key a password names.
inline std::uint32_t Digest(std::string const& password) {
  CLongCRC crc;
  return CKelmarNet::PwDigest(reinterpret_cast<unsigned char const*>(password.c_str()), crc);
}

// Seals or unseals a datagram as its type travels: the range and the key (`key` for the types
// keyed by a digest) come from the message module. Any length and type, malformed ones too.
inline Bytes Code(Bytes p, std::uint32_t key, bool seal) {
  if (p.empty()) return p;
  SKelmarNetPak pak{};
  const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(p.size(), sizeof pak));
  std::memcpy(&pak, p.data(), n);
  CLongCRC crc(UKelmarWire::keyFor(pak.type, key));
  const std::uint32_t len = UKelmarWire::scrambledLength(pak.type, n);
  if (seal)
    CKelmarNet::Encode(&pak, len, crc);
  else
    CKelmarNet::Decode(&pak, len, crc);
  std::memcpy(p.data(), &pak, n);
  return p;
}
inline Bytes Seal(Bytes const& plain, std::uint32_t key) {
  return Code(plain, key, true);
}
inline Bytes Unseal(Bytes const& wire, std::uint32_t key) {
  return Code(wire, key, false);
}
// A datagram as sent, unsealed, with its random byte 1 cleared for comparing.
inline Bytes Plain(CMemNet::SWire const& w, std::uint32_t key) {
  Bytes p = Unseal(w.bytes, key);
  if (p.size() > 1) p[1] = 0;
  return p;
}

// A connection request before sealing: nonce 0, link id, the sender's own digest, the
// password it holds for the receiver, `pad` zero bytes.
inline Bytes Request(std::uint8_t link, std::uint32_t ownDigest, std::string const& password,
                     std::size_t pad = 1) {
  Bytes b{UKelmarWire::pakConnect, 0, link};
  for (int shift = 24; shift >= 0; shift -= 8)
    b.push_back(static_cast<std::uint8_t>(ownDigest >> shift));
  b.insert(b.end(), password.begin(), password.end());
  b.insert(b.end(), pad, 0);
  return b;
}

// A turn of `size` bytes: start code 0, then slots that follow from `seed`.
struct CTestTurn : CDmxTurn {
  CTestTurn(std::uint32_t size, std::uint8_t seed) {
    SetSize(size);
    for (std::uint32_t i = 1; i < size; ++i) data()[i] = static_cast<std::uint8_t>(seed + i * 7);
  }
  Bytes bytes() const { return Bytes(data(), data() + size()); }
};

// A compressed turn message, random byte 0.
inline Bytes TurnMessage(std::uint8_t link, CDmxTurn const& t) {
  SKelmarNetPak pak{};
  const std::uint32_t len =
      UKelmarWire::BuildTurn(pak, {0, link}, t.data(), static_cast<std::uint16_t>(t.size()));
  auto const* b = reinterpret_cast<std::uint8_t const*>(&pak);
  return Bytes(b, b + len);
}
inline LString Str(std::string const& s) {
  return LString(reinterpret_cast<unsigned char const*>(s.data()),
                 static_cast<std::uint32_t>(s.size()));
}

inline Bytes Types(Wires const& ws) {
  Bytes out;
  for (auto const& w : ws) out.push_back(w.bytes.empty() ? 0 : w.bytes[0]);
  return out;
}
inline Ticks Times(Wires const& ws) {
  Ticks out;
  for (auto const& w : ws) out.push_back(w.at);
  return out;
}

// Records its peer's events and states, keeps the turns and beacons it is handed, and accepts
// each request unless onConn answers it instead.
class COwner : public CRecorder {
 public:
  CKelmarNetPeer* peer = nullptr;
  std::vector<Bytes> turns;
  std::vector<State> states;
  Bcons bcons;
  std::function<void()> onRecv;  // runs while "CKelmarNetPeer_Recv" is handled
  std::function<void()> onConn;

  LEvent HandleEvent(LEvent const& e) override {
    if (peer && e.mSource == peer) {
      if (e.is(P::rStat)) states.push_back(peer->state());
      if (e.is(P::rBcon)) {
        auto& got = bcons.emplace_back();
        peer->GetBconRcv(got.first, got.second);
      }
      if (e.is(P::rConn)) onConn ? onConn() : peer->Accept(true);
      if (e.is(P::rRecv)) {
        turns.emplace_back(peer->recvTurn(), peer->recvTurn() + peer->recvSize());
        if (onRecv) onRecv();
      }
    }
    return CRecorder::HandleEvent(e);
  }
};

// One peer at kPeer with its own password, and bare ports A and B (own passwords "apw" and
// "bpw") that send datagrams built by hand.
class PeerRig : public ::testing::Test {
 protected:
  static inline const CUDPAddr kPeer{CMemNet::Host(20), 51209};
  static inline const CUDPAddr kA{CMemNet::Host(30), 6000};
  static inline const CUDPAddr kB{CMemNet::Host(40), 7000};

  explicit PeerRig(std::string const& own) : kOwnKey(Digest(own)) {
    net.SetNextHost(kPeer.host);
    peer = std::make_unique<CKelmarNetPeer>(&owner, loop.world());
    owner.peer = peer.get();
    peer->SetPassword(Str(own));
    EXPECT_TRUE(peer->Open(kPeer.port));
    a = Party(kA);
    b = Party(kB);
  }

  std::unique_ptr<CUDPPort> Party(CUDPAddr const& addr) {
    net.SetNextHost(addr.host);
    std::unique_ptr<CUDPPort> port(CUDPPortIF::NewPort(&parties, loop.world()));
    port->Open(addr.port, 0, 1024);
    return port;
  }
  // Sends `bytes` from `end`, sealed as the peer expects unless `raw`, even while the net holds
  // the peer's sends; runs until idle.
  void From(CUDPPort& end, Bytes const& bytes, bool raw = false) {
    const Bytes wire = raw ? bytes : Seal(bytes, kOwnKey);
    const bool hold = std::exchange(net.mHoldSends, false);
    end.Send(kPeer, wire.data(), static_cast<unsigned>(wire.size()));
    net.mHoldSends = hold;
    loop.RunUntilIdle();
  }
  // The datagrams sent from `from` (of `type`, if not -1), from log position `since` on.
  Wires Sent(int type = -1, std::size_t since = 0, CUDPAddr const& from = kPeer) const {
    Wires out;
    for (std::size_t i = since; i < net.mLog.size(); ++i) {
      CMemNet::SWire const& w = net.mLog[i];
      if (w.from == from && (type < 0 || w.bytes.at(0) == type)) out.push_back(w);
    }
    return out;
  }
  // The state is `before` until `due` and `after` from then on.
  void ExpectStateChange(LTicks due, State before, State after) {
    loop.Advance(due - 1 - loop.now());
    EXPECT_EQ(peer->state(), before);
    loop.Advance(1);
    EXPECT_EQ(peer->state(), after);
  }

  const std::uint32_t kOwnKey;
  const std::uint32_t kAKey = Digest("apw");
  const std::uint32_t kBKey = Digest("bpw");
  CTestLoop loop;
  CMemNet net{loop.world()};
  COwner owner;
  std::unique_ptr<CKelmarNetPeer> peer;
  CRecorder parties;
  std::unique_ptr<CUDPPort> a, b;
};

}  // namespace peerkit
