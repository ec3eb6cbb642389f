#!/usr/bin/env bash
# Builds and runs the benchmarks; bench/run.sh [line|readout|ini|viewer|batch|scan|peer|
# abort|plan], all but plan when none is named.
#   line     the master's pace against the protocol's own pauses and its CPU cost, over
#            TCP and a pseudo-terminal, against a peer process that answers at once
#            (about 70 seconds)
#   readout  one whole read-out of a 100- and a 200-record hourly archive from the
#            stand-in meter tool over TCP: pace, CPU cost and peak memory (about 50 seconds)
#   ini      a 10 MB settings file of 80 000 configurations listed, read and written
#   viewer   the data window: a year of hourly records (8 760 x 56) opened and painted, a
#            chart of 4 columns, peak memory; then a copy of about 50 MB (about 30 seconds)
#   batch    8 saved configurations on 4 stand-in gateways read by orvekdata batch,
#            against each gateway's share read alone: time ratio and CPU (about 2 minutes)
#   scan     orvekdata scan of 247 addresses with 3 meters, over a stand-in gateway and
#            over a pseudo-terminal paced as 19200 baud (about 1 minute)
#   peer     a 200-record hourly archive read with both pauses 0 against libmodbus sending
#            the same requests to the same stand-in meter: time ratio and CPU per transaction
#            (about 10 seconds)
#   abort    the time from an abort to the end of a read-out waiting on a gateway that
#            never accepts, a modem dial that never connects and a silent meter (gateway
#            and pseudo-terminal), GlobalTimeOut 60 s (about 15 seconds)
#   plan     how long batch --all takes to begin with 1 000, 3 000 and 10 000 saved
#            configurations; only when named
# BUILD_DIR names the build folder to use (default build).
set -euo pipefail
cd "$(dirname "$0")/.."
which=${1:-all}
case "$which" in
  line | readout | ini | viewer | batch | scan | peer | abort | plan | all) ;;
  *)
    echo "usage: bench/run.sh [line|readout|ini|viewer|batch|scan|peer|abort|plan]" >&2
    exit 2
    ;;
esac
build=${BUILD_DIR:-build}
# The benchmarks are built on request only: turn them on in whatever build is used.
cmake -S . -B "$build" -G Ninja -DORVEK_WERROR=ON -DORVEK_BENCH=ON >/dev/null
status=0
if [[ $which == line || $which == all ]]; then
  cmake --build "$build" --target bench_line line_peer >/dev/null
  "$build"/bin/bench_line "$build"/bin/line_peer || status=1
fi
if [[ $which == all ]]; then
  echo
fi
if [[ $which == readout || $which == all ]]; then
  cmake --build "$build" --target bench_readout orvek-metersim >/dev/null
  "$build"/bin/bench_readout --metersim "$build"/bin/orvek-metersim || status=1
fi
if [[ $which == ini || $which == all ]]; then
  [[ $which == all ]] && echo
  cmake --build "$build" --target bench_ini >/dev/null
  "$build"/bin/bench_ini || status=1
fi
if [[ $which == viewer || $which == all ]]; then
  [[ $which == all ]] && echo
  cmake --build "$build" --target bench_viewer >/dev/null
  # Without a display the window is drawn off screen, as the tests draw it.
  if [[ -z ${DISPLAY:-} && -z ${QT_QPA_PLATFORM:-} ]]; then
    export QT_QPA_PLATFORM=offscreen
  fi
  "$build"/bin/bench_viewer 2>/dev/null || status=1
  "$build"/bin/bench_viewer big 2>/dev/null || status=1
fi
if [[ $which == batch || $which == all ]]; then
  [[ $which == all ]] && echo
  cmake --build "$build" --target orvekdata orvek-metersim >/dev/null
  bench/bench_batch.sh "$build" || status=1
fi
if [[ $which == scan || $which == all ]]; then
  [[ $which == all ]] && echo
  cmake --build "$build" --target orvekdata orvek-metersim >/dev/null
  bench/bench_scan.sh "$build" || status=1
fi
if [[ $which == peer || $which == all ]]; then
  [[ $which == all ]] && echo
  cmake --build "$build" --target bench_peer orvek-metersim >/dev/null
  "$build"/bin/bench_peer --metersim "$build"/bin/orvek-metersim || status=1
fi
if [[ $which == abort || $which == all ]]; then
  [[ $which == all ]] && echo
  cmake --build "$build" --target bench_abort orvek-metersim >/dev/null
  "$build"/bin/bench_abort --metersim "$build"/bin/orvek-metersim || status=1
fi
if [[ $which == plan ]]; then
  cmake --build "$build" --target orvekdata >/dev/null
  bench/bench_plan.sh "$build" || status=1
fi
exit $status
