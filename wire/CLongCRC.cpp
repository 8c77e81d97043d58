// The running CRC-32 register: bulk counting.
#include "CLongCRC.h"

void CLongCRC::Count(const void* data, uint32_t len) {
  const auto* p = static_cast<const unsigned char*>(data);
  uint32_t r = mValue;
  for (uint32_t i = 0; i < len; ++i) r = next(r, p[i]);
  mValue = r;
}
