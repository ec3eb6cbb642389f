#!/usr/bin/env bash
# Installs what is missing and builds the program. Without arguments it runs the demo
# read-out: the stand-in meters (one of each family) on a loopback TCP gateway, read
# headless into build/demo; with arguments it runs the program with them.
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
