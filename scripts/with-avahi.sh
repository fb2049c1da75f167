#!/usr/bin/env bash
# Runs a command next to a real mDNS responder of its own:
#   scripts/with-avahi.sh COMMAND...
# in a private network namespace (a veth pair; sv0 10.77.0.1/24 carries
# multicast, the responder uses it alone) with the host name "sorvanepc", a
# private D-Bus system bus (DBUS_SYSTEM_BUS_ADDRESS points at it) and an
# avahi-daemon named "avahi-ns" on that bus. Stops both afterwards and exits
# with the command's status.
#
# Needs root for the namespaces. Without it, or without the programs, it
# prints "with-avahi: skipped: <why>" and exits 77. Inside, SORVANE_AVAHI_DIR
# is the scratch folder (avahi.log is the daemon's output) and
# "$SORVANE_AVAHI_DIR/avahi-restart" restarts the daemon. SORVANE_AVAHI_DEBUG=1
# makes the daemon log every D-Bus call.
set -uo pipefail

skip() {
  echo "with-avahi: skipped: $*" >&2
  exit 77
}

if [[ $# -eq 0 ]]; then
  echo "usage: scripts/with-avahi.sh COMMAND..." >&2
  exit 2
fi

if [[ -z ${SORVANE_AVAHI_INNER:-} ]]; then
  [[ $(id -u) -eq 0 ]] || skip "needs root for a private network namespace (CI runs as root)"
  for tool in avahi-daemon dbus-daemon ip unshare mount; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed (scripts/install-deps.sh installs it)"
  done
  unshare --net --mount --uts --fork true 2>/dev/null || skip "this machine refuses new network namespaces"
  SORVANE_AVAHI_INNER=1 exec unshare --net --mount --uts --fork "$0" "$@"
fi

# ---- inside the namespaces ----
dir=$(mktemp -d /tmp/with-avahi.XXXXXX)
export SORVANE_AVAHI_DIR=$dir
dbus_pid=
avahi_pid=

stop_daemons() {
  [[ -n $avahi_pid ]] && kill "$avahi_pid" 2>/dev/null && wait "$avahi_pid" 2>/dev/null
  [[ -n $dbus_pid ]] && kill "$dbus_pid" 2>/dev/null && wait "$dbus_pid" 2>/dev/null
  avahi_pid=
  dbus_pid=
}
trap 'stop_daemons; rm -rf "$dir"' EXIT

# Waits up to 10 s for a file to hold a text.
wait_for_text() {
  local file=$1 text=$2
  for _ in $(seq 100); do
    grep -q "$text" "$file" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

hostname sorvanepc
ip link set lo up
ip link add sv0 type veth peer name sv1 || skip "no veth interfaces on this machine"
ip addr add 10.77.0.1/24 dev sv0
ip link set sv0 up
ip link set sv1 up
ip route add 224.0.0.0/4 dev sv0

# The daemon's pid file and socket, private to this run.
mkdir -p /run/avahi-daemon
mount -t tmpfs tmpfs /run/avahi-daemon

cat >"$dir/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$dir/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
EOF
dbus-daemon --config-file="$dir/bus.conf" --nofork --nopidfile >"$dir/dbus.log" 2>&1 &
dbus_pid=$!
for _ in $(seq 100); do
  [[ -S $dir/system_bus_socket ]] && break
  sleep 0.1
done
[[ -S $dir/system_bus_socket ]] || { cat "$dir/dbus.log" >&2; echo "with-avahi: the D-Bus daemon did not start" >&2; exit 1; }
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$dir/system_bus_socket

cat >"$dir/avahi.conf" <<EOF
[server]
host-name=avahi-ns
use-ipv4=yes
use-ipv6=no
allow-interfaces=sv0
enable-dbus=yes
ratelimit-interval-usec=0
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
publish-aaaa-on-ipv4=no
EOF

start_avahi() {
  : >"$dir/avahi.log"
  avahi-daemon ${SORVANE_AVAHI_DEBUG:+--debug} --no-drop-root --no-chroot --no-rlimits -f "$dir/avahi.conf" >>"$dir/avahi.log" 2>&1 &
  avahi_pid=$!
  if ! wait_for_text "$dir/avahi.log" "Server startup complete"; then
    cat "$dir/avahi.log" >&2
    echo "with-avahi: avahi-daemon did not start" >&2
    exit 1
  fi
}
start_avahi

# The command may restart the daemon (a responder restarting under a running
# program): "$SORVANE_AVAHI_DIR/avahi-restart" signals this script.
cat >"$dir/avahi-restart" <<EOF
#!/bin/sh
kill -USR1 $$
while [ ! -e "$dir/restarted" ]; do sleep 0.05; done
rm -f "$dir/restarted"
EOF
chmod +x "$dir/avahi-restart"
restart_avahi() {
  kill "$avahi_pid" 2>/dev/null
  wait "$avahi_pid" 2>/dev/null
  start_avahi
  touch "$dir/restarted"
}
trap restart_avahi USR1

"$@" &
cmd_pid=$!
# wait returns early when a signal arrives; keep waiting for the command.
while true; do
  wait "$cmd_pid"
  rc=$?
  kill -0 "$cmd_pid" 2>/dev/null || break
done
exit "$rc"
