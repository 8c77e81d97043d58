#!/usr/bin/env bash
# Builds the fuzz preset and runs every fuzz target for the given number of seconds
# (default 60), starting from its committed seed corpus. New inputs go to a scratch
# corpus under build/fuzz, so the committed one only changes by hand. A crash, a
# sanitizer report or a broken property fails the run and shows the whole report.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"

cmake --preset fuzz -DKN_WERROR=ON >/dev/null
cmake --build --preset fuzz

for target in build/fuzz/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  name="${target##*/fuzz_}"
  work="build/fuzz/corpus/$name"
  log="build/fuzz/$name.log"
  mkdir -p "$work" fuzz/artifacts
  echo "-- $name for ${seconds}s"
  if ! "$target" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix=fuzz/artifacts/ "$work" "fuzz/corpus/$name" >"$log" 2>&1; then
    cat "$log"
    echo "fuzz target $name failed; the input is in fuzz/artifacts/" >&2
    exit 1
  fi
  grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$log" || true
done
