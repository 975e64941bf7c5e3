#!/usr/bin/env bash
# Every test: set up, build, and run the whole suite with ctest.
#   scripts/test.sh [BUILD_DIR] [extra cmake arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
shift || true
scripts/setup.sh "$build" "$@"
# The Sparkplug tests' host application: node with the Eclipse Tahu codec and an MQTT
# client from npm, as the lock file pins them.
if ! command -v npm >/dev/null; then
  sudo_cmd=$([ "$(id -u)" = 0 ] || echo sudo)
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq nodejs npm >/dev/null
fi
(cd tests/serve/sparkplug && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
ctest --test-dir "$build" --output-on-failure -j2 --timeout 600
