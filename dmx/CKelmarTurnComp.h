// Turn compression: a resumable encoder and decoder for the compressed turn stream.
// Header-only: a payload costs one call per byte, so every call must inline into the
// loop that drives it and the coder's fields must stay in registers.
#pragma once

#include <cstdint>
#include <cstring>

// The compressed stream is a sequence of tokens, each led by a control byte c:
//   0x00         two data bytes of 0 (a zero pair);
//   0x01..0x7F   a literal run: the next c stream bytes are data bytes;
//   0x80..0xFF   a repeat run: the previous data byte, (c & 0x7F) + 1 times.
// The output starts with a seed byte 0, so a leading repeat run repeats 0. There is
// no header, length or terminator: the stream ends where its payload ends.

namespace kn_codec {

// Scanner transitions: for each input class (0 zero, 1 new non-zero, 2 same
// non-zero as the byte before) and each of the 7 states, the next state and flags.
// States: 0 start; 1 one zero; 2 two zeros; 3 three or more zeros; 4 a non-zero byte
// unlike its predecessor; 5 two equal non-zero bytes; 6 three or more of them.
inline constexpr unsigned char gTransTbl[42] = {
    0x01, 0x00, 0x02, 0x04, 0x03, 0x03, 0x03, 0x01, 0x01, 0x00, 0x01, 0x00, 0x01, 0x02,  // zero
    0x04, 0x00, 0x04, 0x00, 0x04, 0x02, 0x04, 0x02, 0x04, 0x00, 0x04, 0x00, 0x04, 0x02,  // new
    0x04, 0x00, 0x01, 0x00, 0x02, 0x00, 0x03, 0x00, 0x05, 0x01, 0x06, 0x01, 0x06, 0x01,  // same
};

constexpr unsigned kFlagRepeat = 1;    // count the byte into the repeat counter
constexpr unsigned kFlagStop = 2;      // the segment ends before the byte
constexpr unsigned kFlagZeroPair = 4;  // the segment ends with a zero pair

}  // namespace kn_codec

// Encoder. It produces one stream byte per call so that it can write straight into
// a packet buffer; a scanner runs ahead of the output and cuts the input into
// segments of literal bytes, an optional zero pair and trailing repeat runs.
class CKelmarTurnComp {
 public:
  // Starts encoding size bytes at turn (not owned; must outlive the encoding).
  void SetTurn(const unsigned char* turn, uint32_t size) {
    *this = CKelmarTurnComp();
    mInput = turn;
    mInputSize = size;
  }

  // Writes the next stream byte to out and returns true, or returns false once the
  // whole input is covered (at once for an empty input).
  bool Encode(unsigned char& out) {
    // Inside a literal run: bytes owed under its header come straight from the input.
    if (mLiteral != 0) {
      out = mInput[mPos++];
      --mLiteral;
      return true;
    }
    if (mPos >= mInputSize) return false;
    if (mStop <= mPos) {
      const SScan next = Scan(mInput, mInputSize, {mScan, mRun, mScanState, mZeroPair, 0, 0});
      mScan = next.scan;
      mRun = next.run;
      mScanState = next.state;
      mZeroPair = next.zeroPair;
      mStop = next.stop;
      mSegRun = next.segRun;
    }
    const uint32_t literal = mStop - mPos - mZeroPair - mSegRun;
    if (literal != 0) {
      mLiteral = literal < 127 ? literal : 127;
      out = static_cast<unsigned char>(mLiteral);
      return true;
    }
    // The zero pair, then the repeat runs, that end the segment.
    if (mZeroPair != 0) {
      out = 0x00;
      mPos += 2;
      mZeroPair = 0;
      return true;
    }
    if (mSegRun == 0) return false;
    const uint32_t n = mSegRun < 128 ? mSegRun : 128;
    out = static_cast<unsigned char>(0x7F + n);
    mPos += n;
    mSegRun -= n;
    return true;
  }

 private:
  // The scanner's part of the encoder's state.
  struct SScan {
    uint32_t scan, run, state, zeroPair, stop, segRun;
  };
  // The end of the stretch from `i` of bytes equal to `b`, eight bytes at a time.
  static uint32_t SameAs(const unsigned char* input, uint32_t i, uint32_t size, unsigned char b) {
    const uint64_t all = 0x0101010101010101ull * b;
    for (uint64_t word; i + 8 <= size; i += 8) {
      std::memcpy(&word, input + i, 8);
      if (word != all) break;
    }
    while (i < size && input[i] == b) ++i;
    return i;
  }
  // Classifies input bytes from `from.scan` until the current segment ends, and
  // returns the scanner's state with the segment's end and repeat count. A function
  // of values, so the encoder's fields never escape to memory.
  static SScan Scan(const unsigned char* input, uint32_t size, SScan from);

  uint32_t mScan = 0;       // next input byte the scanner classifies
  uint32_t mStop = 0;       // end (exclusive) of the current segment
  uint32_t mRun = 0;        // the scanner's repeat counter
  uint32_t mSegRun = 0;     // bytes at the segment's end still to send as repeat runs
  uint32_t mZeroPair = 0;   // 2 while the segment ends with an unsent zero pair
  uint32_t mLiteral = 0;    // literal bytes still owed under the last literal header
  uint32_t mPos = 0;        // first input byte not yet covered by output
  uint32_t mInputSize = 0;  // number of input bytes
  uint32_t mScanState = 0;  // scanner state, 0 to 6
  const unsigned char* mInput = nullptr;
};

// Decoder. It takes one stream byte per call and never writes outside
// [0, capacity) of its buffer, whatever the stream holds.
class CKelmarTurnDecomp {
 public:
  // Starts decoding into buf of the given capacity, seed byte included: buf[0] is
  // set to the seed 0 and decoded bytes follow from buf[1].
  void Reset(unsigned char* buf, uint32_t capacity) {
    mBuf = buf;
    mLimit = capacity;
    mLiteral = 0;
    mPos = 1;
    // A buffer without room for the seed stays untouched; every later byte is dropped.
    if (capacity > 0) mBuf[0] = 0;
  }

  // Takes the next stream byte; returns true while the buffer can take more.
  bool Decode(unsigned char b) {
    if (mLiteral != 0) {
      if (mPos < mLimit) mBuf[mPos++] = b;
      --mLiteral;
    } else if (b & 0x80) {
      Repeat((b & 0x7Fu) + 1);
    } else if (b == 0) {
      Zeros();
    } else {
      mLiteral = b;
    }
    return mPos < mLimit;
  }

  // Index of the next output byte; the number of decoded bytes is pos() - 1.
  uint32_t pos() const { return mPos; }

 private:
  // The previous byte n more times, as far as there is room.
  void Repeat(uint32_t n) {
    const uint32_t room = mPos < mLimit ? mLimit - mPos : 0;
    if (n > room) n = room;
    if (n == 0) return;
    std::memset(mBuf + mPos, mBuf[mPos - 1], n);
    mPos += n;
  }
  // Two zeros, as far as there is room.
  void Zeros() {
    for (int i = 0; i < 2 && mPos < mLimit; ++i) mBuf[mPos++] = 0;
  }

  uint32_t mLiteral = 0;  // literal bytes still expected from the stream
  uint32_t mPos = 1;      // index of the next output byte
  unsigned char* mBuf = nullptr;
  uint32_t mLimit = 0;  // capacity of mBuf in bytes, seed byte included
};

inline CKelmarTurnComp::SScan CKelmarTurnComp::Scan(const unsigned char* input, uint32_t size,
                                                    SScan from) {
  uint32_t scan = from.scan;
  uint32_t run = from.run;
  uint32_t state = from.state;
  uint32_t zeroPair = from.zeroPair;
  uint32_t stop, segRun;
  for (;;) {
    // Long stretches take the same transition byte after byte: a zero after three or
    // more zeros, an equal byte after three or more equal ones (both count into the
    // repeat counter), a new non-zero byte after a non-zero one (resets it). Skipping
    // them in tight loops gives exactly what the table would.
    if (state == 3 || state == 6) {
      const uint32_t from = scan;
      scan = SameAs(input, scan, size, input[scan - 1]);
      run += scan - from;
    } else if (state == 4 && scan < size && input[scan] != 0 && input[scan] != input[scan - 1]) {
      while (scan + 1 < size && input[scan + 1] != 0 && input[scan + 1] != input[scan]) ++scan;
      ++scan;
      run = 0;
    }
    stop = scan;
    segRun = run;
    if (scan >= size) break;
    const unsigned char b = input[scan];
    unsigned cls;
    if (b == 0) {
      cls = 0;
    } else if (scan == 0 || b != input[scan - 1]) {
      cls = 1;
    } else {
      cls = 2;
    }
    ++scan;
    const unsigned char* entry = &kn_codec::gTransTbl[(cls * 7 + state) * 2];
    state = entry[0];
    const unsigned flags = entry[1];
    if (flags & kn_codec::kFlagZeroPair) zeroPair = 2;
    run = (flags & kn_codec::kFlagRepeat) ? run + 1 : 0;
    // The byte that raises a stop has already moved the state and the repeat counter;
    // it opens the following segment.
    if (flags & kn_codec::kFlagStop) break;
  }
  return {scan, run, state, zeroPair, stop, segRun};
}
