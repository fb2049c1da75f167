#!/usr/bin/env bash
# The demo's stream measured end to end, one fresh simulated machine per mode:
# the driver, a console host and the reference viewer streaming for SECONDS.
# Prints per mode the viewer's first-frame time, frame rate and latency
# percentiles (desktop frame time to decoded picture; of it del_ the way to the
# viewer's complete frame, dec_ the viewer's decoding) and the host's CPU use
# over the stream (% of one core and % of the machine), without the simulated
# desktop's own drawing (the GPU's work under Windows; shown apart as draw%).
#   bench/stream/stream_bench.sh [BIN_DIR] [SECONDS] [MODE...]
#   defaults: build/bin, 10, 1920x1080@60 2560x1600@60
set -euo pipefail
bin=$(cd "${1:-build/bin}" && pwd)
seconds=${2:-10}
shift $(( $# > 2 ? 2 : $# ))
modes=("$@")
(( ${#modes[@]} )) || modes=(1920x1080@60 2560x1600@60)
tick=$(getconf CLK_TCK)
cores=$(nproc)
top=$(mktemp -d /tmp/sorvane-bench-XXXXXX)
host_pid=
vdd_pid=
cleanup() {
  [[ -n $host_pid ]] && kill -INT "$host_pid" 2>/dev/null && wait "$host_pid" 2>/dev/null || true
  [[ -n $vdd_pid ]] && kill -TERM "$vdd_pid" 2>/dev/null && wait "$vdd_pid" 2>/dev/null || true
}
trap cleanup EXIT

# utime + stime of a process, in clock ticks.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
. "$(dirname "$0")/machine.sh"

# The desktop's drawing time so far (microseconds), as the host's simulated desktop reports it.
drawn_us() { cat "$1" 2>/dev/null || echo 0; }

printf "%-14s %10s %8s %8s %8s %8s %8s %8s %8s %8s %10s %10s %8s\n" mode first_ms decoded fps p50_ms p95_ms p99_ms \
  del_p99 dec_p50 dec_p99 host_core% host_all% draw%
run=0
for mode in "${modes[@]}"; do
  # A folder per run: a mode measured twice starts on a fresh machine again.
  run=$((run + 1))
  root=$top/$run-$mode
  start_machine "$bin" "$root" SORVANE_SIM_DESKTOP_CPU="$root/desktop-cpu"
  before=$(cpu_ticks "$host_pid")
  drawn_before=$(drawn_us "$root/desktop-cpu")
  start=$(date +%s.%N)
  "$bin/sorvane-viewer" stream 127.0.0.1 --state "$root/viewer" --seconds "$seconds" --mode "$mode" > stream.out 2>&1 || true
  end=$(date +%s.%N)
  after=$(cpu_ticks "$host_pid")
  drawn_after=$(drawn_us "$root/desktop-cpu")
  kill -INT "$host_pid"; wait "$host_pid" || true; host_pid=
  kill -TERM "$vdd_pid"; wait "$vdd_pid" || true; vdd_pid=
  first=$(sed -n 's/^  first frame: \([0-9]*\) ms.*/\1/p' stream.out)
  decoded=$(sed -n 's/^  frames: .*decoded \([0-9]*\),.*/\1/p' stream.out)
  fps=$(sed -n 's/^  rate: \([0-9.]*\) fps.*/\1/p' stream.out)
  read -r p50 p95 p99 < <(sed -n 's/^  latency (frame time to decoded): p50 \([0-9-]*\) ms, p95 \([0-9-]*\) ms, p99 \([0-9-]*\) ms.*/\1 \2 \3/p' stream.out) || true
  del99=$(sed -n 's/^  delivery (frame time to complete frame): .* p99 \([0-9-]*\) ms.*/\1/p' stream.out)
  read -r dec50 dec99 < <(sed -n 's/^  decoding (complete frame to picture): p50 \([0-9.]*\) ms, .* p99 \([0-9.]*\) ms.*/\1 \2/p' stream.out) || true
  draw=$(awk -v d=$((drawn_after - drawn_before)) -v s="$start" -v e="$end" 'BEGIN { printf "%.1f", d / 1e4 / (e - s) }')
  share=$(awk -v t=$((after - before)) -v hz="$tick" -v s="$start" -v e="$end" -v d="$draw" \
    'BEGIN { c = 100 * t / hz / (e - s) - d; printf "%.1f", c < 0 ? 0 : c }')
  all=$(awk -v c="$share" -v n="$cores" 'BEGIN { printf "%.1f", c / n }')
  printf "%-14s %10s %8s %8s %8s %8s %8s %8s %8s %8s %10s %10s %8s\n" "$mode" "${first:--}" "${decoded:--}" "${fps:--}" \
    "${p50:--}" "${p95:--}" "${p99:--}" "${del99:--}" "${dec50:--}" "${dec99:--}" "$share" "$all" "$draw"
done
echo "runs kept in $top (each run in N-MODE/work: host.out, stream.out, vdd.out)"
