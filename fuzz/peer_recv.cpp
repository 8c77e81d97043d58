// Fuzz target: any datagram, from the partner or anyone else, reaching a peer in any
// state never touches memory out of bounds, and a received turn never exceeds 513 bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "CKelmarNetPeer.h"
#include "CMemNet.h"
#include "CRecorder.h"
#include "CTestLoop.h"
#include "UKelmarWire.h"

namespace {

// An owner that accepts at once and checks every received turn.
class COwner : public CRecorder {
 public:
  CKelmarNetPeer* peer = nullptr;
  LEvent HandleEvent(LEvent const& e) override {
    if (peer && e.is(CKelmarNetPeer::rConn)) peer->Accept(true);
    if (peer && e.is(CKelmarNetPeer::rRecv) && peer->recvSize() > CKelmarNet::kMaxTurnSize)
      __builtin_trap();
    return LEvent();
  }
};

const std::uint64_t kListener = CMemNet::Host(20);
constexpr std::int32_t kPort = 51209;

}  // namespace

// Input: byte 0 picks the scene, byte 1 the source and whether the datagram is
// scrambled under the key the target expects; the rest is the datagram (cut to 800).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t scene = data[0] % 4, source = data[1] % 4;
  const bool scramble = data[1] & 0x80;
  std::vector<uint8_t> dgram(data + 2, data + std::min<size_t>(size, 802));

  CTestLoop loop;
  CMemNet net(loop.world());
  COwner rOwner, lOwner;
  net.SetNextHost(CMemNet::Host(10));
  CKelmarNetPeer requester(&rOwner, loop.world());
  net.SetNextHost(kListener);
  CKelmarNetPeer listener(&lOwner, loop.world());
  rOwner.peer = &requester;
  lOwner.peer = &listener;
  listener.SetListen(true);
  requester.Open(40000);
  listener.Open(kPort);

  // Scenes: 0 listener idle; 1 requester connecting to nobody; 2 connected (target the
  // listener); 3 connected (target the requester).
  if (scene == 1) requester.Connect({CMemNet::Host(99), kPort}, LString());
  if (scene >= 2) {
    requester.Connect({kListener, kPort}, LString());
    loop.Advance(5);
  }
  CKelmarNetPeer& target = scene == 1 || scene == 3 ? requester : listener;
  const bool toListener = &target == &listener;
  CUDPAddr const self =
      toListener ? CUDPAddr{kListener, kPort} : CUDPAddr{CMemNet::Host(10), 40000};
  CUDPAddr const partner =
      toListener ? CUDPAddr{CMemNet::Host(10), 40000} : CUDPAddr{kListener, kPort};

  // Sources: the partner, a third party, our own port on loopback, our own address.
  CUDPAddr const sources[] = {partner, {CMemNet::Host(30), 5000}, {0x7F000001, self.port}, self};
  if (scramble && dgram.size() >= 2) {
    SKelmarNetPak pak{};
    const auto len = static_cast<uint32_t>(std::min(dgram.size(), sizeof pak));
    std::memcpy(&pak, dgram.data(), len);
    CLongCRC crc;
    UKelmarWire::Seal(pak, len, target.CalcPwDigest(nullptr), crc);
    std::memcpy(dgram.data(), &pak, len);
  }
  // Straight into the target's inbox, as if it came from the chosen source.
  net.Find(self)->Arrive(sources[source], dgram, loop.now());
  loop.Advance(1);
  if (target.recvSize() > CKelmarNet::kMaxTurnSize) __builtin_trap();
  loop.Advance(6000);  // every timer the datagram may have started runs out
  return 0;
}
