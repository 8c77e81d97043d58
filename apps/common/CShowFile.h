// Show files: levels with their timing, in the text format that OLA's ola_recorder
// reads and writes, so shows pass between the programs and OLA's tools.
//
// The format, one item a line, each line ending in '\n':
//
//   OLA Show              the header
//   1 0,255,128           a frame: universe, one space, levels 0..255 from slot 1
//   25                    milliseconds from the frame above to the frame below
//   2 10,20
//
// A delay line stands between two frames; the first frame has none before it. A delay
// after the last frame is allowed (ola_recorder accepts it) and is the pause before a
// looped show starts again. A blank line ends the show for ola_recorder, so it may only
// be followed by more blank lines. A '\r' before a line's end is ignored.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The universe a recording is written under when none is chosen.
constexpr std::uint32_t kShowDefaultUniverse = 1;

// One frame of a show. `delayMs` is the time since the previous frame; for the first
// frame it is the time since the show began (0 in a file; more after a filter).
struct SShowFrame {
  std::uint32_t universe = 0;
  std::uint64_t delayMs = 0;
  std::vector<std::uint8_t> levels;  // 1..512 levels, the first being slot 1

  bool operator==(SShowFrame const&) const = default;
};

// A whole show, loaded and checked before any of it is used.
class CShowFile {
 public:
  // Reads and checks the file at `path`. On failure returns nothing and sets `error` to
  // "PATH:LINE: problem" ("PATH: problem" when the file cannot be read at all).
  static std::optional<CShowFile> Load(std::string const& path, std::string* error);
  // As Load, from text in memory; `name` stands for the file in messages.
  static std::optional<CShowFile> Parse(std::string_view text, std::string const& name,
                                        std::string* error);

  std::string const& name() const { return mName; }
  std::vector<SShowFrame> const& frames() const { return mFrames; }
  // Time after the last frame before the show is over (or starts again).
  std::uint64_t tailMs() const { return mTailMs; }
  // Time from the start to the end of the show: every delay plus the tail.
  std::uint64_t lengthMs() const;
  // The universes that frames are given for, in increasing order.
  std::vector<std::uint32_t> universes() const;

  // The frames of `universe` alone. Their timing is kept: the delays of the frames left
  // out are added to the next frame kept, or to the tail after the last one.
  CShowFile OnlyUniverse(std::uint32_t universe) const;

  // The frames to play: those of `universe`, or of the only universe in the file when
  // none is given. Fails, saying why in `error` ("PATH: problem"), when there are no such
  // frames or when the file holds several universes and none was chosen.
  std::optional<CShowFile> ForPlaying(std::optional<std::uint32_t> universe,
                                      std::string* error) const;

 private:
  std::string mName;
  std::vector<SShowFrame> mFrames;
  std::uint64_t mTailMs = 0;
};

// Writes a show as frames arrive. Each frame reaches the file with one write call and no
// buffer of our own, so another reader sees every complete frame at once and a process
// killed between frames leaves a file that loads. (No fsync: a crash of the machine
// itself may lose the last frames.) One thread at a time.
class CShowWriter {
 public:
  CShowWriter() = default;
  CShowWriter(CShowWriter const&) = delete;
  CShowWriter& operator=(CShowWriter const&) = delete;
  ~CShowWriter() { Close(); }

  // Creates or empties the file at `path` and writes the header. On failure returns false
  // and sets `error` to "PATH: problem".
  bool Open(std::string const& path, std::string* error);

  // Appends one frame of 1..512 levels, `delayMs` after the previous frame (the first
  // frame's delay is not written: a file starts with its first frame). Delays beyond
  // 2^32-1 ms, which ola_recorder cannot read, are written as 2^32-1. Returns false, with
  // `error` set, when not open, when the levels are out of bounds, or when writing fails.
  bool Write(std::uint32_t universe, std::span<std::uint8_t const> levels, std::uint64_t delayMs,
             std::string* error);
  // As Write, the delay being the time from the previous frame's `nowMs` to this one's, on
  // any clock that counts milliseconds and does not go back (a step back counts as 0).
  bool WriteAt(std::uint32_t universe, std::span<std::uint8_t const> levels, std::int64_t nowMs,
               std::string* error);

  // Closes the file; Open may be called again. Safe when not open.
  void Close();

  bool open() const { return mFd >= 0; }
  std::uint64_t frames() const { return mFrames; }

 private:
  bool WriteAll(std::string const& text, std::string* error);

  int mFd = -1;
  std::string mPath;
  std::uint64_t mFrames = 0;
  std::int64_t mLastMs = 0;  // WriteAt: the clock at the previous frame
  std::string mLine;         // reused for each frame's text
};

// Plays a show against a clock in milliseconds: tells which frame is due and when the
// next one will be. Due times follow from the start and the delays alone, so playing does
// not drift however late the caller asks. Holds a copy of the frames. One thread.
class CShowPlayer {
 public:
  CShowPlayer(CShowFile const& show, bool loop);

  // Starts (or restarts) the show at `nowMs`: the first frame is due its delay later.
  void Start(std::int64_t nowMs);

  // The newest frame due by `nowMs` that has not been returned yet, or null when none is
  // due. Frames passed over because a newer one was due too are counted in skipped().
  // After the last frame a looping show starts again its tail later; a looping show
  // whose delays are all 0 starts again 1 ms later.
  SShowFrame const* Poll(std::int64_t nowMs);

  // Milliseconds from `nowMs` until the next frame is due (0 when one is due already),
  // or -1 when the show is over or not started.
  std::int64_t remain(std::int64_t nowMs) const;
  bool over() const { return mStarted && mNext >= mFrames.size(); }
  std::uint64_t skipped() const { return mSkipped; }
  // Times a looping show has come to its end and gone back to its start.
  std::uint64_t loops() const { return mLoops; }

 private:
  std::vector<SShowFrame> mFrames;
  std::int64_t mPeriodMs;   // the length of one pass, at least 1 ms
  std::int64_t mGapMs = 0;  // from the last frame of a pass to the first of the next
  bool mLoop;
  bool mStarted = false;
  std::size_t mNext = 0;  // index of the next frame; mFrames.size() once over
  std::int64_t mDue = 0;  // when mFrames[mNext] is due
  std::uint64_t mSkipped = 0;
  std::uint64_t mLoops = 0;
};
