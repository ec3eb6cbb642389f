#!/usr/bin/env bash
# Installs what is missing and builds the program. Without arguments it runs the demo:
# the stand-in meters (one of each family) on a loopback TCP gateway, and with a display
# the program window on build/demo with a saved configuration for each meter; without a
# display a headless read-out of all three into build/demo. With arguments it runs the
# program with them.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target orvekdata orvek-metersim

if [[ $# -gt 0 ]]; then
  exec build/bin/orvekdata "$@"
fi

source scripts/demo-meters.sh
home=build/demo
mkdir -p "$home"
start_demo_meters
echo "Stand-in meters on a TCP gateway at $gateway: ОРВЕК-307 at 1, ИЛЬМ at 2, ОРВЕК-223 at 3"

# The settings file of the demo folder: the demo configurations are written afresh for
# the port the simulator got; [General] and configurations of the user's own stay.
write_demo_settings() {
  local ini=$1 port=$2 mark
  mark=$(printf '[Демо ' | iconv -f UTF-8 -t CP1251)
  {
    if [[ -f $ini ]]; then
      LC_ALL=C awk -v mark="$mark" 'BEGIN { keep = 1 } /^\[/ { keep = index($0, mark) != 1 } keep' "$ini"
    fi
    demo_configurations "$port"
  } >"$ini.new"
  mv "$ini.new" "$ini"
}

if [[ -n ${DISPLAY:-} || -n ${WAYLAND_DISPLAY:-} ]]; then
  write_demo_settings "$home/OrvekData.ini" "${gateway##*:}"
  echo "The window opens on $(cd "$home" && pwd); click a \"Демо\" configuration, then \"Читать\"."
  echo "The simulator stops when the window closes."
  status=0
  build/bin/orvekdata --home "$home" || status=$?
  exit $status
fi

from=$(date -d yesterday +%F)
status=0
for meter in "0 1" "1 2" "2 3"; do
  set -- $meter
  echo
  echo "== orvekdata read --family $1 --addresses $2 --from $from"
  build/bin/orvekdata read --home "$home" --tcp "$gateway" --family "$1" --addresses "$2" \
    --from "$from" --archives hour,day,month,integral,emergency --logs event,protected ||
    status=$?
done

echo
echo "Files of the read-out, in $(cd "$home" && pwd)/Data:"
(cd "$home" && find Data -type f | sort | sed 's/^/  /')
echo "Exchange log: $(cd "$home" && pwd)/Protocols/$(date +%F).log"
echo "A .dat copy back to text: build/bin/orvekdata dat2csv FILE.dat"
exit $status
