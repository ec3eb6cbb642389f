#!/usr/bin/env bash
# Builds and runs the line benchmark: pace against the protocol's own pauses and CPU
# cost, over TCP and a pseudo-terminal, against a peer process that answers at once.
# Takes about 70 seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ ! -f build/build.ninja ]]; then
  cmake -S . -B build -G Ninja -DORVEK_WERROR=ON >/dev/null
fi
cmake --build build --target bench_line line_peer >/dev/null
exec build/bin/bench_line build/bin/line_peer
