// One DMX512 frame: a start code and up to 512 slots.
#pragma once

#include <cstdint>

#include "CCB.h"
#include "LSLink.h"

class CDmxIPin;

// A turn is free, or held by the input pin it was passed to until the consumer calls
// Done or the producer calls Cancel. Byte 0 is the start code, byte k is slot k.
class CDmxTurn : public SSLink {
 public:
  static constexpr std::uint32_t kMaxSize = 513;
  using DoneCB = CCB<void (*)(void*, CDmxTurn*)>;

  // Size 1, start code 0; the slots stay undefined until SetSize grows the turn.
  explicit CDmxTurn(DoneCB const& done = {});
  ~CDmxTurn() override = default;

  // Copies the size and all 513 bytes; this turn's link, pin and callback stay.
  CDmxTurn& operator=(CDmxTurn const& other);
  // Equal sizes and equal bytes up to the size.
  bool operator==(CDmxTurn const& other) const;

  // Clamps to 1..513; growing zero-fills the new bytes. Returns the size in force.
  std::uint32_t SetSize(std::uint32_t size);
  std::uint32_t size() const { return mSize; }
  std::uint8_t* data() { return mData; }
  std::uint8_t const* data() const { return mData; }
  CDmxIPin* pin() const { return mPin; }

  // The consumer is finished: the turn is free again, then the owner hears of it.
  void Done();
  // The producer withdraws a passed turn; the holding pin's owner hears of it.
  void Cancel();

 private:
  friend class CDmxIPin;
  CDmxIPin* mPin = nullptr;
  DoneCB mDone;
  std::uint32_t mSize = 1;
  std::uint8_t mData[kMaxSize];
};
