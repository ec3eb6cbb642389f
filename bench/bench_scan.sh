#!/usr/bin/env bash
# The bus scan over the stand-in gateway: all 247 addresses with three meters present
# (ОРВЕК-307 at 5, ИЛЬМ at 17, ОРВЕК-223 at 200). Prints the wall time (goal at most 30 s)
# and the meters found. Usage: bench/bench_scan.sh BUILD_DIR
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
"$build"/bin/orvek-metersim --meters "$work/meters.json" --tcp 127.0.0.1:0 >"$work/sim.out" &
sim_pid=$!
for _ in $(seq 100); do
  grep -q '^ready' "$work/sim.out" 2>/dev/null && break
  sleep 0.1
done
port=$(sed -n 's/^tcp 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/sim.out")
TIMEFORMAT='%R'
wall=$( { time "$build"/bin/orvekdata scan --home "$work/home" --tcp "127.0.0.1:$port" \
  >"$work/found.txt" 2>/dev/null; } 2>&1)
echo "scan: 247 addresses over the stand-in gateway, 3 meters"
printf '  wall %6.1f s (goal at most 30 s), meters found: %d\n' "$wall" \
  "$(($(wc -l <"$work/found.txt") - 1))"
