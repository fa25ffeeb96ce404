#!/usr/bin/env bash
# End to end under Wine: the native simulator serves a new pty, linked as COM7 in the throwaway
# Wine prefix; the Win32 host drives QELPRV.DLL on "COM7"; then the simulator is stopped and its
# trace must show the host's requests as the controller received them.
#   wine_e2e.sh PRV2SIM WINE_RUN HOST_EXE
set -euo pipefail
sim=${1:?prv2sim}
wine_run=${2:?wine-run.sh}
host=${3:?the Win32 host program}
: "${QEL_WINEPREFIX:?QEL_WINEPREFIX must name the prefix folder}"

[ -x "$sim" ] || { echo "FAIL: no simulator at $sim"; exit 1; }
[ -d "$QEL_WINEPREFIX/dosdevices" ] || { echo "FAIL: no prefix at $QEL_WINEPREFIX"; exit 1; }
link="$QEL_WINEPREFIX/dosdevices/com7"

work=$(mktemp -d)
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

"$sim" --pty --link "$link" --trace >"$work/out" 2>"$work/trace" &
sim_pid=$!
# The first line of its output is the pty's path, printed once the link is in place.
for _ in $(seq 100); do
  [ -s "$work/out" ] && break
  kill -0 "$sim_pid" 2>/dev/null || { echo "FAIL: the simulator ended"; cat "$work/trace"; exit 1; }
  sleep 0.1
done
[ -s "$work/out" ] || { echo "FAIL: the simulator printed no path"; exit 1; }
echo "simulator on $(head -n1 "$work/out"), COM7 -> $(readlink "$link")"

set +e
"$wine_run" "$host" COM7
host_rc=$?
set -e

kill -TERM "$sim_pid"
set +e
wait "$sim_pid"
sim_rc=$?
set -e
sim_pid=
echo "--- simulator trace"
cat "$work/trace"

status=0
[ "$host_rc" -eq 0 ] || { echo "FAIL: the Win32 host exited with $host_rc"; status=1; }
[ "$sim_rc" -eq 0 ] || { echo "FAIL: the simulator exited with $sim_rc"; status=1; }
[ ! -e "$link" ] && [ ! -L "$link" ] || { echo "FAIL: the simulator left $link behind"; status=1; }
# What the controller received, byte for byte as the trace shows it.
for request in '$SP<CR>' '$SP=22.500000<CR>' '@VLV=65535<CR>' '$NONE<CR>' '@HRS=9<CR>'; do
  grep -F " RX #" "$work/trace" | grep -qF "$request" || { echo "FAIL: the controller never received $request"; status=1; }
done
exit $status
