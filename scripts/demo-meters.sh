# Sourced by run.sh and screenshot.sh: the stand-in meters on a loopback gateway and
# the saved configurations that reach them.

# Starts orvek-metersim with its demo meters on 127.0.0.1; sets gateway (HOST:PORT) and
# stops the simulator when the calling script ends.
start_demo_meters() {
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
}

# One saved configuration (UTF-8; the settings file wants Windows-1251): over the
# gateway, its family and address, and the boxes in the window's order: hourly, daily,
# monthly, integral, emergency, event log, protected log.
demo_configuration() {
  local name=$1 family=$2 address=$3 boxes=$4 port=$5
  printf '[%s]\r\n' "$name"
  printf '%s\r\n' cbCOM= cbSpeed=19200 cbTCP=1 cbModem=0 cbEcho=0 "cbDevice=$family" \
    edADDR=127.0.0.1 "edAddress=$address" edModem= "sePort=$port" \
    "cbArcHour=${boxes:0:1}" "cbArcDay=${boxes:1:1}" "cbArcMonth=${boxes:2:1}" \
    "cbArcInt=${boxes:3:1}" "cbArcEDay=${boxes:4:1}" "cbLog=${boxes:5:1}" "cbLogZ=${boxes:6:1}"
  printf '\r\n'
}

# The three demo configurations, one per stand-in meter, in Windows-1251.
demo_configurations() {
  local port=$1
  {
    demo_configuration "Демо ОРВЕК-307, адрес 1" 0 1 1111111 "$port"
    demo_configuration "Демо ИЛЬМ, адрес 2" 1 2 1110000 "$port"
    demo_configuration "Демо ОРВЕК-223, адрес 3" 2 3 1111010 "$port"
  } | iconv -f UTF-8 -t CP1251
}
