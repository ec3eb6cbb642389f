#!/usr/bin/env bash
# The batch read-out against its lines: 8 saved configurations on 4 stand-in gateways
# (two ОРВЕК-307 meters each, 40 hourly records, every reply delayed 60 ms as a reply of
# about 110 bytes takes at 19200 baud), read by "batch --jobs 4", against each gateway's
# two configurations read alone. Prints the wall times, their ratio (the batch against
# the slowest gateway alone) and the CPU the batch and its read-outs used per read-out
# running. Usage: bench/bench_batch.sh BUILD_DIR
set -euo pipefail
build=${1:?build folder}
program=$build/bin/orvekdata
sim=$build/bin/orvek-metersim
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

meter() {
  printf '{"family":0,"address":%d,"model":307,"serial":"%08d","key":%d,' "$1" "$2" "$2"
  printf '"depth":{"hourly":40},"faults":{"delayMs":60}}'
}

mkdir -p "$work/home"
ini=$'[General]\r\nGlobalTimeOut=1000\r\nGlobalTry=2\r\n'
for g in 1 2 3 4; do
  printf '{"meters":[%s,%s]}' "$(meter 1 $((g * 10 + 1)))" "$(meter 2 $((g * 10 + 2)))" \
    >"$work/meters$g.json"
  "$sim" --meters "$work/meters$g.json" --tcp 127.0.0.1:0 >"$work/sim$g.out" &
  pids+=($!)
done
ports=()
for g in 1 2 3 4; do
  for _ in $(seq 100); do
    grep -q '^ready' "$work/sim$g.out" 2>/dev/null && break
    sleep 0.1
  done
  ports+=("$(sed -n 's/^tcp 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/sim$g.out")")
done
for g in 1 2 3 4; do
  for a in 1 2; do
    ini+="[G${g}M${a}]"$'\r\n'"cbTCP=1"$'\r\n'"edADDR=127.0.0.1"$'\r\n'
    ini+="sePort=${ports[g - 1]}"$'\r\n'"edAddress=$a"$'\r\n'"cbArcHour=1"$'\r\n'
  done
done
printf '%s' "$ini" >"$work/home/OrvekData.ini"
from=$(date -d '-3 days' +%F)

# Runs the batch with the given arguments; prints "wall cpu" in seconds, the CPU of the
# batch and of every read-out it started (the shell's time counts the processes waited for).
measure() {
  local TIMEFORMAT='%R %U %S' times
  times=$( { time "$program" batch --home "$work/home" --from "$from" "$@" \
    >/dev/null 2>&1; } 2>&1) || {
    echo "bench_batch: batch $* did not read every meter" >&2
    exit 1
  }
  echo "$times" | tail -n 1 | awk '{print $1, $2 + $3}'
}

echo "batch: 8 configurations on 4 gateways, 2 x 40 hourly records each, replies at 60 ms"
slowest=0
for g in 1 2 3 4; do
  read -r wall _ < <(measure --jobs 1 "G${g}M1" "G${g}M2")
  [[ -n ${wall:-} ]] || exit 1
  printf '  gateway %d alone      %6.1f s\n' "$g" "$wall"
  slowest=$(awk -v a="$wall" -v b="$slowest" 'BEGIN {print (a > b) ? a : b}')
done
read -r wall cpu < <(measure --jobs 4 --all)
[[ -n ${wall:-} ]] || exit 1
printf '  batch --jobs 4        %6.1f s\n' "$wall"
awk -v w="$wall" -v s="$slowest" -v c="$cpu" 'BEGIN {
  printf "  ratio to the slowest  %6.3f (goal at most 1.15)\n", w / s
  printf "  CPU per read-out      %6.2f %% of a core (goal below 5 %%)\n", 100 * c / w / 4
}'
