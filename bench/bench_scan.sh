#!/usr/bin/env bash
# The bus scan: all 247 addresses with three meters present (ОРВЕК-307 at 5, ИЛЬМ at 17,
# ОРВЕК-223 at 200), first over the stand-in gateway (goal at most 30 s), then over the
# stand-in's pseudo-terminal paced as a 19200-baud line (goal at most 60 s). Prints the
# wall time and the meters found of each. Usage: bench/bench_scan.sh BUILD_DIR
set -euo pipefail
build=${1:?build folder}
work=$(mktemp -d)
sim_pid=
cleanup() {
  [[ -n $sim_pid ]] && kill "$sim_pid" 2>/dev/null
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
cat >"$work/meters.json" <<'JSON'
{"meters": [
  {"family": 0, "address": 5, "model": 307, "serial": "30700005", "key": 3},
  {"family": 1, "address": 17, "model": 4, "serial": "20190719", "key": 4},
  {"family": 2, "address": 200, "model": 223, "serial": "22304518", "key": 9}
]}
JSON

# Starts the stand-in with the given line options and waits until it is ready.
start_sim() {
  "$build"/bin/orvek-metersim --meters "$work/meters.json" "$@" >"$work/sim.out" &
  sim_pid=$!
  for _ in $(seq 100); do
    grep -q '^ready' "$work/sim.out" 2>/dev/null && break
    sleep 0.1
  done
}

stop_sim() {
  kill "$sim_pid" 2>/dev/null
  wait "$sim_pid" 2>/dev/null || true
  sim_pid=
}

status=0
# scan TITLE GOAL_SECONDS LINE_OPTIONS...: the scan's wall time and the meters found; a
# scan that misses a meter makes the run fail, its time means nothing.
scan() {
  local title=$1 goal=$2 wall found verdict
  shift 2
  TIMEFORMAT='%R'
  wall=$( { time "$build"/bin/orvekdata scan --home "$work/home" "$@" \
    >"$work/found.txt" 2>/dev/null; } 2>&1)
  found=$(($(wc -l <"$work/found.txt") - 1))
  verdict=$(awk -v w="$wall" -v g="$goal" 'BEGIN { print (w <= g) ? "met" : "MISSED" }')
  echo "scan: 247 addresses $title, 3 meters"
  printf '  wall %6.1f s (goal at most %d s: %s), meters found: %d of 3\n' "$wall" "$goal" \
    "$verdict" "$found"
  [[ $found == 3 ]] || status=1
}

start_sim --tcp 127.0.0.1:0
port=$(sed -n 's/^tcp 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/sim.out")
scan "over the stand-in gateway" 30 --tcp "127.0.0.1:$port"
stop_sim

start_sim --pty "$work/line" --baud 19200
pty=$(sed -n 's/^pty \(.*\)$/\1/p' "$work/sim.out")
scan "over a pseudo-terminal paced as 19200 baud" 60 --port "$pty" --speed 19200
exit $status
