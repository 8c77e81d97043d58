#!/usr/bin/env bash
# The main job: installs what it needs, builds the default preset and runs the
# benchmarks, each beside its baseline.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
./build/default/bench/wire_bench
./build/default/bench/handover_bench
