#!/usr/bin/env bash
# Installs Debian's Chromium for the page's browser tests (about 125 MB, so apart from
# the main list). Idempotent.
exec bash "$(dirname "$0")/deps.sh" chromium
