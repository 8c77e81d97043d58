#!/usr/bin/env bash
# The main job: installs what it needs, builds, and runs the composition host with
# its "Kelmar Network" patches. Arguments go to kelmar-host (try: bash scripts/run.sh --help).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target kelmar-host kelmar-peer >/dev/null
exec ./build/default/apps/kelmar-host/kelmar-host "$@"
