#!/usr/bin/env bash
# The system's main job as far as it exists: on a fresh simulated Windows
# machine the installer helper sets up the driver, a console host opens its
# pairing window, the reference viewer pairs with the URI the host logs, the
# host knows the device at its next start, and the installer helper removes
# everything again.
set -euo pipefail
bin=$(cd "${1:-build/bin}" && pwd)
root=$(mktemp -d /tmp/sorvane-demo-XXXXXX)
export LOCALAPPDATA=$root/LocalAppData
export SORVANE_SIM_ROOT=$root/machine
mkdir -p "$LOCALAPPDATA" "$SORVANE_SIM_ROOT" "$root/work"
cd "$root/work"
host_pid=
vdd_pid=
stop_driver() {
  [[ -n $vdd_pid ]] || return 0
  kill -TERM "$vdd_pid" 2>/dev/null || true
  wait "$vdd_pid" 2>/dev/null || true
  vdd_pid=
}
cleanup() { [[ -n $host_pid ]] && kill -INT "$host_pid" 2>/dev/null || true; stop_driver; }
trap cleanup EXIT

echo "== 0. a fresh simulated Windows machine; sorvane-setup installs the driver (machine: $SORVANE_SIM_ROOT)"
"$bin/sorvane-sim" init
"$bin/sorvane-sim" dump > machine-before.json
install_rc=0
"$bin/sorvane-setup" install --app-dir "$bin" --version 0.1.14 --driver-version 1.0.0 > setup-install.out 2>&1 || install_rc=$?
grep -E "^\[|parmak izi|yeni paket|aygit Started|TAMAM|HATA" setup-install.out || true
echo "sorvane-setup install exit code $install_rc"
"$bin/sorvane-devtool" find 'Root\SorvaneVDD'
echo
echo "== 0b. the driver loads for its installed device node"
"$bin/sorvane-vdd" run > vdd.out 2>&1 &
vdd_pid=$!
sleep 0.5
cat vdd.out
if kill -0 "$vdd_pid" 2>/dev/null; then "$bin/sorvane-sim" topology; else vdd_pid=; fi
echo

echo "== 1. the host starts in console mode and opens its pairing window (data: $LOCALAPPDATA)"
"$bin/sorvane-host" --console --pair --bind 127.0.0.1 > host.out 2>&1 &
host_pid=$!
for _ in $(seq 100); do grep -q "Ctrl+C to stop" host.out && break; sleep 0.1; done
cat host.out
uri=$(grep -o "sorvane://pair?[^ ]*" host.out | head -n 1)
[[ -n $uri ]] || { echo "the host logged no pairing URI"; exit 1; }
echo "QR code file: $root/work/captures/pairing.svg ($(wc -c < captures/pairing.svg) bytes)"

echo
echo "== 2. the reference viewer pairs with that URI (state: $root/viewer)"
"$bin/sorvane-viewer" pair "$uri" --address 127.0.0.1 --state "$root/viewer" --name "Demo Phone"

echo
echo "== 3. the host logged the pairing and stops on Ctrl+C (SIGINT)"
sleep 0.3
kill -INT "$host_pid"
wait "$host_pid" && echo "host exit code 0"
host_pid=
grep -E "\[pairing\] (baglanti|SONUC)|\[host\] (stopping|stopped)" host.out

echo
echo "== 4. the next start knows the paired device"
"$bin/sorvane-host" --console --run-seconds 1 | grep -E "TLS parmak izi|stopped"
echo
echo "== 5. the driver unloads"
stop_driver
[[ -f vdd.out ]] && tail -n 1 vdd.out
echo
echo "files of the host:"
(cd "$LOCALAPPDATA" && find . -type f | sort)

echo
echo "== 6. sorvane-setup uninstall removes the driver, its device, certificate, rules and registry keys"
uninstall_rc=0
"$bin/sorvane-setup" uninstall > setup-uninstall.out 2>&1 || uninstall_rc=$?
grep -E "kok aygit|paket |cikarildi|kurali silindi|TAMAM|HATA" setup-uninstall.out || true
echo "sorvane-setup uninstall exit code $uninstall_rc"
"$bin/sorvane-sim" dump > machine-after.json
if cmp -s machine-before.json machine-after.json; then
  echo "the machine is left exactly as sorvane-sim init made it"
else
  echo "the machine differs from the fresh one:"; diff machine-before.json machine-after.json || true
fi
echo
echo "demo folder: $root"
