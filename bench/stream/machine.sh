# Sourced by the whole-system benchmarks: a fresh simulated machine in a
# folder, its driver installed and running, a console host with its pairing
# window open, and the reference viewer paired with it. Sets vdd_pid and
# host_pid; the caller stops them.
#   start_machine BIN ROOT [HOST_ENV...]   (runs in ROOT/work, which it makes)

wait_for() {
  for _ in $(seq 200); do grep -q "$2" "$1" && return 0; sleep 0.05; done
  echo "timed out waiting for '$2' in $1" >&2
  return 1
}

start_machine() {
  local bin=$1 root=$2
  shift 2
  mkdir -p "$root/machine" "$root/data" "$root/work"
  cd "$root/work"
  export SORVANE_SIM_ROOT=$root/machine LOCALAPPDATA=$root/data SORVANE_PAIRING_PORT=0
  "$bin/sorvane-sim" init > sim.out
  "$bin/sorvane-setup" install --app-dir "$bin" --version 0.1.14 --driver-version 1.0.0 > setup.out 2>&1
  "$bin/sorvane-vdd" run > vdd.out 2>&1 &
  vdd_pid=$!
  wait_for vdd.out "driver loaded"
  env "$@" "$bin/sorvane-host" --console --pair --bind 127.0.0.1 --control-port 0 --video-port 0 --input-port 0 \
    > host.out 2>&1 &
  host_pid=$!
  wait_for host.out "Ctrl+C to stop"
  local uri port
  uri=$(grep -o "sorvane://pair?[^ ]*" host.out | head -n 1)
  port=$(grep -o "eslestirme penceresi acildi ([0-9]*" host.out | grep -o "[0-9]*$")
  "$bin/sorvane-viewer" pair "$uri" --address 127.0.0.1 --port "$port" --state "$root/viewer" > pair.out 2>&1
}
