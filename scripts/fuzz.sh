#!/usr/bin/env bash
# Builds the fuzz preset and runs every fuzz target for the given number of seconds
# (default 60), starting from its committed seed corpus. New inputs go to a scratch
# corpus under build/fuzz, so the committed one only changes by hand.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"

cmake --preset fuzz -DKN_WERROR=ON >/dev/null
cmake --build --preset fuzz

for target in build/fuzz/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  name="${target##*/fuzz_}"
  work="build/fuzz/corpus/$name"
  mkdir -p "$work" fuzz/artifacts
  echo "-- $name for ${seconds}s"
  "$target" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix=fuzz/artifacts/ "$work" "fuzz/corpus/$name" 2>&1 | tail -n 12
done
