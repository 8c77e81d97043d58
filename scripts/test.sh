#!/usr/bin/env bash
# The project's test command: installs what it needs, checks formatting, then
# configures, builds and runs the whole suite under the default, asan and tsan presets,
# and runs each fuzz target briefly over its seed corpus. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh
bash scripts/deps-browser.sh  # Chromium for the page's browser tests

echo "== format"
git ls-files -z -- '*.h' '*.cpp' | xargs -0 -r clang-format --dry-run --Werror

for preset in default asan tsan; do
  echo "== $preset"
  cmake --preset "$preset" -DKN_WERROR=ON >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
  if [ "$preset" = default ]; then
    echo "== package"
    bash scripts/check_package.sh build/default
  fi
done

echo "== fuzz (short)"
bash scripts/fuzz.sh 10
