// The DMX frame record.
#include "CDmxTurn.h"

#include <algorithm>
#include <cstring>

#include "CDmxPin.h"

CDmxTurn::CDmxTurn(DoneCB const& done) : mDone(done) {
  mData[0] = 0;
}

CDmxTurn& CDmxTurn::operator=(CDmxTurn const& other) {
  if (this != &other) {
    mSize = other.mSize;
    std::memcpy(mData, other.mData, kMaxSize);
  }
  return *this;
}

bool CDmxTurn::operator==(CDmxTurn const& other) const {
  return mSize == other.mSize && std::memcmp(mData, other.mData, mSize) == 0;
}

std::uint32_t CDmxTurn::SetSize(std::uint32_t size) {
  size = std::clamp<std::uint32_t>(size, 1, kMaxSize);
  if (size > mSize) std::memset(mData + mSize, 0, size - mSize);
  mSize = size;
  return mSize;
}

void CDmxTurn::Done() {
  mPin = nullptr;
  if (mDone.function) mDone.function(mDone.context, this);
}

void CDmxTurn::Cancel() {
  if (CDmxIPin* pin = mPin) {
    mPin = nullptr;
    pin->Cancel(this);
  }
}
