// The port factory, with the seam through which tests supply in-memory ports.
#include "CSocketUDPPort.h"

namespace {
CUDPPortIF::Factory gFactory = nullptr;
}

CUDPPort* CUDPPortIF::NewPort(LHandler* owner, LAsyncWorld& world) {
  if (gFactory) return gFactory(owner, world);
  return new CSocketUDPPort(owner, world);
}

void CUDPPortIF::SetFactory(Factory factory) {
  gFactory = factory;
}
