// Turn compression: the segment scanner, the byte-at-a-time encoder and the decoder.
#include "CKelmarTurnComp.h"

#include <algorithm>
#include <cstring>

namespace {

// Scanner transitions: for each input class (0 zero, 1 new non-zero, 2 same
// non-zero as the byte before) and each of the 7 states, the next state and flags.
// States: 0 start; 1 one zero; 2 two zeros; 3 three or more zeros; 4 a non-zero byte
// unlike its predecessor; 5 two equal non-zero bytes; 6 three or more of them.
const unsigned char gTransTbl[42] = {
    0x01, 0x00, 0x02, 0x04, 0x03, 0x03, 0x03, 0x01, 0x01, 0x00, 0x01, 0x00, 0x01, 0x02,  // zero
    0x04, 0x00, 0x04, 0x00, 0x04, 0x02, 0x04, 0x02, 0x04, 0x00, 0x04, 0x00, 0x04, 0x02,  // new
    0x04, 0x00, 0x01, 0x00, 0x02, 0x00, 0x03, 0x00, 0x05, 0x01, 0x06, 0x01, 0x06, 0x01,  // same
};

constexpr unsigned kFlagRepeat = 1;    // count the byte into the repeat counter
constexpr unsigned kFlagStop = 2;      // the segment ends before the byte
constexpr unsigned kFlagZeroPair = 4;  // the segment ends with a zero pair

constexpr uint32_t kMaxLiteral = 127;
constexpr uint32_t kMaxRepeat = 128;

}  // namespace

void CKelmarTurnComp::SetTurn(const unsigned char* turn, uint32_t size) {
  *this = CKelmarTurnComp();
  mInput = turn;
  mInputSize = size;
}

void CKelmarTurnComp::ScanSegment() {
  // The scanner's fields are kept in locals while it runs: the input is read through
  // a byte pointer, which could alias the members and force a store per byte.
  const unsigned char* const input = mInput;
  const uint32_t size = mInputSize;
  uint32_t scan = mScan;
  uint32_t run = mRun;
  uint32_t state = mScanState;
  uint32_t zeroPair = mZeroPair;
  uint32_t stop, segRun;
  for (;;) {
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
    const unsigned char* entry = &gTransTbl[(cls * 7 + state) * 2];
    state = entry[0];
    const unsigned flags = entry[1];
    if (flags & kFlagZeroPair) zeroPair = 2;
    run = (flags & kFlagRepeat) ? run + 1 : 0;
    // The byte that raises a stop has already moved the state and the repeat counter;
    // it opens the following segment.
    if (flags & kFlagStop) break;
  }
  mScan = scan;
  mStop = stop;
  mRun = run;
  mSegRun = segRun;
  mZeroPair = zeroPair;
  mScanState = state;
}

bool CKelmarTurnComp::Encode(unsigned char& out) {
  if (mPos >= mInputSize) return false;

  if (mStop <= mPos) ScanSegment();

  const uint32_t literal = mStop - mPos - mZeroPair - mSegRun;
  if (literal != 0) {
    if (mLiteral == 0) {
      mLiteral = std::min(literal, kMaxLiteral);
      out = static_cast<unsigned char>(mLiteral);
    } else {
      out = mInput[mPos++];
      --mLiteral;
    }
    return true;
  }
  if (mZeroPair != 0) {
    out = 0x00;
    mPos += 2;
    mZeroPair = 0;
    return true;
  }
  if (mSegRun == 0) return false;
  const uint32_t n = std::min(mSegRun, kMaxRepeat);
  out = static_cast<unsigned char>(0x7F + n);
  mPos += n;
  mSegRun -= n;
  return true;
}

void CKelmarTurnDecomp::Reset(unsigned char* buf, uint32_t capacity) {
  mBuf = buf;
  mLimit = capacity;
  mLiteral = 0;
  mPos = 1;
  // A buffer without room for the seed stays untouched; every later byte is dropped.
  if (capacity > 0) mBuf[0] = 0;
}

bool CKelmarTurnDecomp::Decode(unsigned char b) {
  const uint32_t room = mPos < mLimit ? mLimit - mPos : 0;
  if (mLiteral != 0) {
    if (room != 0) mBuf[mPos++] = b;
    --mLiteral;
  } else if (b & 0x80) {
    const uint32_t n = std::min<uint32_t>((b & 0x7Fu) + 1, room);
    std::memset(mBuf + mPos, mBuf[mPos - 1], n);
    mPos += n;
  } else if (b == 0) {
    const uint32_t n = std::min<uint32_t>(2, room);
    for (uint32_t i = 0; i < n; ++i) mBuf[mPos++] = 0;
  } else {
    mLiteral = b;
  }
  return mPos < mLimit;
}
