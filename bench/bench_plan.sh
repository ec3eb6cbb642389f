#!/usr/bin/env bash
# How long "orvekdata batch --all" takes to begin as the settings file grows: 1 000,
# 3 000 and 10 000 saved configurations (every one on one gateway that refuses, so no
# meter is needed), timed from the start of the batch to the first line of its first
# read-out; then two Ctrl+C end it. Goal: linear in the number of configurations, the
# 10 000 within 2 s. Usage: bench/bench_plan.sh BUILD_DIR [PROGRAM] (PROGRAM: another
# orvekdata to time, default BUILD_DIR/bin/orvekdata). Run by hand, never by CTest.
set -euo pipefail
build=${1:?build folder}
program=${2:-$build/bin/orvekdata}
limit=300 # seconds a run may take before it counts as "over"
work=$(mktemp -d)
pid=
cleanup() {
  if [[ -n $pid ]]; then kill -KILL "$pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# Prints the seconds to the first read-out line, or "over LIMIT".
time_to_first_line() {
  local home=$1 out=$work/out begin now
  : >"$out"
  begin=$(date +%s.%N)
  "$program" batch --home "$home" --all --jobs 1 >"$out" 2>/dev/null &
  pid=$!
  while ! grep -q '^\[' "$out"; do
    now=$(date +%s.%N)
    if awk -v a="$now" -v b="$begin" -v l="$limit" 'BEGIN {exit !(a - b > l)}'; then
      kill -KILL "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
      pid=
      echo "over $limit"
      return
    fi
    if ! kill -0 "$pid" 2>/dev/null; then
      echo "bench_plan: the batch ended before its first read-out" >&2
      exit 1
    fi
    sleep 0.005
  done
  now=$(date +%s.%N)
  kill -INT "$pid"
  sleep 0.2
  kill -INT "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  pid=
  awk -v a="$now" -v b="$begin" 'BEGIN {printf "%.2f", a - b}'
}

echo "batch --all: start to the first read-out's first line"
printf '  %-16s %10s %12s\n' configurations "file, kB" seconds
for count in 1000 3000 10000; do
  home=$work/home$count
  mkdir -p "$home"
  {
    printf '[General]\r\nGlobalTry=1\r\nGlobalTimeOut=100\r\n'
    for ((i = 0; i < count; i++)); do
      printf '[Node %05d]\r\ncbTCP=1\r\nedADDR=127.0.0.1\r\nsePort=1\r\nedAddress=1 3 6-11\r\n' \
        "$i"
      printf 'cbArcHour=1\r\ncbArcDay=1\r\ncbLog=1\r\n'
    done
  } >"$home/OrvekData.ini"
  size=$(($(stat -c %s "$home/OrvekData.ini") / 1024))
  printf '  %-16s %10s %12s\n' "$count" "$size" "$(time_to_first_line "$home")"
done
