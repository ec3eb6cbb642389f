#!/usr/bin/env bash
# Takes docs/main-window.png: the window at its start size under a virtual X display,
# after reading the stand-in ОРВЕК-307 through the demo's saved configuration.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target orvekdata orvek-metersim orvek-screenshot >/dev/null
home=$(mktemp -d)
sim_out=$(mktemp)
build/bin/orvek-metersim --tcp 127.0.0.1:0 >"$sim_out" &
sim=$!
trap 'kill $sim 2>/dev/null || true; wait $sim 2>/dev/null || true; rm -rf "$sim_out" "$home"' EXIT
for _ in $(seq 100); do
  grep -q '^ready' "$sim_out" && break
  sleep 0.1
done
port=$(sed -n 's/^tcp .*://p' "$sim_out")
{
  printf '[Демо ОРВЕК-307, адрес 1]\r\n'
  printf '%s\r\n' cbCOM= cbSpeed=19200 cbTCP=1 cbModem=0 cbEcho=0 cbDevice=0 \
    edADDR=127.0.0.1 edAddress=1 edModem= "sePort=$port" cbArcHour=1 cbArcDay=1 \
    cbArcMonth=1 cbArcInt=1 cbArcEDay=1 cbLog=1 cbLogZ=1
} | iconv -f UTF-8 -t CP1251 >"$home/OrvekData.ini"
# A Russian desktop, as the program's users have.
LC_ALL=ru_RU.UTF-8 LANG=ru_RU.UTF-8 xvfb-run -a -s "-screen 0 1024x768x24" \
  build/bin/orvek-screenshot "$home" "Демо ОРВЕК-307, адрес 1" docs/main-window.png
echo "docs/main-window.png"
