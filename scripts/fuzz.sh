#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for SECONDS (default 60).
#   scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
targets=$(cd fuzz && ls *.cpp 2>/dev/null | sed 's/^/fuzz_/; s/\.cpp$//' | tr '\n' ' ')
CC=clang CXX=clang++ HYDRIX_TARGETS="$targets" scripts/setup.sh build-fuzz \
  -DHYDRIX_FUZZ=ON -DHYDRIX_TESTS=OFF -DHYDRIX_BENCH=OFF
shopt -s nullglob
targets=(build-fuzz/fuzz/fuzz_*)
if [ ${#targets[@]} -eq 0 ]; then echo "fuzz: no targets"; exit 0; fi
for t in "${targets[@]}"; do
  name=$(basename "$t")
  corpus="fuzz/corpus-$name"
  mkdir -p "$corpus"
  seeds=()
  [ -d "fuzz/seeds/${name#fuzz_}" ] && seeds=("fuzz/seeds/${name#fuzz_}")
  echo "fuzz: $name for ${seconds}s"
  "$t" -max_total_time="$seconds" -print_final_stats=0 "$corpus" "${seeds[@]}" 2>&1 | tail -2
done
