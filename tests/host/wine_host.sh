#!/usr/bin/env bash
# qelhost.exe under Wine against the native simulator: the simulator serves a new pty that the
# throwaway prefix maps as COM9, and qelhost.exe drives QELPRV.DLL on "COM9" with each
# subcommand and output format; its exit status and output are checked, and the simulator's
# trace shows what the controller received.
#   wine_host.sh PRV2SIM WINE_RUN QELHOST_EXE
set -euo pipefail
sim=${1:?prv2sim}
wine_run=${2:?wine-run.sh}
host=${3:?qelhost.exe}
source "$(dirname "$0")/../support/wine_sim.sh"
start_sim "$sim" COM9 --trace
link=$sim_link
work=$sim_work

status=0
n=0
# run EXPECTED_STATUS ARGS...: runs qelhost.exe; its output (line ends made LF) is in $out.
run() {
  local expected=$1
  shift
  n=$((n + 1))
  out="$work/run$n"
  set +e
  "$wine_run" "$host" "$@" >"$out.raw" 2>&1
  local rc=$?
  set -e
  tr -d '\r' <"$out.raw" >"$out"
  echo "--- qelhost.exe $* -> $rc"
  cat "$out"
  if [ "$rc" -ne "$expected" ]; then
    echo "FAIL: exit status $rc, expected $expected"
    status=1
  fi
}
expect() {  # TEXT: in the output of the last run
  grep -qF -- "$1" "$out" || { echo "FAIL: no \"$1\" in the output"; status=1; }
}
expect_lines() {  # COUNT PATTERN: lines of the last run's output that match
  local got
  got=$(grep -cE -- "$2" "$out" || true)
  [ "$got" -eq "$1" ] || { echo "FAIL: $got lines match $2, expected $1"; status=1; }
}

run 0 read --port COM9 '$SP' @VLV
expect '$SP = 21 (float, ok)'
expect '@VLV = 35 (word, ok)'
expect '[32] QELPRV: Landis&Stafea Driver loaded successfully.'
expect_lines 1 '^[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} \[32\] QELPRV> version compiled on '

run 0 write --port COM9 '$SP=22.5' @FAN=0
expect '$SP = 22.5 (float): ok (0)'
expect '@FAN = 0 (word): ok (0)'

run 0 read --port COM9 '$SP'
expect '$SP = 22.5 (float, ok)'

run 0 poll --port COM9 --count 2 --interval 100 --csv '$SP' @HRS
expect 'time,cycle,gate,type,result,rc,value,last_change,failures'
expect_lines 2 '^[0-9T:.Z-]+,[12],\$SP,float,ok,0,22\.5,[0-9T:.Z-]+,0$'
expect_lines 2 '^[0-9T:.Z-]+,[12],@HRS,word,ok,0,[0-9]+,[0-9T:.Z-]+,0$'

run 0 poll --port COM9 --count 2 --interval 0 --json @FAN
grep '^{' "$out" >"$work/json"
python3 - "$work/json" <<'PY' || status=1
import json, sys
rows = [json.loads(line) for line in open(sys.argv[1])]
assert len(rows) == 2, rows
for i, r in enumerate(rows):
    assert (r["cycle"], r["gate"], r["type_code"], r["rc"], r["value"]) == (i + 1, "@FAN", 6, 0, 0), r
PY

run 0 poll --port COM9 --count 1 '$OAT'
expect_lines 1 '^TIME +CYCLE +GATE +TYPE +RESULT +VALUE +LAST CHANGE +FAILURES$'
expect_lines 1 '^[0-9:.]+ +1 +\$OAT +float +ok +[0-9.]+ +[0-9:.]+ +0$'

run 1 write --port COM9 '$OAT=1'
expect 'CheckResponseData() Error: Tag $OAT, ERROR 82'

run 1 define --port COM9 '$x' x
expect '$x: accepted (0), type 3 (float)'
expect 'x: refused (1), type 3 (float)'

run 2 read --port COM29 '$SP'
expect 'QELPR : Fail to open COM29'

run 3 read '$SP'
expect '--port'

run 0 --help
expect 'point --port at a COM'

stop_sim
echo "--- simulator trace"
cat "$sim_work/sim.err"
[ "$sim_rc" -eq 0 ] || { echo "FAIL: the simulator exited with $sim_rc"; status=1; }
for request in '$SP=22.500000<CR>' '@FAN=0<CR>' '$OAT=1.000000<CR>'; do
  grep -F " RX #" "$sim_work/sim.err" | grep -qF "$request" || { echo "FAIL: the controller never received $request"; status=1; }
done
[ "$status" -eq 0 ] && echo "PASS"
exit $status
