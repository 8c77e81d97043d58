// Peer test kit: an independent model of the wire, a recording owner and a hand-driven rig.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "CKelmarNetPeer.h"
#include "CMemNet.h"
#include "CRecorder.h"
#include "CTestLoop.h"

namespace peerkit {

using Bytes = std::vector<std::uint8_t>;
using State = CKelmarNetPeer::State;
using Wires = std::vector<CMemNet::SWire>;
using Ticks = std::vector<LTicks>;
using P = CKelmarNetPeer;
using Bcons = std::vector<std::pair<std::uint32_t, std::uint64_t>>;

// The key of the handshake messages: "QBFW", first character in the lowest byte.
constexpr std::uint32_t kSeed = std::uint32_t{'Q'} | std::uint32_t{'B'} << 8 |
                                std::uint32_t{'F'} << 16 | std::uint32_t{'W'} << 24;

// One CRC-32 step, bit by bit.
inline std::uint32_t CrcStep(std::uint32_t r, std::uint8_t b) {
  r ^= b;
  for (int bit = 0; bit < 8; ++bit) r = (r & 1) ? (r >> 1) ^ 0xEDB88320u : r >> 1;
  return r;
}

// The key a password names: its CRC-32 started from the seed, complemented.
inline std::uint32_t Digest(std::string const& password) {
  std::uint32_t r = kSeed;
  for (char c : password) r = CrcStep(r, static_cast<std::uint8_t>(c));
  return ~r;
}

// Seals or unseals bytes 1 on (of a compressed turn only its 3-byte header): each is XORed with
// the register's two low bytes, which then runs over the plain byte.
inline Bytes Code(Bytes p, std::uint32_t key, bool seal) {
  const std::size_t count = p.size() > 3 && p[0] == 12 ? 3 : p.size();
  std::uint32_t r = key;
  for (std::size_t i = 1; i < count; ++i) {
    const auto k = static_cast<std::uint8_t>(r ^ (r >> 8));
    p[i] ^= k;
    r = CrcStep(r, seal ? p[i] ^ k : p[i]);
  }
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
  Bytes b{4, 0, link};
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

// A compressed turn message, random byte 0; the codec's payload is not sealed.
inline Bytes TurnMessage(std::uint8_t link, CDmxTurn const& t) {
  Bytes b(3 + 2 * CDmxTurn::kMaxSize);
  b[0] = 12, b[2] = link;
  b.resize(3 +
           CKelmarNet::EncodeData(b.data() + 3, t.data(), static_cast<std::uint16_t>(t.size())));
  return b;
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
    const Bytes wire = raw ? bytes : Seal(bytes, bytes[0] <= 2 ? kSeed : kOwnKey);
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
