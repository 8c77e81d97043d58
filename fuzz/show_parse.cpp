// Fuzz target: a show that loads is written out frame by frame and loads again the same.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "CShowFile.h"

namespace {

// One scratch file for the whole run, removed at exit. A plain array: it must outlive
// the exit handler.
char gScratch[] = "/tmp/kn-fuzz-show-XXXXXX";

std::string ScratchPath() {
  static bool const made = [] {
    int const fd = mkstemp(gScratch);
    if (fd < 0) std::abort();
    close(fd);
    std::atexit([] { unlink(gScratch); });
    return true;
  }();
  (void)made;
  return gScratch;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view const text(reinterpret_cast<char const*>(data), size);
  std::string error;
  auto const show = CShowFile::Parse(text, "in", &error);
  if (!show) {
    // A refusal names the input and a line within it.
    if (!error.starts_with("in:") || error.size() < 4 || error[3] < '1' || error[3] > '9')
      __builtin_trap();
    return 0;
  }

  CShowWriter writer;
  if (!writer.Open(ScratchPath(), &error)) std::abort();
  for (auto const& frame : show->frames())
    if (!writer.Write(frame.universe, frame.levels, frame.delayMs, &error)) __builtin_trap();
  writer.Close();

  auto const again = CShowFile::Load(ScratchPath(), &error);
  if (!again) __builtin_trap();
  // The writer keeps no tail (a recording ends with its last frame): frames alone compare.
  if (again->frames() != show->frames() || again->tailMs() != 0) __builtin_trap();
  return 0;
}
