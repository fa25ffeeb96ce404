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

source "$(dirname "$0")/../support/wine_sim.sh"
high_link="$QEL_WINEPREFIX/dosdevices/${high,,}"
rm -f "$high_link"
trap 'rm -f "$high_link"; _sim_cleanup' EXIT
start_sim "$sim" "$port"
ln -sfn "$sim_pty" "$high_link"

set +e
QEL_WINE_PORT=$port QEL_WINE_PORT_HIGH=$high "$wine_run" "$@"
rc=$?
set -e
if [ $rc -ne 0 ]; then
  echo "--- simulator log ---" >&2
  tail -n 50 "$sim_work/sim.err" >&2
fi
exit $rc
