#!/usr/bin/env bash
# Installs what is missing, builds everything with warnings as errors, runs every test.
#   --sanitize  the same in build-sanitize with AddressSanitizer and
#               UndefinedBehaviorSanitizer (the formatting check left out)
#   --fuzz      the fuzz targets in build-fuzz, each run for a short while (scripts/fuzz.sh)
# Further arguments go to ctest (to scripts/fuzz.sh with --fuzz).
set -euo pipefail
cd "$(dirname "$0")/.."

mode=plain
case "${1:-}" in
--sanitize) mode=sanitize && shift ;;
--fuzz) shift && exec bash scripts/fuzz.sh "$@" ;;
esac

bash scripts/setup.sh
if [[ $mode == plain ]]; then
  cmake -S . -B build -G Ninja -DORVEK_WERROR=ON >/dev/null
  cmake --build build
  cd build
  ctest --output-on-failure -j "$(nproc)" "$@"
  exit
fi

cmake -S . -B build-sanitize -G Ninja -DORVEK_WERROR=ON -DORVEK_SANITIZE=ON >/dev/null
cmake --build build-sanitize
cd build-sanitize
# A finding ends the process with exit code 86. AddressSanitizer's reports (leaks at
# exit among them) also go to files, so that one in a program a test starts and stops
# (the stand-in meters) fails the run even though no test looks at that exit code;
# GCC's UndefinedBehaviorSanitizer runtime writes only to the standard error.
reports=$PWD/sanitizer-reports
rm -rf "$reports" && mkdir -p "$reports"
common="log_path=$reports/report:exitcode=86"
export ASAN_OPTIONS="$common:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1"
export UBSAN_OPTIONS="$common:print_stacktrace=1"
status=0
ctest --output-on-failure -j "$(nproc)" -LE lint "$@" || status=$?
if compgen -G "$reports/report*" >/dev/null; then
  echo "Sanitizer reports:"
  cat "$reports"/report*
  status=1
fi
exit $status
