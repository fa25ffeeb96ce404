#!/usr/bin/env bash
# Runs a Windows test program under Wine with the controller simulator on the other end of a
# pseudo-terminal, which the throwaway prefix maps as two COM ports.
#   run_with_sim.sh SIMULATOR WINE_RUN PORT HIGH_PORT PROGRAM [ARGS...]
# PORT and HIGH_PORT are COM port names (say COM8 and COM38); the program finds them in
# QEL_WINE_PORT and QEL_WINE_PORT_HIGH. The simulator is stopped and the links removed at the end.
set -euo pipefail
: "${QEL_WINEPREFIX:?QEL_WINEPREFIX must name the prefix folder}"
sim=$1 wine_run=$2 port=$3 high=$4
shift 4

dosdevices="$QEL_WINEPREFIX/dosdevices"
link="$dosdevices/${port,,}"
high_link="$dosdevices/${high,,}"
mkdir -p "$dosdevices"
rm -f "$link" "$high_link"

work=$(mktemp -d)
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -f "$high_link"
  rm -rf "$work"
}
trap cleanup EXIT

"$sim" --pty --link "$link" >"$work/paths" 2>"$work/sim.log" </dev/null &
sim_pid=$!

# The simulator prints the slave's path as its first line once the line is up.
for _ in $(seq 100); do
  [ -s "$work/paths" ] && break
  if ! kill -0 "$sim_pid" 2>/dev/null; then
    echo "the simulator did not start:" >&2
    cat "$work/sim.log" >&2
    exit 1
  fi
  sleep 0.1
done
pty=$(head -n 1 "$work/paths")
if [ -z "$pty" ] || [ ! -e "$pty" ]; then
  echo "no pseudo-terminal from the simulator" >&2
  cat "$work/sim.log" >&2
  exit 1
fi
ln -sfn "$pty" "$high_link"

set +e
QEL_WINE_PORT=$port QEL_WINE_PORT_HIGH=$high "$wine_run" "$@"
rc=$?
set -e
if [ $rc -ne 0 ]; then
  echo "--- simulator log ---" >&2
  tail -n 50 "$work/sim.log" >&2
fi
exit $rc
