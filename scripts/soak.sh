#!/usr/bin/env bash
# The fault soak: builds bench_soak in BUILD_DIR and runs it for SECONDS with faults.
#   scripts/soak.sh [BUILD_DIR] [SECONDS] [bench_soak options...]
# HYDRIX_CMAKE_ARGS adds cmake arguments when the tree is configured (for example
# "-DHYDRIX_SANITIZE=address -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE=-O1").
# Exits with the soak's status: 0 only when nothing was lost, duplicated or misplaced.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
seconds=${2:-120}
shift 2 || shift $# || true
read -r -a extra <<< "${HYDRIX_CMAKE_ARGS:-}"
if [ -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" "${extra[@]}" -DHYDRIX_BENCH=ON >/dev/null
  cmake --build "$build" -j"$(nproc)" --target bench_soak 2>&1 |
    { grep -v -E '^\[ *[0-9]+%\] (Building|Linking|Built target)' || true; }
else
  HYDRIX_TARGETS=bench_soak scripts/setup.sh "$build" "${extra[@]}" -DHYDRIX_BENCH=ON
fi
echo "soak: $build/bench/bench_soak --seconds $seconds $*"
exec "$build/bench/bench_soak" --seconds "$seconds" "$@"
