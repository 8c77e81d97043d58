// Turn compression: a resumable encoder and decoder for the compressed turn stream.
#pragma once

#include <cstdint>

// The compressed stream is a sequence of tokens, each led by a control byte c:
//   0x00         two data bytes of 0 (a zero pair);
//   0x01..0x7F   a literal run: the next c stream bytes are data bytes;
//   0x80..0xFF   a repeat run: the previous data byte, (c & 0x7F) + 1 times.
// The output starts with a seed byte 0, so a leading repeat run repeats 0. There is
// no header, length or terminator: the stream ends where its payload ends.

// Encoder. It produces one stream byte per call so that it can write straight into
// a packet buffer; a scanner runs ahead of the output and cuts the input into
// segments of literal bytes, an optional zero pair and trailing repeat runs.
class CKelmarTurnComp {
 public:
  // Starts encoding size bytes at turn (not owned; must outlive the encoding).
  void SetTurn(const unsigned char* turn, uint32_t size);

  // Writes the next stream byte to out and returns true, or returns false once the
  // whole input is covered (at once for an empty input).
  bool Encode(unsigned char& out);

 private:
  // Classifies input bytes until the current segment ends; sets mStop and mSegRun.
  void ScanSegment();

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
  void Reset(unsigned char* buf, uint32_t capacity);

  // Takes the next stream byte; returns true while the buffer can take more.
  bool Decode(unsigned char b);

  // Index of the next output byte; the number of decoded bytes is pos() - 1.
  uint32_t pos() const { return mPos; }

 private:
  uint32_t mLiteral = 0;  // literal bytes still expected from the stream
  uint32_t mPos = 1;      // index of the next output byte
  unsigned char* mBuf = nullptr;
  uint32_t mLimit = 0;  // capacity of mBuf in bytes, seed byte included
};
