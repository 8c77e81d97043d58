// A connected peer under hostile traffic: malformed datagrams of every type and odd length.
#include "CKelmarNetPeer.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "PeerTestKit.h"

namespace {

using namespace peerkit;

class PeerAbuse : public PeerRig {
 protected:
  PeerAbuse() : PeerRig("") { peer->SetListen(true); }
};

TEST_F(PeerAbuse, MalformedDatagramsOfEveryTypeAndOddLengthChangeNothing) {
  From(*a, Request(0x21, kAKey, ""));
  ASSERT_EQ(peer->state(), P::stConnected);
  const LTicks acceptedAt = loop.now();
  const std::size_t events = owner.mSeen.size();
  CMemPort* port = net.Find(kPeer);
  Bytes d(769);
  for (unsigned type = 0; type < 256; ++type) {
    for (std::uint32_t len : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 767, 768, 769}) {
      for (std::uint8_t fill : {0x00, 0xFF}) {
        std::fill(d.begin(), d.end(), fill);
        if (len) d[0] = static_cast<std::uint8_t>(type);
        port->Inject(kA, d.data(), len);
      }
    }
  }
  loop.RunUntilIdle();
  EXPECT_EQ(peer->peerAddr(), kA);
  EXPECT_EQ(owner.mSeen.size(), events) << "no turn, beacon, request or state change";
  ExpectStateChange(acceptedAt + 5000, P::stConnected, P::stIdle);  // nor a restarted link timer
}

}  // namespace
