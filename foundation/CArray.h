// Growable arrays of plain elements, over a buffer that manages one heap block for its owner.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

// Manages one malloc'd block on behalf of a pointer and an element count that live in the owner.
// The block always holds exactly size × element size bytes, a product that must fit in 32 bits.
// Every operation that can fail returns false and leaves the buffer as it was.
class LVariBufferBase {
 public:
  LVariBufferBase(void*& block, uint32_t& size, uint16_t elemSize, uint32_t initialSize);
  ~LVariBufferBase();
  LVariBufferBase(const LVariBufferBase&) = delete;
  LVariBufferBase& operator=(const LVariBufferBase&) = delete;

  uint16_t elemsize() const { return mElemSize; }

  // Resizes to n elements. Shrinking keeps the contents; growing keeps them only when asked.
  bool SetSize(uint32_t n, bool keep);
  // Makes room for at least need elements, sizing to need + extra when it has to grow.
  bool Ready(uint32_t need, uint32_t extra, bool keep);
  // Replaces the contents with n elements copied from source, which must lie outside the block.
  bool Copy(const void* source, uint32_t n);
  // Hands the block over to the caller, who releases it with free().
  void* Detach();

 private:
  void*& mBlock;
  uint32_t& mSize;
  uint16_t mElemSize;
};

// An array of fixed-size elements moved as raw bytes. Storage grows geometrically and never
// shrinks on removal. Index errors are not reported: Insert clamps, Remove ignores, and
// element access and Move require valid indexes.
class CArrayBase {
 public:
  CArrayBase(uint16_t elemSize, uint32_t initialCapacity);
  virtual ~CArrayBase() = default;
  CArrayBase(const CArrayBase&) = delete;
  CArrayBase& operator=(const CArrayBase&) = delete;

  uint32_t count() const { return mCount; }
  uint32_t capacity() const { return mCapacity; }
  const void* data() const { return mData; }

  // Inserts a copy of the element at index (an index past the end appends).
  bool Insert(uint32_t index, const void* element);
  void Remove(uint32_t index);
  // Empties the array and keeps the storage.
  void RemoveAll() { mCount = 0; }
  // Moves one element from one position to another, shifting those between; scratch holds one
  // element.
  void Move(uint32_t from, uint32_t to, void* scratch);
  // Makes this array an exact-size copy of other, which must have the same element size.
  bool Copy(const CArrayBase& other);

 protected:
  unsigned char* at(uint32_t index) const {
    return static_cast<unsigned char*>(mData) + std::size_t{index} * mBuffer.elemsize();
  }

  uint32_t mCount = 0;
  uint32_t mCapacity = 0;
  void* mData = nullptr;
  LVariBufferBase mBuffer;
};

// The typed array. No constructor, assignment or destructor of T ever runs.
template <class T>
class CArray : public CArrayBase {
  static_assert(std::is_trivially_copyable_v<T>, "CArray moves its elements as raw bytes");
  static_assert(sizeof(T) <= UINT16_MAX, "CArray elements are at most 65535 bytes");

 public:
  explicit CArray(uint32_t initialCapacity = 0) : CArrayBase(sizeof(T), initialCapacity) {}

  T& operator[](uint32_t index) const { return *reinterpret_cast<T*>(at(index)); }

  bool Insert(uint32_t index, const T& element) { return CArrayBase::Insert(index, &element); }
  bool Append(const T& element) { return Insert(mCount, element); }
  bool Copy(const CArray<T>& other) { return CArrayBase::Copy(other); }
  void RemoveFirst() { Remove(0); }
  // On an empty array the index wraps to the largest value and nothing happens.
  void RemoveLast() { Remove(mCount - 1); }
  void Move(uint32_t from, uint32_t to) {
    alignas(T) unsigned char scratch[sizeof(T)];
    CArrayBase::Move(from, to, scratch);
  }
};
