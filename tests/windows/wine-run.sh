#!/usr/bin/env bash
# Runs a Windows test program under Wine, in the prefix and with the wineserver that
# the environment names (WINEPREFIX, WINESERVER, HYDRIX_WINE, and HYDRIX_COM5 to
# HYDRIX_COM11, the Unix paths that COM5 to COM11 stand for; set by the build).
#   wine-run.sh --start   create the prefix if needed and start a persistent wineserver
#   wine-run.sh --stop    end the wineserver
#   wine-run.sh PROGRAM [ARGS...]
set -euo pipefail
: "${WINEPREFIX:?}" "${WINESERVER:?}" "${HYDRIX_WINE:?}"
export WINEPREFIX WINEDEBUG="${WINEDEBUG:--all}" WINESERVER
case "${1:-}" in
--start)
    mkdir -p "$WINEPREFIX"
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        # No display here: no dialogs, no Mono or Gecko installers.
        # Its output goes to a log: processes left running would hold the test's pipes.
        WINEDLLOVERRIDES="mscoree,mshtml=" "$HYDRIX_WINE" wineboot --init </dev/null \
            >"$WINEPREFIX/wineboot.log" 2>&1
    fi
    # COM5 to COM11 are the Unix paths named in HYDRIX_COM5 to HYDRIX_COM11 (links to
    # pseudo-terminals). Not through dosdevices links: Wine rewrites those to the
    # machine's real serial ports.
    for port in COM5 COM6 COM7 COM8 COM9 COM10 COM11; do
        var=HYDRIX_$port
        [ -n "${!var:-}" ] || continue
        "$HYDRIX_WINE" reg add 'HKLM\Software\Wine\Ports' /v "$port" /d "${!var}" /f \
            </dev/null >/dev/null 2>&1
    done
    # The port mapping is read when the server and its services start: a fresh start.
    "$WINESERVER" -k 2>/dev/null || true
    "$WINESERVER" -w
    # (Fails when a server already runs for the prefix: that one serves.)
    "$WINESERVER" -p </dev/null >/dev/null 2>&1 || true
    # The first program of a session starts Wine's system services, which then live as
    # long as the wineserver: started here, they do not hold a test's output open.
    "$HYDRIX_WINE" cmd /c exit </dev/null >/dev/null 2>&1
    ;;
--stop)
    "$WINESERVER" -k || true
    ;;
*)
    exec "$HYDRIX_WINE" "$@" </dev/null
    ;;
esac
