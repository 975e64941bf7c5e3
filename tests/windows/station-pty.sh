#!/usr/bin/env bash
# Serves the station simulator (the Linux hydrix-station) on a pseudo-terminal reached
# through a link, for the Windows tests' COM6.
#   station-pty.sh --start STATION LINK PIDFILE [STATION_OPTIONS...]   returns once LINK exists
#   station-pty.sh --stop LINK PIDFILE
set -euo pipefail
case "${1:-}" in
--start)
    station=$2 link=$3 pidfile=$4
    shift 4
    out="$pidfile.out"
    rm -f "$link" "$out"
    setsid "$station" --pty "$@" </dev/null >"$out" 2>&1 &
    echo $! >"$pidfile"
    for _ in $(seq 500); do
        # The station's output file may not be there yet (its shell opens it after the
        # fork); a missing file is "not yet", never a reason for set -e to end the script.
        path=$(sed -n 's/^pty: //p' "$out" 2>/dev/null || true)
        if [ -n "$path" ]; then
            ln -s "$path" "$link"
            exit 0
        fi
        kill -0 "$(cat "$pidfile")" 2>/dev/null || break
        sleep 0.01
    done
    echo "the station did not come up:" >&2
    cat "$out" >&2
    exit 1
    ;;
--stop)
    link=$2 pidfile=$3
    [ -f "$pidfile" ] && kill "$(cat "$pidfile")" 2>/dev/null || true
    rm -f "$link" "$pidfile" "$pidfile.out"
    ;;
*)
    echo "usage: $0 --start STATION LINK PIDFILE [STATION_OPTIONS...] | --stop LINK PIDFILE" >&2
    exit 2
    ;;
esac
