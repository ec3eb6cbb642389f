#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang in build-fuzz and runs each for a
# short while (FUZZ_SECONDS, 30 by default), starting from its corpus in the tree; the
# inputs it finds on the way are kept in build-fuzz/corpus/NAME for the next run, and an
# input that breaks a target in build-fuzz/findings. Prints per target the inputs run
# and the coverage reached. Arguments: the targets to run (all by default), e.g.
# `bash scripts/fuzz.sh inifile`; run one finding again with
# `build-fuzz/bin/fuzz_NAME build-fuzz/findings/NAME-crash-...`.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

if ! command -v clang++ >/dev/null; then
  echo "fuzz.sh: clang++ is needed for the fuzz targets" >&2
  exit 1
fi
seconds=${FUZZ_SECONDS:-30}
targets=("$@")
if ((${#targets[@]} == 0)); then
  targets=(addresslist datfile inifile textcodec modbusreply)
fi

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DORVEK_WERROR=ON -DORVEK_FUZZ=ON \
  -DORVEK_BUILD_TESTS=OFF >/dev/null
cmake --build build-fuzz --target "${targets[@]/#/fuzz_}"

# The file targets write and read their files thousands of times a second: a memory
# file system where there is one.
if [[ -d /dev/shm && -w /dev/shm ]]; then
  export TMPDIR=/dev/shm
fi

status=0
report=()
mkdir -p build-fuzz/findings
for t in "${targets[@]}"; do
  work=build-fuzz/corpus/$t
  log=build-fuzz/fuzz_$t.log
  mkdir -p "$work"
  echo "fuzz_$t: ${seconds} s"
  rc=0
  "build-fuzz/bin/fuzz_$t" -max_total_time="$seconds" -max_len=4096 -timeout=20 \
    -print_final_stats=1 -artifact_prefix="build-fuzz/findings/$t-" \
    "$work" "tests/fuzz/corpus/$t" >"$log" 2>&1 || rc=$?
  runs=$(grep -o 'number_of_executed_units: [0-9]*' "$log" | awk '{print $2}' || true)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | awk '{print $2}' || true)
  ft=$(grep -o 'ft: [0-9]*' "$log" | tail -1 | awk '{print $2}' || true)
  seeds=$(find "tests/fuzz/corpus/$t" -type f | wc -l)
  found=$(find "$work" -type f | wc -l)
  line=$(printf '%-12s runs %-9s cov %-5s ft %-6s corpus %s in the tree, %s found' \
    "$t" "${runs:-?}" "${cov:-?}" "${ft:-?}" "$seeds" "$found")
  if ((rc != 0)); then
    status=1
    line+="  FAILED (exit $rc, log $log)"
    grep -m1 -A12 -E 'property does not hold|ERROR: |runtime error' "$log" || tail -20 "$log"
  fi
  report+=("$line")
done

echo
printf '%s\n' "${report[@]}"
exit $status
