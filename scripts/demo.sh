#!/usr/bin/env bash
# The system's main job as far as it exists: a console host starts in a fresh
# data folder, logs, and stops through the same sequence Ctrl+C uses.
set -euo pipefail
bin=${1:-build/bin}
root=$(mktemp -d /tmp/sorvane-demo-XXXXXX)
export LOCALAPPDATA=$root/LocalAppData
export SORVANE_SIM_ROOT=$root/machine
mkdir -p "$LOCALAPPDATA" "$SORVANE_SIM_ROOT"

echo "== sorvane-host --console --run-seconds 3 (data folder: $LOCALAPPDATA)"
"$bin/sorvane-host" --console --run-seconds 3
echo
echo "== files the host keeps"
(cd "$LOCALAPPDATA" && find . -type f | sort)
echo "host id: $(cat "$LOCALAPPDATA/Sorvane/host_id.txt")"
echo
echo "== a second run keeps the host id and appends to the log (stopped by SIGINT)"
"$bin/sorvane-host" --console &
pid=$!
sleep 1
kill -INT $pid
wait $pid && echo "exit code 0"
echo "host id: $(cat "$LOCALAPPDATA/Sorvane/host_id.txt")"
echo "log lines: $(wc -l < "$LOCALAPPDATA/Sorvane/logs/sorvane-host.log")"
echo
echo "demo folder: $root"
