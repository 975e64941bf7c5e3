#!/usr/bin/env bash
# Installs what the build needs (Debian/Ubuntu) and configures and builds one tree.
#   scripts/setup.sh [BUILD_DIR] [extra cmake arguments...]
# HYDRIX_TARGETS="a b" builds only those targets (default: everything).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
shift || true

packages=(build-essential cmake libgtest-dev libgmock-dev libbenchmark-dev
          nlohmann-json3-dev libcli11-dev clang libclang-rt-dev binutils pkg-config
          libmodbus-dev mosquitto libmosquitto-dev mosquitto-clients mbpoll libsqlite3-dev
          libsystemd-dev libcpp-httplib-dev prometheus protobuf-c-compiler libprotobuf-c-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
fi

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
targets=()
for t in ${HYDRIX_TARGETS:-}; do targets+=(--target "$t"); done
# Progress lines are left out; warnings, errors and everything else come through.
status=0
cmake --build "$build" -j"$(nproc)" "${targets[@]}" 2>&1 |
  { grep -v -E '^\[ *[0-9]+%\] (Building|Linking|Built target)' || true; } || status=$?
exit "$status"
