// The UDP transport seen by its owner: addresses, the abstract port and its factory.
#pragma once

#include <cstdint>
#include <string>

#include "LAsyncWorld.h"
#include "LHandler.h"

// An IPv4 address and port, both in host byte order (the first octet of the dotted
// form is the most significant byte of the low 32 bits).
struct CUDPAddr {
  std::uint64_t host = 0;
  std::int32_t port = 0;

  bool operator==(CUDPAddr const&) const = default;
};

// "192.0.2.1:51209".
inline std::string AddrText(CUDPAddr const& addr) {
  const auto h = static_cast<std::uint32_t>(addr.host);
  return std::to_string(h >> 24) + '.' + std::to_string((h >> 16) & 0xFF) + '.' +
         std::to_string((h >> 8) & 0xFF) + '.' + std::to_string(h & 0xFF) + ':' +
         std::to_string(addr.port);
}

// A datagram port that never blocks its owner: Send and Read start an operation on
// bytes the owner lends, and "CUDPPort_Sent" / "CUDPPort_Read" tell it they are done.
// One datagram is in flight in each direction; a new Send or Read replaces the
// pending one. World thread only.
class CUDPPort : public LHandler {
 public:
  static constexpr LCStr rRead{"CUDPPort_Read"};
  static constexpr LCStr rSent{"CUDPPort_Sent"};

  explicit CUDPPort(LHandler* owner) : LHandler(owner) {}

  virtual bool valid() const = 0;              // the socket is open
  virtual std::uint32_t port() const = 0;      // bound port, while valid
  virtual std::uint32_t readsize() const = 0;  // bytes of the last completed read
  virtual bool cansend() const = 0;            // open, no datagram pending
  virtual bool canread() const = 0;            // open, no read pending
  virtual CUDPAddr readaddr() const = 0;       // sender of the last completed read
  // 0: open (also when it was already); 1: the socket could not be made or bound;
  // 2: the address is in use or not available. `options` is ignored.
  virtual int Open(int port, unsigned int options, unsigned int sendBuffer) = 0;
  virtual void Close() = 0;
  // The bytes must stay valid and unchanged until the datagram has left.
  virtual void Send(CUDPAddr const& to, void const* data, unsigned int len) = 0;
  // The buffer must stay valid until "CUDPPort_Read".
  virtual void Read(void* buffer, unsigned int capacity) = 0;
};

// Makes the ports of the system.
class CUDPPortIF {
 public:
  using Factory = CUDPPort* (*)(LHandler* owner, LAsyncWorld& world);

  // A new socket port (or what the test factory makes), owned by the caller.
  static CUDPPort* NewPort(LHandler* owner, LAsyncWorld& world);
  // Tests make NewPort return in-memory ports; null restores the socket port.
  static void SetFactory(Factory factory);
};
