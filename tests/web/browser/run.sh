#!/usr/bin/env bash
# Runs the page's browser tests: Chromium from Debian, playwright-core from the committed
# lock file, Node's test runner. Exits 77 (skipped) with a message where either cannot
# be had.
#   run.sh KELMAR_HOST KELMAR_PEER SOURCE_DIR WORK_DIR
set -uo pipefail
host=$(realpath "$1") peer=$(realpath "$2") source=$(realpath "$3") work=$4
here=$(cd "$(dirname "$0")" && pwd)

if ! command -v chromium >/dev/null; then
  "$source/scripts/deps-browser.sh" >&2 || true
fi
if ! command -v chromium >/dev/null; then
  echo "SKIPPED: Chromium is not installed and cannot be (scripts/deps-browser.sh)"
  exit 77
fi
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  echo "SKIPPED: Node.js and npm are needed"
  exit 77
fi

# The packages go to the build tree, installed again only when the lock file changes.
mkdir -p "$work"
cp "$here/package.json" "$here/package-lock.json" "$here"/*.test.mjs "$work/"
if ! cmp -s "$work/package-lock.json" "$work/node_modules/.installed-lock" 2>/dev/null; then
  if ! (cd "$work" && npm ci --no-audit --no-fund --loglevel=error >&2); then
    echo "SKIPPED: npm ci failed (no registry?)"
    exit 77
  fi
  cp "$work/package-lock.json" "$work/node_modules/.installed-lock"
fi

# The picture goes to the build tree; KN_UPDATE_DOCS=1 puts it in docs/ instead, so that
# a test run leaves the source tree as it was unless asked.
screenshot=$work/web.png
[ "${KN_UPDATE_DOCS:-0}" = 1 ] && screenshot=$source/docs/web.png
rm -f "$work/skipped"
cd "$work"
KN_HOST=$host KN_PEER=$peer KN_SCREENSHOT=$screenshot \
  node --test --test-reporter=spec page.test.mjs
rc=$?
# The tests say SKIP where Chromium cannot start; pass that on.
[ $rc -eq 0 ] && [ -f "$work/skipped" ] && { cat "$work/skipped"; rm -f "$work/skipped"; exit 77; }
exit $rc
