// The host's patches and OLA universes: one bridge to olad serves all of them.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "CAsyncWorld_Null.h"
#include "COlaBridge.h"

class CHostPatch;

// A patch's "olaIn" universe feeds its input ports (slot k to input channel k, for the
// channels the patch has), and its "olaOut" universe takes the levels it receives (slot k
// from channel k, up to its last output channel) while its link is up. When the link is
// lost the universe holds its last levels or goes to zero, by the loss mode. The bridge
// starts with the first patch that names a universe; until then olad is not asked for.
// Host thread only.
class CHostOla : public LHandler {
 public:
  struct SSettings {
    std::uint16_t port = COlaBridge::kDefaultPort;  // olad's RPC port
    COlaBridge::LossMode loss = COlaBridge::kHold;
  };
  using Patches = std::vector<std::unique_ptr<CHostPatch>>;

  // `patches`: the host's, which outlive this.
  CHostOla(Patches const& patches, SSettings settings);
  ~CHostOla() override;

  // `patch` runs from now on: its universes join the bridge.
  void Attach(CHostPatch& patch);
  // `patch` is about to go: its output universe is no longer refreshed (olad keeps what
  // it had), unless another patch feeds it too.
  void Detach(CHostPatch& patch);
  // After `patch` executed: its received levels to its output universe.
  void Executed(CHostPatch& patch);

  // Null until a patch names a universe.
  COlaBridge const* bridge() const { return mBridge.get(); }

  LEvent HandleEvent(LEvent const& e) override;

 private:
  void Feed(CHostPatch& patch, std::uint8_t const* levels, std::size_t count);

  Patches const& mPatches;
  SSettings mSettings;
  CAsyncWorld_Null mWorld;
  std::map<int, bool> mLinked;          // by patch number: connected at its last frame
  std::unique_ptr<COlaBridge> mBridge;  // last: its thread stops before the rest goes
};
