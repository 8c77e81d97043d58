// Handles, shared string data and the shared empty string.
#include "LString.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "UString.h"

LHandleBase::LHandleBase(LHandleData* data) : mData(data) {
  if (mData) mData->AddCount(1);
}

LHandleBase::LHandleBase(const LHandleBase& other) : LHandleBase(other.mData) {}

LHandleBase& LHandleBase::operator=(const LHandleBase& other) {
  SetData(other.mData);
  return *this;
}

LHandleBase::~LHandleBase() {
  SetData(nullptr);
}

void LHandleBase::SetData(LHandleData* data) {
  if (data) data->AddCount(1);
  LHandleData* old = mData;
  mData = data;
  if (old && old->AddCount(-1) <= 0) delete old;
}

void LString::ExtractCharacters(unsigned char* out, uint32_t max) const {
  const uint32_t n = std::min(length(), max);
  std::memcpy(out, text(), n);
  out[n] = 0;
}

LStringData* LString::GetNullData() {
  // Built in place in static storage and never destroyed, so its static text is never released.
  static const unsigned char gEmptyText[1] = {0};
  alignas(LStringData) static unsigned char gNullDataStor[sizeof(LStringData)];
  static LStringData* const gNullData = [] {
    auto* data = new (gNullDataStor) LStringData(gEmptyText, 0);
    data->AddCount(1);  // the permanent count: no release can take it to 0
    return data;
  }();
  return gNullData;
}

LStringData* LString::MakeStrDesc(const unsigned char* s, uint32_t n) {
  if (!s) return GetNullData();
  if (n == kMeasure) n = UString::LengthOf(s);
  if (n == 0) return GetNullData();

  auto* text = new (std::nothrow) unsigned char[std::size_t{n} + 1];
  if (!text) return GetNullData();
  std::memcpy(text, s, n);
  text[n] = 0;

  auto* data = new (std::nothrow) LStringData(text, n);
  if (!data) {
    delete[] text;
    return GetNullData();
  }
  return data;
}
