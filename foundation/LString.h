// Handles to reference-counted shared data, and the immutable shared byte string built on them.
#pragma once

#include <atomic>
#include <cstdint>

// Data shared by handles. It starts with no count; the first handle makes it 1 and the handle
// that takes it back to 0 destroys it through the virtual destructor.
class LHandleData {
 public:
  LHandleData() = default;
  virtual ~LHandleData() = default;
  LHandleData(const LHandleData&) = delete;
  LHandleData& operator=(const LHandleData&) = delete;

  int32_t count() const { return mCount.load(std::memory_order_acquire); }
  // Atomically adds delta to the count and returns the new value.
  int32_t AddCount(int32_t delta) {
    return mCount.fetch_add(delta, std::memory_order_acq_rel) + delta;
  }

 private:
  std::atomic<int32_t> mCount{0};
};

// A handle that owns one count of its data while the data is not null. Handles to the same data
// may live on different threads; a single handle object is not synchronised.
class LHandleBase {
 public:
  explicit LHandleBase(LHandleData* data = nullptr);
  LHandleBase(const LHandleBase& other);
  LHandleBase& operator=(const LHandleBase& other);
  ~LHandleBase();

  LHandleData* data() const { return mData; }
  // Counts the new data before releasing the old, so setting the same data again is safe.
  void SetData(LHandleData* data);

 protected:
  LHandleData* mData;
};

// The shared text of strings: length bytes followed by a NUL, owned and released with delete[].
class LStringData : public LHandleData {
 public:
  LStringData(const unsigned char* text, uint32_t length) : mText(text), mLength(length) {}
  ~LStringData() override { delete[] mText; }

  const unsigned char* text() const { return mText; }
  uint32_t length() const { return mLength; }

 private:
  const unsigned char* mText;
  uint32_t mLength;
};

// An immutable byte string whose copies share one data. Its text is never null: every empty
// string, whatever its cause (null source, length 0, no memory), shares one static empty data.
class LString : public LHandleBase {
 public:
  // As a length: measure the text up to its terminator.
  static constexpr uint32_t kMeasure = 0xFFFFFFFF;

  LString() : LHandleBase(GetNullData()) {}
  explicit LString(const unsigned char* s) : LString(s, kMeasure) {}
  LString(const unsigned char* s, uint32_t length) : LHandleBase(MakeStrDesc(s, length)) {}

  LStringData* data() const { return static_cast<LStringData*>(mData); }
  const unsigned char* text() const { return data()->text(); }
  uint32_t length() const { return data()->length(); }

  // Shares the given data; null stands for the empty string.
  void SetData(LStringData* data) { LHandleBase::SetData(data ? data : GetNullData()); }

  // Copies at most max bytes of the text to out and terminates them; out holds max + 1 bytes.
  void ExtractCharacters(unsigned char* out, uint32_t max) const;

  // The shared empty data. It holds a permanent count of its own and is never destroyed.
  static LStringData* GetNullData();
  // New data with a copy of n bytes of s (kMeasure: up to its terminator), embedded NULs
  // included; the shared empty data when the result is empty or memory runs out.
  static LStringData* MakeStrDesc(const unsigned char* s, uint32_t n);
};
