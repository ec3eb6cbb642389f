#!/usr/bin/env bash
# Takes docs/main-window.png: the window at its start size under a virtual X display,
# after reading the stand-in ОРВЕК-307 through the demo's saved configuration; and
# docs/data-window.png: the data window on the hourly archive of that read-out, with a chart.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DORVEK_SCREENSHOT=ON >/dev/null
cmake --build build --target orvekdata orvek-metersim orvek-screenshot >/dev/null
source scripts/demo-meters.sh
start_demo_meters
home=$(mktemp -d)
trap 'kill $sim 2>/dev/null || true; wait $sim 2>/dev/null || true; rm -rf "$sim_out" "$home"' EXIT
demo_configurations "${gateway##*:}" >"$home/OrvekData.ini"
# A Russian desktop, as the program's users have.
LC_ALL=ru_RU.UTF-8 LANG=ru_RU.UTF-8 xvfb-run -a -s "-screen 0 1024x768x24" \
  build/bin/orvek-screenshot "$home" "Демо ОРВЕК-307, адрес 1" docs/main-window.png \
  docs/data-window.png
echo "docs/main-window.png docs/data-window.png"
