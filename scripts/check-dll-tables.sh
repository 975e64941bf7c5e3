#!/usr/bin/env bash
# Checks the export and import tables of a hydrix.dll:
#   - it exports exactly the eleven entry points, with plain names;
#   - it imports only from system DLLs (KERNEL32, msvcrt or the UCRT's api-ms-win-crt-*,
#     USER32) and from the host's three libraries, and from those only the host services,
#     with plain names.
# Usage: check-dll-tables.sh OBJDUMP DLL COLLECTOR_DLL PROFILE_DLL TIME_DLL
#        check-dll-tables.sh --imports OBJDUMP FILE [DLL...]
#   The second form checks only that FILE (the host runtime, hydrix.exe) imports from
#   system DLLs (also ADVAPI32 here) and the DLLs named, nothing else: all of the C++
#   runtime is linked in.
set -euo pipefail
if [ "${1:-}" = --imports ]; then
    [ $# -ge 3 ] || { echo "usage: $0 --imports OBJDUMP FILE [DLL...]" >&2; exit 2; }
    objdump=$2 file=$3
    shift 3
    allowed=$(printf '%s\n' "$@" | tr '[:upper:]' '[:lower:]')
    bad=0
    froms=$("$objdump" -p "$file" | awk '/^[ \t]*DLL Name: / { print tolower($3) }')
    [ -n "$froms" ] || { echo "FAIL: $file: no import table found"; exit 1; }
    for from in $froms; do
        case "$from" in
            kernel32.dll | msvcrt.dll | user32.dll | advapi32.dll | api-ms-win-crt-*.dll) continue ;;
        esac
        if ! grep -qxF "$from" <<<"$allowed"; then
            echo "FAIL: $file imports from $from"
            bad=1
        fi
    done
    echo "$file: imports from:" $froms
    [ "$bad" = 0 ] && echo passed
    exit "$bad"
fi
if [ $# -ne 5 ]; then
    echo "usage: $0 OBJDUMP DLL COLLECTOR_DLL PROFILE_DLL TIME_DLL" >&2
    exit 2
fi
objdump=$1 dll=$2
host_dlls=$(printf '%s\n' "$3" "$4" "$5" | tr '[:upper:]' '[:lower:]' | sort -u)

entry_points="canDisconnect drvAddChan drvHndlTimer drvInitComm drvInstall drvQueryState drvStart drvStop
drvUnInstall postEvent preEvent"
services="getMsgFromSapOq insMsgToSapOq putMsgToSapOq putMsgToSapIq getMsgFromPool putMsgToPool getDap
timeExpired memswap setDrvExtInterface textOutput textOutputParm getCommHandle reopenCommHandle
initOverlapped readComm writeComm getDefaultCommSettings configComm myGetPrivateProfileInt
myGetPrivateProfileString logEvent offsetTZ addORVELTimeDay zeroORVELTime isZeroORVELTime"

service_list=$(printf '%s\n' $services)
tables=$("$objdump" -p "$dll")
failed=0
fail() { echo "FAIL: $*"; failed=1; }

# Export names: the lines "[   n] name" of the ordinal/name pointer table.
exports=$(printf '%s\n' "$tables" | awk '
    /^\[Ordinal\/Name Pointer\] Table/ { inside = 1; next }
    inside && /^[ \t]*\[ *[0-9]+\] / { sub(/^[ \t]*\[ *[0-9]+\] /, ""); print; next }
    inside && NF == 0 { inside = 0 }' | sort)
want=$(printf '%s\n' $entry_points | sort)
if [ "$exports" != "$want" ]; then
    fail "exports differ from the eleven entry points:"
    diff <(printf '%s\n' "$want") <(printf '%s\n' "$exports") || true
fi

# Imports: "DLL Name: x" starts a DLL's list; its member lines end in the name.
imports=$(printf '%s\n' "$tables" | awk '
    /^[ \t]*DLL Name: / { dll = tolower($3); print dll " -"; next }
    dll != "" && /^[ \t]*[0-9a-f]+[ \t]+[0-9]+[ \t]+[^ \t]+[ \t]*$/ { print dll " " $3; next }
    /^[ \t]*$/ { }
    /^The Export Tables/ { dll = "" }')
[ -n "$imports" ] || fail "no import table found"
while read -r from name; do
    case "$from" in
        kernel32.dll | msvcrt.dll | user32.dll | api-ms-win-crt-*.dll) continue ;;
    esac
    # Here-strings, not pipes: grep -q stops reading at the first match, and with pipefail
    # the writer's SIGPIPE would count as "not found".
    if ! grep -qxF "$from" <<<"$host_dlls"; then
        fail "imports from $from, which is neither a system DLL nor a host library"
        continue
    fi
    [ "$name" = "-" ] && continue
    if ! grep -qxF "$name" <<<"$service_list"; then
        fail "imports $name from $from, which is no host service"
    fi
done <<<"$imports"
echo "$dll: $(printf '%s\n' "$exports" | grep -c .) exports; imports from:" \
    $(printf '%s\n' "$imports" | awk '{ print $1 }' | sort -u)
if [ "$failed" -ne 0 ]; then
    echo "FAILED"
    exit 1
fi
echo "passed"
