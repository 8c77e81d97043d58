// The variable buffer and the untyped array.
#include "CArray.h"

#include <cstdlib>
#include <cstring>
#include <functional>

LVariBufferBase::LVariBufferBase(void*& block, uint32_t& size, uint16_t elemSize,
                                 uint32_t initialSize)
    : mBlock(block), mSize(size), mElemSize(elemSize) {
  mBlock = nullptr;
  mSize = 0;
  SetSize(initialSize, false);
}

LVariBufferBase::~LVariBufferBase() {
  std::free(mBlock);
}

bool LVariBufferBase::SetSize(uint32_t n, bool keep) {
  if (n == 0) {
    std::free(mBlock);
    mBlock = nullptr;
    mSize = 0;
    return true;
  }
  // The block's byte count is a 32-bit quantity; a product beyond it counts as no memory.
  const uint64_t bytes = uint64_t{n} * mElemSize;
  if (bytes == 0 || bytes > UINT32_MAX) return false;

  void* block;
  if (mBlock && (keep || mSize >= n)) {
    block = std::realloc(mBlock, bytes);
    if (!block) return false;
  } else {
    block = std::malloc(bytes);
    if (!block) return false;
    std::free(mBlock);
  }
  mBlock = block;
  mSize = n;
  return true;
}

bool LVariBufferBase::Ready(uint32_t need, uint32_t extra, bool keep) {
  if (mSize >= need) return true;
  const uint64_t n = uint64_t{need} + extra;
  if (n > UINT32_MAX) return false;
  return SetSize(static_cast<uint32_t>(n), keep);
}

bool LVariBufferBase::Copy(const void* source, uint32_t n) {
  if (!SetSize(n, false)) return false;
  if (n > 0) std::memcpy(mBlock, source, std::size_t{n} * mElemSize);
  return true;
}

void* LVariBufferBase::Detach() {
  void* block = mBlock;
  mBlock = nullptr;
  mSize = 0;
  return block;
}

CArrayBase::CArrayBase(uint16_t elemSize, uint32_t initialCapacity)
    : mBuffer(mData, mCapacity, elemSize, initialCapacity) {}

bool CArrayBase::Insert(uint32_t index, const void* element) {
  const std::size_t size = mBuffer.elemsize();
  // The element may be one of this array's own: note where, since growing can move the storage
  // and the shift below can move the element within it.
  const auto* source = static_cast<const unsigned char*>(element);
  const bool own = mCount > 0 && !std::less<const void*>()(element, at(0)) &&
                   std::less<const void*>()(element, at(mCount));
  const std::size_t offset = own ? static_cast<std::size_t>(source - at(0)) : 0;

  if (!mBuffer.Ready(mCount + 1, mCount, true)) return false;
  if (index > mCount) index = mCount;
  if (index < mCount) std::memmove(at(index + 1), at(index), (mCount - index) * size);
  if (own) source = at(0) + offset + (offset >= index * size ? size : 0);
  std::memcpy(at(index), source, size);
  ++mCount;
  return true;
}

void CArrayBase::Remove(uint32_t index) {
  if (index >= mCount) return;
  --mCount;
  std::memmove(at(index), at(index + 1), std::size_t{mCount - index} * mBuffer.elemsize());
}

void CArrayBase::Move(uint32_t from, uint32_t to, void* scratch) {
  if (from == to) return;
  const std::size_t size = mBuffer.elemsize();
  std::memcpy(scratch, at(from), size);
  if (from < to) {
    std::memmove(at(from), at(from + 1), (to - from) * size);
  } else {
    std::memmove(at(to + 1), at(to), (from - to) * size);
  }
  std::memcpy(at(to), scratch, size);
}

bool CArrayBase::Copy(const CArrayBase& other) {
  if (&other == this) return true;
  if (other.mBuffer.elemsize() != mBuffer.elemsize()) return false;
  if (!mBuffer.Copy(other.mData, other.mCount)) return false;
  mCount = other.mCount;
  return true;
}
