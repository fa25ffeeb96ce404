#!/usr/bin/env bash
# End to end under Wine: the native simulator serves a new pty, linked as COM7 in the throwaway
# Wine prefix; the Win32 host drives QELPRV.DLL on "COM7"; then the simulator is stopped and its
# trace must show the host's requests as the controller received them.
#   wine_e2e.sh PRV2SIM WINE_RUN HOST_EXE
set -euo pipefail
sim=${1:?prv2sim}
wine_run=${2:?wine-run.sh}
host=${3:?the Win32 host program}
source "$(dirname "$0")/../support/wine_sim.sh"
start_sim "$sim" COM7 --trace
link=$sim_link

set +e
"$wine_run" "$host" COM7
host_rc=$?
set -e

stop_sim
echo "--- simulator trace"
cat "$sim_work/sim.err"

status=0
[ "$host_rc" -eq 0 ] || { echo "FAIL: the Win32 host exited with $host_rc"; status=1; }
[ "$sim_rc" -eq 0 ] || { echo "FAIL: the simulator exited with $sim_rc"; status=1; }
[ ! -e "$link" ] && [ ! -L "$link" ] || { echo "FAIL: the simulator left $link behind"; status=1; }
# What the controller received, byte for byte as the trace shows it.
for request in '$SP<CR>' '$SP=22.500000<CR>' '@VLV=65535<CR>' '$NONE<CR>' '@HRS=9<CR>'; do
  grep -F " RX #" "$sim_work/sim.err" | grep -qF "$request" || { echo "FAIL: the controller never received $request"; status=1; }
done
exit $status
