#!/usr/bin/env bash
# Runs a Windows program under Wine in the build tree's throwaway prefix.
#   wine-run.sh --start   create the prefix if needed and start a persistent wineserver
#   wine-run.sh --stop    stop that prefix's wineserver
#   wine-run.sh PROGRAM [ARGS...]
# The prefix is $QEL_WINEPREFIX (never the user's ~/.wine). Wine's background processes get
# none of our standard streams, or the test runner would wait for them to close.
set -euo pipefail
: "${QEL_WINEPREFIX:?QEL_WINEPREFIX must name the prefix folder}"
export WINEPREFIX="$QEL_WINEPREFIX"
export WINEARCH=win32
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

start_server() {
  wineserver -p </dev/null >/dev/null 2>&1 || true
}

ensure_prefix() {
  [ -f "$WINEPREFIX/system.reg" ] && return 0
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      wineboot -i </dev/null >/dev/null 2>&1 9>&- || true
      wineserver -w 9>&- || true
    fi
  ) 9>"$WINEPREFIX.lock"
}

case "${1:-}" in
  --start)
    ensure_prefix
    start_server
    # Wine's services, started now with no streams of ours, then serve every launch.
    wineboot </dev/null >/dev/null 2>&1 || true
    exit 0 ;;
  --stop)
    wineserver -k </dev/null >/dev/null 2>&1 || true
    exit 0 ;;
esac

ensure_prefix
# A server already running answers at once; otherwise this one, without our streams, serves
# the launch.
start_server
# The program's output goes through a file: a Wine service that this launch starts inherits
# that file, not the test runner's pipe.
out=$(mktemp)
trap 'rm -f "$out"' EXIT
set +e
wine "$@" >"$out" 2>&1 </dev/null
rc=$?
set -e
cat "$out"
exit $rc
