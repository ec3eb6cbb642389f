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

home=build/demo
mkdir -p "$home"
sim_out=$(mktemp)
build/bin/orvek-metersim --tcp 127.0.0.1:0 >"$sim_out" &
sim=$!
trap 'kill $sim 2>/dev/null || true; wait $sim 2>/dev/null || true; rm -f "$sim_out"' EXIT
for _ in $(seq 100); do
  grep -q '^ready' "$sim_out" && break
  kill -0 $sim 2>/dev/null || { echo "The meter simulator did not start." >&2; exit 1; }
  sleep 0.1
done
gateway=$(sed -n 's/^tcp //p' "$sim_out")
echo "Stand-in meters on a TCP gateway at $gateway: ОРВЕК-307 at 1, ИЛЬМ at 2, ОРВЕК-223 at 3"

# One saved configuration per demo meter: over the gateway, its family and address, and
# every archive and log the family has (boxes in the window's order: hourly, daily,
# monthly, integral, emergency, event log, protected log).
demo_configuration() {
  local name=$1 family=$2 address=$3 boxes=$4 port=$5
  printf '[%s]\r\n' "$name"
  printf '%s\r\n' cbCOM= cbSpeed=19200 cbTCP=1 cbModem=0 cbEcho=0 "cbDevice=$family" \
    edADDR=127.0.0.1 "edAddress=$address" edModem= "sePort=$port" \
    "cbArcHour=${boxes:0:1}" "cbArcDay=${boxes:1:1}" "cbArcMonth=${boxes:2:1}" \
    "cbArcInt=${boxes:3:1}" "cbArcEDay=${boxes:4:1}" "cbLog=${boxes:5:1}" "cbLogZ=${boxes:6:1}"
  printf '\r\n'
}

# The settings file of the demo folder: the demo configurations are written afresh for
# the port the simulator got; [General] and configurations of the user's own stay.
write_demo_settings() {
  local ini=$1 port=$2 mark
  mark=$(printf '[Демо ' | iconv -f UTF-8 -t CP1251)
  {
    if [[ -f $ini ]]; then
      LC_ALL=C awk -v mark="$mark" 'BEGIN { keep = 1 } /^\[/ { keep = index($0, mark) != 1 } keep' "$ini"
    fi
    {
      demo_configuration "Демо ОРВЕК-307, адрес 1" 0 1 1111111 "$port"
      demo_configuration "Демо ИЛЬМ, адрес 2" 1 2 1110000 "$port"
      demo_configuration "Демо ОРВЕК-223, адрес 3" 2 3 1111010 "$port"
    } | iconv -f UTF-8 -t CP1251
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
