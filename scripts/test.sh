#!/usr/bin/env bash
# Installs what is missing, builds everything with warnings as errors, runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DORVEK_WERROR=ON >/dev/null
cmake --build build
cd build
ctest --output-on-failure -j "$(nproc)" "$@"
