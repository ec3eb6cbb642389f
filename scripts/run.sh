#!/usr/bin/env bash
# Installs what is missing, builds the program and starts it; arguments go to the program.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target orvekdata
if [[ $# -eq 0 && -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" && -z "${QT_QPA_PLATFORM:-}" ]]; then
  echo "No display here, so the window cannot open. Try: bash scripts/run.sh --version" >&2
  exit 2
fi
exec build/bin/orvekdata "$@"
