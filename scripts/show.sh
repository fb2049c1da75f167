#!/usr/bin/env bash
# The system's stream in a window: a fresh simulated Windows machine with the
# driver installed and loaded, a console host with its pairing window open,
# the reference viewer paired with it, then `sorvane-viewer show` on this
# machine's display (its overlay on; Ctrl+Alt+O hides it). Closing the window
# ends the session; the host and the driver stop after it.
#   scripts/show.sh [BIN_DIR] [options of sorvane-viewer show...]
# SHOW_LAN=1: the machine and a host listening on every network with the
# product's ports, for a viewer on another machine; prints the pairing URI
# and runs until Ctrl+C.
set -euo pipefail
bin=$(cd "${1:-build/bin}" && pwd)
shift $(( $# > 0 ? 1 : 0 ))
root=$(mktemp -d /tmp/sorvane-show-XXXXXX)
export LOCALAPPDATA=$root/LocalAppData
export SORVANE_SIM_ROOT=$root/machine
mkdir -p "$LOCALAPPDATA" "$SORVANE_SIM_ROOT" "$root/work"
cd "$root/work"
host_pid=
vdd_pid=
cleanup() {
  [[ -n $host_pid ]] && kill -INT "$host_pid" 2>/dev/null && wait "$host_pid" 2>/dev/null || true
  [[ -n $vdd_pid ]] && kill -TERM "$vdd_pid" 2>/dev/null && wait "$vdd_pid" 2>/dev/null || true
}
trap cleanup EXIT
wait_for() {
  for _ in $(seq 200); do grep -q "$2" "$1" && return 0; sleep 0.05; done
  echo "timed out waiting for '$2' in $root/work/$1" >&2
  return 1
}

if [[ ${SHOW_LAN:-} != 1 && -z ${DISPLAY:-}${WAYLAND_DISPLAY:-} ]]; then
  echo "no display to open the window on (DISPLAY is not set); on a machine without one: xvfb-run make show" >&2
  exit 1
fi
echo "machine, driver and host in $root"
"$bin/sorvane-sim" init > sim.out
"$bin/sorvane-setup" install --app-dir "$bin" --version 0.1.14 --driver-version 1.0.0 > setup.out 2>&1
"$bin/sorvane-vdd" run > vdd.out 2>&1 &
vdd_pid=$!
wait_for vdd.out "driver loaded"

if [[ ${SHOW_LAN:-} == 1 ]]; then
  "$bin/sorvane-host" --console --pair --bind 0.0.0.0 > host.out 2>&1 &
  host_pid=$!
  wait_for host.out "Ctrl+C to stop"
  uri=$(grep -o "sorvane://pair?[^ ]*" host.out | head -n 1)
  echo "The host listens on every network (control tcp 47000, video udp 47001, input tcp 47002, pairing tcp 47010)."
  echo "Within 2 minutes, on the other Linux machine (ADDRESS: one of this machine's: $(hostname -I 2>/dev/null || echo '?')):"
  echo "  sorvane-viewer pair '$uri' --address ADDRESS"
  echo "  sorvane-viewer show ADDRESS"
  echo "Ctrl+C stops the host; its log is $root/work/host.out"
  wait "$host_pid" || true
  host_pid=
  exit 0
fi

export SORVANE_PAIRING_PORT=0
"$bin/sorvane-host" --console --pair --bind 127.0.0.1 --control-port 0 --video-port 0 --input-port 0 > host.out 2>&1 &
host_pid=$!
wait_for host.out "Ctrl+C to stop"
uri=$(grep -o "sorvane://pair?[^ ]*" host.out | head -n 1)
port=$(grep -o "eslestirme penceresi acildi ([0-9]*" host.out | grep -o "[0-9]*$")
"$bin/sorvane-viewer" pair "$uri" --address 127.0.0.1 --port "$port" --state "$root/viewer" --name "Show Window" > pair.out
"$bin/sorvane-viewer" show 127.0.0.1 --state "$root/viewer" --overlay "$@"
