#!/usr/bin/env bash
# Builds hydrix.dll, hydrix_runtime.dll and hydrix.exe for 32-bit (i686, with the cdecl
# and with the stdcall calling convention) and 64-bit (x86_64) Windows with Debian's
# MinGW-w64, checks the export and import tables of the DLLs and, with --wine, runs every
# Windows test of each build under Wine: the 32-bit builds on a 32-bit Wine unpacked into
# the build folder (no system package is installed for it), the 64-bit one on wine64.
#
#   scripts/build-windows.sh [--wine] [--station PROGRAM] [--build-dir DIR] [-- CMAKE_ARGS...]
#
# What is missing of the MinGW-w64 posix compilers (and with --wine, wine64) is
# installed with apt-get first; that needs root.
#   --wine       run the Windows tests under Wine. The first run fetches the 32-bit Wine
#                (about 230 MB of i386 packages, 1.1 GB unpacked, kept in DIR/wine32/);
#                it adds the i386 architecture to dpkg (dpkg --add-architecture) for that.
#   --station    the Linux hydrix-station for the tests against the simulator (default:
#                build/tools/hydrix-station when a Linux build has made it); the Linux
#                hydrix beside it is the end-to-end test's reference. With --wine and no
#                Linux build, both are built in build/ first.
#   CMAKE_ARGS   passed to every configuration, e.g. -DHYDRIX_COLLECTOR_DLL=collector.dll
#   HYDRIX_WINDOWS_CONFIGS  the builds, as "TRIPLE:FOLDER:CONVENTION ..." (default:
#                "i686:win32:cdecl i686:win32-stdcall:stdcall x86_64:win64:cdecl")
#
# The files land in DIR/win32/, DIR/win32-stdcall/ and DIR/win64/ (DIR: build-windows).
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

packages=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix libcli11-dev nlohmann-json3-dev libgtest-dev)
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

# 32-bit Wine in a folder of the build's own: the i386 packages that installing wine32
# would bring, fetched with apt-get download and unpacked with dpkg -x, so that no system
# package is installed or upgraded (installing wine32:i386 would upgrade dozens). The
# debs are kept in $out/wine32/debs: a second run downloads nothing. Two wrappers in
# $out/wine32/bin run the unpacked wine and wineserver with their own libraries.
wine32_root() {
    local base=$PWD/$out/wine32
    local root=$base/root debs=$base/debs bin=$base/bin
    if [ ! -x "$bin/wine" ] || [ ! -x "$root/usr/lib/wine/wine" ]; then
        if ! dpkg --print-foreign-architectures | grep -qx i386; then
            [ "$(id -u)" = 0 ] || { echo "32-bit Wine: dpkg --add-architecture i386 needs root" >&2; exit 1; }
            dpkg --add-architecture i386
            apt-get update -qq >&2
        fi
        mkdir -p "$debs"
        # .complete: every package came (an interrupted download is made again).
        if [ ! -f "$debs/.complete" ]; then
            rm -f "$debs"/*.deb
            # The packages a real install would add, as apt itself resolves them.
            local names
            names=$(apt-get install -s -qq wine32:i386 | sed -n 's/^Inst \([^ ]*:i386\) .*/\1/p')
            if [ -z "$names" ]; then
                apt-get update -qq >&2
                names=$(apt-get install -s -qq wine32:i386 | sed -n 's/^Inst \([^ ]*:i386\) .*/\1/p')
            fi
            [ -n "$names" ] || { echo "32-bit Wine: apt resolves no i386 packages for wine32" >&2; exit 1; }
            echo "== 32-bit Wine: downloading $(wc -w <<<"$names") i386 packages to $debs" >&2
            # With MinGW's zlib1.dll (libz-mingw-w64), which libwine's install step copies.
            # shellcheck disable=SC2086
            (cd "$debs" && apt-get download -qq $names libz-mingw-w64) >&2
            touch "$debs/.complete"
        fi
        rm -rf "$root"
        mkdir -p "$root"
        for deb in "$debs"/*.deb; do dpkg -x "$deb" "$root"; done
        # libwine's post-install step: Wine's zlib1.dll made from MinGW's (libz-mingw-w64),
        # marked as a Wine builtin DLL in its DOS header.
        local zlib=$root/usr/i686-w64-mingw32/lib/zlib1.dll
        local dll=$root/usr/lib/i386-linux-gnu/wine/i386-windows/zlib1.dll
        { head -c 64 "$zlib"; printf 'Wine builtin DLL'; head -c 16 /dev/zero; tail -c +97 "$zlib"; } >"$dll"
        mkdir -p "$bin"
        local libs="$root/usr/lib/i386-linux-gnu:$root/lib/i386-linux-gnu"
        for tool in wine:wine wineserver:wineserver32; do
            cat >"$bin/${tool%%:*}" <<WRAPPER
#!/bin/sh
# 32-bit Wine unpacked in $root (made by scripts/build-windows.sh).
export LD_LIBRARY_PATH="$libs\${LD_LIBRARY_PATH:+:\$LD_LIBRARY_PATH}"
export WINEARCH=win32 WINESERVER="$bin/wineserver"
exec "$root/usr/lib/wine/${tool##*:}" "\$@"
WRAPPER
            chmod +x "$bin/${tool%%:*}"
        done
        # Wine starts the wineserver beside its loader first: Debian's script there looks
        # for the system's wineserver32, so it gives way to the wrapper.
        ln -sf "$bin/wineserver" "$root/usr/lib/wine/wineserver"
    fi
    echo "$bin/wine"
}

if [ -z "$station" ] && [ -x build/tools/hydrix-station ] && [ -x build/tools/hydrix ]; then
    station=$PWD/build/tools/hydrix-station
fi
if [ "$wine" = 1 ] && [ -z "$station" ]; then
    # The tests against the simulator and the end-to-end test need the Linux
    # hydrix-station, and the Linux hydrix as the reference: built here when missing.
    echo "== no Linux build beside this one: building hydrix-station and hydrix in build/"
    HYDRIX_TARGETS="hydrix-station hydrix-cli" scripts/setup.sh build -DHYDRIX_WERROR=ON
    station=$PWD/build/tools/hydrix-station
fi

# The builds: 32-bit with either calling convention (the product), and 64-bit. Under
# Wine each runs every Windows test, 32-bit ones on the 32-bit Wine; otherwise the
# export and import tables are checked.
configs=("i686:win32:cdecl" "i686:win32-stdcall:stdcall" "x86_64:win64:cdecl")
[ -n "${HYDRIX_WINDOWS_CONFIGS:-}" ] && read -r -a configs <<<"$HYDRIX_WINDOWS_CONFIGS"
wine32=
if [ "$wine" = 1 ] && [[ " ${configs[*]}" == *" i686:"* ]]; then
    wine32=$(wine32_root)
fi
jobs=${JOBS:-2}
for config in "${configs[@]}"; do
    IFS=: read -r triple name convention <<<"$config"
    dir=$out/$name
    wine_args=()
    if [ "$wine" = 1 ]; then
        if [ "$triple" = i686 ]; then
            wine_args=(-DHYDRIX_WINE="$wine32" -DHYDRIX_WINESERVER="$(dirname "$wine32")/wineserver")
        else
            wine_args=(-DHYDRIX_WINE=/usr/lib/wine/wine64 -DHYDRIX_WINESERVER=/usr/lib/wine/wineserver)
        fi
    fi
    echo "== hydrix.dll, hydrix_runtime.dll and hydrix.exe for $triple ($convention) in $dir"
    start=$(date +%s)
    cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-mingw-$triple.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DHYDRIX_WERROR=ON -DHYDRIX_STATION="$station" \
        -DHYDRIX_CALLING_CONVENTION="$convention" "${wine_args[@]}" "${cmake_args[@]}" >/dev/null
    cmake --build "$dir" -j"$jobs"
    if [ "$wine" = 1 ]; then
        ctest --test-dir "$dir" --output-on-failure
    else
        ctest --test-dir "$dir" --output-on-failure -R '^hydrix_(dll_tables|runtime_imports|exe_imports)'
    fi
    echo "== $triple ($convention): $(($(date +%s) - start)) s"
done
echo "== done: hydrix.dll, hydrix_runtime.dll and hydrix.exe of each build in $out/"
