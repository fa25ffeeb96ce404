# Sourced by the Wine suites: runs the native simulator on a new pseudo-terminal that the
# throwaway prefix maps as a COM port, and stops it when the sourcing script exits.
#
#   start_sim SIMULATOR COMPORT [SIMULATOR OPTIONS...]
#       starts it and waits until it is serving; sets
#         sim_pid    its process
#         sim_work   a temporary folder, removed at exit (also for the caller's files)
#         sim_link   the prefix's link for COMPORT ($QEL_WINEPREFIX/dosdevices/comN)
#         sim_pty    the pseudo-terminal's path
#       its standard output is in $sim_work/sim.out, its messages and trace in $sim_work/sim.err
#   stop_sim
#       stops it (SIGTERM) and sets sim_rc to its exit status
: "${QEL_WINEPREFIX:?QEL_WINEPREFIX must name the prefix folder}"

sim_pid=
sim_rc=
sim_work=$(mktemp -d)
sim_link=
sim_pty=

_sim_cleanup() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$sim_work"
}
trap _sim_cleanup EXIT

start_sim() {
  local sim=$1 port=$2
  shift 2
  [ -x "$sim" ] || { echo "FAIL: no simulator at $sim"; exit 1; }
  local dosdevices="$QEL_WINEPREFIX/dosdevices"
  [ -d "$dosdevices" ] || { echo "FAIL: no prefix at $QEL_WINEPREFIX"; exit 1; }
  sim_link="$dosdevices/${port,,}"
  rm -f "$sim_link"
  "$sim" --pty --link "$sim_link" "$@" >"$sim_work/sim.out" 2>"$sim_work/sim.err" </dev/null &
  sim_pid=$!
  # The first line of its output is the pty's path, printed once the link is in place.
  for _ in $(seq 100); do
    [ -s "$sim_work/sim.out" ] && break
    kill -0 "$sim_pid" 2>/dev/null || { echo "FAIL: the simulator ended"; cat "$sim_work/sim.err"; exit 1; }
    sleep 0.1
  done
  sim_pty=$(head -n 1 "$sim_work/sim.out")
  [ -n "$sim_pty" ] && [ -e "$sim_pty" ] || { echo "FAIL: the simulator gave no pseudo-terminal"; cat "$sim_work/sim.err"; exit 1; }
  echo "simulator on $sim_pty, $port -> $(readlink "$sim_link")"
}

stop_sim() {
  kill -TERM "$sim_pid"
  set +e
  wait "$sim_pid"
  sim_rc=$?
  set -e
  sim_pid=
}
