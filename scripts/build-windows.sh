#!/usr/bin/env bash
# Builds hydrix.dll, hydrix_runtime.dll and hydrix.exe for 32-bit (i686) and 64-bit
# (x86_64) Windows with Debian's MinGW-w64, checks the export and import tables of both
# DLLs of the driver and, with --wine, runs the Windows tests of the 64-bit build under
# Wine.
#
#   scripts/build-windows.sh [--wine] [--station PROGRAM] [--build-dir DIR] [-- CMAKE_ARGS...]
#
# What is missing of the MinGW-w64 posix compilers (and with --wine, wine64) is
# installed with apt-get first; that needs root.
#   --wine       run the Windows tests under Wine (64-bit only: 32-bit Wine cannot be
#                installed on these machines, so the i686 DLL is checked by its tables).
#   --station    the Linux hydrix-station for the tests against the simulator (default:
#                build/tools/hydrix-station when a Linux build has made it); the Linux
#                hydrix beside it is the end-to-end test's reference.
#   CMAKE_ARGS   passed to both configurations, e.g. -DHYDRIX_CALLING_CONVENTION=stdcall
#                -DHYDRIX_COLLECTOR_DLL=collector.dll
#
# The files land in DIR/win32/ and DIR/win64/ (DIR: build-windows).
set -euo pipefail
cd "$(dirname "$0")/.."

wine=0 out=build-windows station=
while [ $# -gt 0 ]; do
    case "$1" in
    --wine) wine=1 ;;
    --build-dir) out=$2; shift ;;
    --station) station=$(realpath "$2"); shift ;;
    --) shift; break ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
    esac
    shift
done
cmake_args=("$@")

packages=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix libcli11-dev nlohmann-json3-dev)
[ "$wine" = 1 ] && packages+=(wine64)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" = 0 ]; then
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
            --no-install-recommends "${missing[@]}"
    else
        echo "missing packages: ${missing[*]} (install them, or run this as root)" >&2
        exit 1
    fi
fi

if [ -z "$station" ] && [ -x build/tools/hydrix-station ]; then
    station=$PWD/build/tools/hydrix-station
fi

jobs=${JOBS:-2}
for arch in i686:win32 x86_64:win64; do
    triple=${arch%%:*} dir=$out/${arch##*:}
    echo "== hydrix.dll, hydrix_runtime.dll and hydrix.exe for $triple in $dir"
    cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-mingw-$triple.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DHYDRIX_WERROR=ON -DHYDRIX_STATION="$station" \
        "${cmake_args[@]}" >/dev/null
    cmake --build "$dir" -j"$jobs"
    # The tables; under Wine also the Windows tests (64-bit only).
    if [ "$wine" = 1 ] && [ "$triple" = x86_64 ]; then
        ctest --test-dir "$dir" --output-on-failure
    else
        ctest --test-dir "$dir" --output-on-failure -R '^hydrix_(dll_tables|runtime_imports|exe_imports)'
    fi
done
echo "== done: hydrix.dll, hydrix_runtime.dll and hydrix.exe in $out/win32/ and $out/win64/"
