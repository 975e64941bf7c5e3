#!/usr/bin/env bash
# Every test: set up, build, and run the whole suite with ctest.
#   scripts/test.sh [BUILD_DIR] [extra cmake arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
shift || true
scripts/setup.sh "$build" "$@"
ctest --test-dir "$build" --output-on-failure -j2 --timeout 600
