// Peer test kit: an independent model of the wire, a recording owner and a hand-driven endpoint.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CDmxTurn.h"
#include "CKelmarNet.h"
#include "CKelmarNetPeer.h"
#include "CMemNet.h"
#include "CRecorder.h"
#include "LString.h"

namespace peerkit {

using Bytes = std::vector<std::uint8_t>;

// ---- the wire, worked out here without the peer's own helpers ----------------------

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
  for (char c : password) {
    if (c == 0) break;
    r = CrcStep(r, static_cast<std::uint8_t>(c));
  }
  return ~r;
}

inline std::uint8_t KeyByte(std::uint32_t r) {
  return static_cast<std::uint8_t>(r ^ (r >> 8));
}

// Bytes 1 to count-1 scrambled under key; the register runs over the plain bytes.
inline Bytes Scramble(Bytes p, std::uint32_t key, std::size_t count) {
  std::uint32_t r = key;
  for (std::size_t i = 1; i < count && i < p.size(); ++i) {
    const std::uint8_t plain = p[i];
    p[i] = plain ^ KeyByte(r);
    r = CrcStep(r, plain);
  }
  return p;
}

inline Bytes Descramble(Bytes p, std::uint32_t key, std::size_t count) {
  std::uint32_t r = key;
  for (std::size_t i = 1; i < count && i < p.size(); ++i) {
    p[i] ^= KeyByte(r);
    r = CrcStep(r, p[i]);
  }
  return p;
}

// A compressed turn scrambles its 3-byte header only; everything else is scrambled whole.
inline std::size_t ScrambledLength(Bytes const& p) {
  return (!p.empty() && p[0] == 12) ? 3 : p.size();
}
inline Bytes Seal(Bytes const& plain, std::uint32_t key) {
  return Scramble(plain, key, ScrambledLength(plain));
}
inline Bytes Unseal(Bytes const& wire, std::uint32_t key) {
  return Descramble(wire, key, ScrambledLength(wire));
}

inline std::uint32_t BE32(Bytes const& b, std::size_t at) {
  return std::uint32_t{b[at]} << 24 | std::uint32_t{b[at + 1]} << 16 |
         std::uint32_t{b[at + 2]} << 8 | b[at + 3];
}

inline void PutBE32(Bytes& b, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<std::uint8_t>(v >> shift));
}

// A connection request before scrambling: nonce, link id, the sender's own digest, the
// password it holds for the receiver, `pad` zero bytes.
inline Bytes Request(std::uint8_t link, std::uint32_t ownDigest, std::string const& password,
                     std::size_t pad = 1) {
  Bytes b{4, 0x5C, link};
  PutBE32(b, ownDigest);
  b.insert(b.end(), password.begin(), password.end());
  b.insert(b.end(), pad, 0);
  return b;
}

inline Bytes Beacon(std::uint8_t link, std::uint32_t first, std::uint32_t second) {
  Bytes b{1, 0x3C, link};
  PutBE32(b, first);
  PutBE32(b, second);
  return b;
}

inline Bytes Content(CDmxTurn const& t) {
  return Bytes(t.data(), t.data() + t.size());
}

// A compressed turn message: the payload comes from the codec and is not scrambled.
inline Bytes TurnMessage(std::uint8_t link, CDmxTurn const& t) {
  Bytes b{12, 0x6B, link};
  b.resize(3 + 2 * CDmxTurn::kMaxSize);
  const std::uint32_t n =
      CKelmarNet::EncodeData(b.data() + 3, t.data(), static_cast<std::uint16_t>(t.size()));
  b.resize(3 + n);
  return b;
}

// The turn a compressed turn message carries.
inline Bytes TurnPayload(Bytes const& message) {
  unsigned char out[CKelmarNet::kTurnBufSize] = {};
  const std::uint32_t n = CKelmarNet::DecodeData(
      message.data() + 3, static_cast<std::uint32_t>(message.size() - 3), out);
  return Bytes(out + 1, out + 1 + n);
}

// A turn of `size` bytes: start code 0, then slots that follow from `seed`.
struct CTestTurn : CDmxTurn {
  CTestTurn(std::uint32_t size, std::uint8_t seed) {
    SetSize(size);
    for (std::uint32_t i = 1; i < size; ++i) data()[i] = static_cast<std::uint8_t>(seed + i * 7);
  }
};

inline LString Str(std::string const& s) {
  return LString(reinterpret_cast<unsigned char const*>(s.data()),
                 static_cast<std::uint32_t>(s.size()));
}

// ---- what crossed the net -------------------------------------------------------------

// The datagrams sent from `from` (of `type`, if not -1), from log position `since` on.
inline std::vector<CMemNet::SWire> Datagrams(CMemNet const& net, CUDPAddr const& from,
                                             int type = -1, std::size_t since = 0) {
  std::vector<CMemNet::SWire> out;
  for (std::size_t i = since; i < net.mLog.size(); ++i) {
    CMemNet::SWire const& w = net.mLog[i];
    if (w.from == from && (type < 0 || (!w.bytes.empty() && w.bytes[0] == type))) out.push_back(w);
  }
  return out;
}

inline Bytes Types(std::vector<CMemNet::SWire> const& ws) {
  Bytes out;
  for (auto const& w : ws) out.push_back(w.bytes.empty() ? 0 : w.bytes[0]);
  return out;
}

inline std::vector<LTicks> Times(std::vector<CMemNet::SWire> const& ws) {
  std::vector<LTicks> out;
  for (auto const& w : ws) out.push_back(w.at);
  return out;
}

// ---- the two ends a test drives -------------------------------------------------------

// An owner that records its peer's events, answers requests as told and keeps every
// turn it was handed and every state it was told of.
class COwner : public CRecorder {
 public:
  enum Answer { kAccept, kDeny, kNoAnswer };

  CKelmarNetPeer* peer = nullptr;
  Answer answer = kAccept;
  std::vector<Bytes> turns;
  std::vector<CKelmarNetPeer::State> states;
  std::function<void()> onRecv;  // runs while "CKelmarNetPeer_Recv" is handled
  std::function<void()> onConn;  // replaces the answer when set

  LEvent HandleEvent(LEvent const& e) override {
    if (peer && e.mSource == peer) {
      if (e.is(CKelmarNetPeer::rStat)) states.push_back(peer->state());
      if (e.is(CKelmarNetPeer::rConn)) {
        if (onConn)
          onConn();
        else if (answer != kNoAnswer)
          peer->Accept(answer == kAccept);
      }
      if (e.is(CKelmarNetPeer::rRecv)) {
        turns.emplace_back(peer->recvTurn(), peer->recvTurn() + peer->recvSize());
        if (onRecv) onRecv();
      }
    }
    return CRecorder::HandleEvent(e);
  }
};

// A bare port at an address of the test's choice that sends datagrams built by hand.
class CFakeEnd {
 public:
  CFakeEnd(CMemNet& net, LAsyncWorld& world, CUDPAddr const& addr) : mNet(net), mAddr(addr) {
    net.SetNextHost(addr.host);
    mPort.reset(CUDPPortIF::NewPort(&mOwner, world));
    mOpen = mPort && mPort->Open(addr.port, 0, 1024) == 0;
  }

  bool open() const { return mOpen; }
  CUDPAddr const& addr() const { return mAddr; }

  // Sends bytes as they are, even while the net holds other ports' sends.
  void SendRaw(CUDPAddr const& to, Bytes const& bytes) {
    const bool hold = mNet.mHoldSends;
    mNet.mHoldSends = false;
    mPort->Send(to, bytes.data(), static_cast<unsigned>(bytes.size()));
    mNet.mHoldSends = hold;
  }
  void Send(CUDPAddr const& to, Bytes const& plain, std::uint32_t key) {
    SendRaw(to, Seal(plain, key));
  }

 private:
  CMemNet& mNet;
  CUDPAddr mAddr;
  CRecorder mOwner;
  std::unique_ptr<CUDPPort> mPort;
  bool mOpen = false;
};

}  // namespace peerkit
