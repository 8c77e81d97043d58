// Show files: reading, checking, filtering, writing and playing them.
#include "CShowFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <limits>
#include <set>

namespace {

constexpr std::string_view kHeader = "OLA Show";
constexpr std::size_t kMaxLevels = 512;
constexpr std::uint64_t kMaxDelayMs = std::numeric_limits<std::uint32_t>::max();

// A whole decimal number of digits only, no sign or spaces, at most `max`.
template <typename T>
std::optional<T> ParseNumber(std::string_view text, T max) {
  T value = 0;
  if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value > max) return std::nullopt;
  return value;
}

// Text quoted in a message, cut short so that a long line cannot flood it.
std::string Quote(std::string_view text) {
  constexpr std::size_t kShown = 40;
  if (text.size() <= kShown) return "'" + std::string(text) + "'";
  return "'" + std::string(text.substr(0, kShown)) + "...'";
}

std::string Where(std::string const& name, unsigned line) {
  return name + ":" + std::to_string(line) + ": ";
}

// "UNIVERSE L,L,...": one frame, or why it is not one.
std::optional<SShowFrame> ParseFrame(std::string_view text, std::string* problem) {
  const std::size_t space = text.find(' ');
  if (space == std::string_view::npos) {
    *problem = "expected a frame 'UNIVERSE LEVELS', found " + Quote(text);
    return std::nullopt;
  }
  SShowFrame frame;
  const std::string_view universe = text.substr(0, space);
  auto u = ParseNumber<std::uint32_t>(universe, std::numeric_limits<std::uint32_t>::max());
  if (!u) {
    *problem = "bad universe " + Quote(universe) + " (a whole number 0..4294967295)";
    return std::nullopt;
  }
  frame.universe = *u;
  const std::string_view levels = text.substr(space + 1);
  if (levels.empty()) {
    *problem = "the frame has no levels";
    return std::nullopt;
  }
  const auto commas = static_cast<std::size_t>(std::count(levels.begin(), levels.end(), ','));
  frame.levels.reserve(std::min(commas + 1, kMaxLevels));
  for (std::size_t pos = 0; pos <= levels.size();) {
    const std::size_t comma = std::min(levels.find(',', pos), levels.size());
    const std::string_view item = levels.substr(pos, comma - pos);
    if (frame.levels.size() == kMaxLevels) {
      *problem = "more than 512 levels";
      return std::nullopt;
    }
    auto level = ParseNumber<unsigned>(item, 255);
    if (!level) {
      *problem = "bad level " + Quote(item) + " for slot " +
                 std::to_string(frame.levels.size() + 1) + " (levels are 0..255)";
      return std::nullopt;
    }
    frame.levels.push_back(static_cast<std::uint8_t>(*level));
    pos = comma + 1;
  }
  return frame;
}

std::optional<std::uint64_t> ParseDelay(std::string_view text, std::string* problem) {
  auto delay = ParseNumber<std::uint64_t>(text, kMaxDelayMs);
  if (!delay) {
    *problem = text.find(' ') != std::string_view::npos
                   ? "expected the delay in ms before the next frame, found " + Quote(text)
                   : "bad delay " + Quote(text) + " (whole milliseconds 0..4294967295)";
  }
  return delay;
}

}  // namespace

std::optional<CShowFile> CShowFile::Load(std::string const& path, std::string* error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (error) *error = path + ": cannot open: " + std::strerror(errno);
    return std::nullopt;
  }
  std::string text;
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
    if (n > 0) text.append(buf, static_cast<std::size_t>(n));
  const int readErrno = errno;
  close(fd);
  if (n < 0) {
    if (error) *error = path + ": cannot read: " + std::strerror(readErrno);
    return std::nullopt;
  }
  return Parse(text, path, error);
}

std::optional<CShowFile> CShowFile::Parse(std::string_view text, std::string const& name,
                                          std::string* error) {
  std::string problem;
  auto fail = [&](unsigned line, std::string const& what) -> std::optional<CShowFile> {
    if (error) *error = Where(name, line) + what;
    return std::nullopt;
  };
  if (text.empty()) return fail(1, "empty file (expected the header 'OLA Show')");

  CShowFile show;
  show.mName = name;
  unsigned line = 0;
  unsigned blank = 0;  // the first blank line, which ends the show
  bool frameNext = true;
  std::uint64_t delay = 0;
  for (std::size_t pos = 0; pos < text.size();) {
    ++line;
    const std::size_t end = text.find('\n', pos);
    // ola_recorder ends every line; one without an end was cut short mid-write.
    if (end == std::string_view::npos)
      return fail(line, "the last line has no end (the file is cut short)");
    std::string_view item = text.substr(pos, end - pos);
    pos = end + 1;
    if (!item.empty() && item.back() == '\r') item.remove_suffix(1);

    if (line == 1) {
      if (item != kHeader)
        return fail(line, "not a show file: expected the header 'OLA Show', found " + Quote(item));
      continue;
    }
    if (item.empty()) {
      if (!blank) blank = line;
      continue;
    }
    // ola_recorder stops at a blank line and would drop everything after it unseen.
    if (blank) return fail(blank, "blank line inside the show");
    if (frameNext) {
      auto frame = ParseFrame(item, &problem);
      if (!frame) return fail(line, problem);
      frame->delayMs = show.mFrames.empty() ? 0 : delay;
      show.mFrames.push_back(std::move(*frame));
    } else {
      auto d = ParseDelay(item, &problem);
      if (!d) return fail(line, problem);
      delay = *d;
    }
    frameNext = !frameNext;
  }
  // A delay after the last frame is the pause before the end.
  if (frameNext && !show.mFrames.empty()) show.mTailMs = delay;
  return show;
}

std::uint64_t CShowFile::lengthMs() const {
  std::uint64_t total = mTailMs;
  for (auto const& frame : mFrames) total += frame.delayMs;
  return total;
}

std::vector<std::uint32_t> CShowFile::universes() const {
  std::set<std::uint32_t> seen;
  for (auto const& frame : mFrames) seen.insert(frame.universe);
  return {seen.begin(), seen.end()};
}

CShowFile CShowFile::OnlyUniverse(std::uint32_t universe) const {
  CShowFile out;
  out.mName = mName;
  std::uint64_t carried = 0;  // time since the last frame kept
  for (auto const& frame : mFrames) {
    carried += frame.delayMs;
    if (frame.universe != universe) continue;
    out.mFrames.push_back(frame);
    out.mFrames.back().delayMs = carried;
    carried = 0;
  }
  out.mTailMs = carried + mTailMs;
  return out;
}

std::optional<CShowFile> CShowFile::ForPlaying(std::optional<std::uint32_t> universe,
                                               std::string* error) const {
  const auto all = universes();
  std::string list;
  for (auto u : all) list += (list.empty() ? "" : ", ") + std::to_string(u);
  auto fail = [&](std::string const& what) -> std::optional<CShowFile> {
    if (error) *error = mName + ": " + what;
    return std::nullopt;
  };
  if (all.empty()) return fail("the show has no frames");
  if (!universe) {
    if (all.size() > 1) return fail("the show holds universes " + list + "; choose one");
    return *this;
  }
  if (!std::binary_search(all.begin(), all.end(), *universe))
    return fail("no frames for universe " + std::to_string(*universe) + " (the show holds " +
                (all.size() > 1 ? "universes " : "universe ") + list + ")");
  return OnlyUniverse(*universe);
}

bool CShowWriter::Open(std::string const& path, std::string* error) {
  Close();
  mPath = path;
  mFd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (mFd < 0) {
    if (error) *error = path + ": cannot create: " + std::strerror(errno);
    return false;
  }
  mFrames = 0;
  if (WriteAll(std::string(kHeader) + '\n', error)) return true;
  Close();
  return false;
}

bool CShowWriter::Write(std::uint32_t universe, std::span<std::uint8_t const> levels,
                        std::uint64_t delayMs, std::string* error) {
  if (mFd < 0) {
    if (error) *error = "no show file is open";
    return false;
  }
  if (levels.empty() || levels.size() > kMaxLevels) {
    if (error)
      *error = mPath + ": a frame holds 1..512 levels, not " + std::to_string(levels.size());
    return false;
  }
  // The delay and the frame go out in one write, so the file always ends with a frame.
  mLine.clear();
  if (mFrames > 0) {
    mLine += std::to_string(std::min(delayMs, kMaxDelayMs));
    mLine += '\n';
  }
  mLine += std::to_string(universe);
  char sep = ' ';
  for (std::uint8_t level : levels) {
    char digits[4];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, level);
    (void)ec;  // three digits always fit
    mLine += sep;
    mLine.append(digits, end);
    sep = ',';
  }
  mLine += '\n';
  if (!WriteAll(mLine, error)) return false;
  ++mFrames;
  return true;
}

bool CShowWriter::WriteAt(std::uint32_t universe, std::span<std::uint8_t const> levels,
                          std::int64_t nowMs, std::string* error) {
  const std::uint64_t delay =
      mFrames > 0 && nowMs > mLastMs ? static_cast<std::uint64_t>(nowMs - mLastMs) : 0;
  if (!Write(universe, levels, delay, error)) return false;
  if (mFrames == 1 || nowMs > mLastMs) mLastMs = nowMs;
  return true;
}

void CShowWriter::Close() {
  if (mFd >= 0) ::close(mFd);
  mFd = -1;
}

bool CShowWriter::WriteAll(std::string const& text, std::string* error) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(mFd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (error) *error = mPath + ": cannot write: " + std::strerror(n < 0 ? errno : EIO);
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

CShowPlayer::CShowPlayer(CShowFile const& show, bool loop)
    : mFrames(show.frames()),
      mPeriodMs(static_cast<std::int64_t>(std::max<std::uint64_t>(show.lengthMs(), 1))),
      mLoop(loop) {
  // A show whose frames all fall at one instant would otherwise repeat without end in
  // one Poll: it starts again 1 ms later.
  if (!mFrames.empty())
    mGapMs =
        show.lengthMs() == 0 ? 1 : static_cast<std::int64_t>(show.tailMs() + mFrames[0].delayMs);
}

void CShowPlayer::Start(std::int64_t nowMs) {
  mStarted = true;
  mNext = 0;
  mSkipped = 0;
  mLoops = 0;
  if (!mFrames.empty()) mDue = nowMs + static_cast<std::int64_t>(mFrames[0].delayMs);
}

SShowFrame const* CShowPlayer::Poll(std::int64_t nowMs) {
  if (!mStarted) return nullptr;
  SShowFrame const* due = nullptr;
  while (mNext < mFrames.size() && nowMs - mDue >= 0) {
    // Far behind a looping show: pass over whole rounds at once rather than frame by frame.
    if (mLoop && mNext == 0 && nowMs - mDue >= mPeriodMs) {
      const std::int64_t rounds = (nowMs - mDue) / mPeriodMs;
      mDue += rounds * mPeriodMs;
      mLoops += static_cast<std::uint64_t>(rounds);
      mSkipped += static_cast<std::uint64_t>(rounds) * mFrames.size() + (due ? 1 : 0);
      due = nullptr;
      continue;
    }
    if (due) ++mSkipped;
    due = &mFrames[mNext++];
    if (mNext < mFrames.size()) {
      mDue += static_cast<std::int64_t>(mFrames[mNext].delayMs);
    } else if (mLoop) {
      mNext = 0;
      ++mLoops;
      mDue += mGapMs;
    }
  }
  return due;
}

std::int64_t CShowPlayer::remain(std::int64_t nowMs) const {
  if (!mStarted || mNext >= mFrames.size()) return -1;
  return std::max<std::int64_t>(mDue - nowMs, 0);
}
