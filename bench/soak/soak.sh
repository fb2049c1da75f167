#!/usr/bin/env bash
# Endurance: on a fresh simulated machine, the reference viewer streams
# 1920x1080@60 from a console host for SECONDS, tapping once a minute and
# reconnecting every ten minutes (every SOAK_RECONNECT seconds when set, so that
# a short run goes through many sessions). Every SAMPLE seconds the host's and the
# driver's resident memory, threads and open descriptors are sampled. Fails
# when any of them grows beyond its level over the first minute (the first
# third of a shorter run) by more than a small margin, when a viewer run goes
# more than a second without a picture, or when a viewer run fails.
#   [SOAK_RECONNECT=S] [SOAK_HOST_ENV='NAME=VALUE ...'] bench/soak/soak.sh [BIN_DIR] [SECONDS] [SAMPLE]
#   (defaults: a reconnect every 600 s, no extra host environment, build/bin, 3600, 10)
set -euo pipefail
bin=$(cd "${1:-build/bin}" && pwd)
seconds=${2:-3600}
sample=${3:-10}
segment=${SOAK_RECONNECT:-600}   # seconds between reconnects
(( segment > 0 )) || { echo "soak: SOAK_RECONNECT must be a positive number of seconds" >&2; exit 2; }
read -ra host_env <<< "${SOAK_HOST_ENV:-}"   # e.g. allocator tunables for an experiment
mode=1920x1080@60
# Margins over the first-minute level: memory in KiB (and a share), threads, descriptors.
rss_margin_kib=8192
rss_margin_pct=10
thread_margin=4
fd_margin=8
max_gap_ms=1000

top=$(mktemp -d /tmp/sorvane-soak-XXXXXX)
host_pid= vdd_pid= sampler_pid=
cleanup() {
  [[ -n $sampler_pid ]] && kill "$sampler_pid" 2>/dev/null && wait "$sampler_pid" 2>/dev/null || true
  [[ -n $host_pid ]] && kill -INT "$host_pid" 2>/dev/null && wait "$host_pid" 2>/dev/null || true
  [[ -n $vdd_pid ]] && kill -TERM "$vdd_pid" 2>/dev/null && wait "$vdd_pid" 2>/dev/null || true
}
trap cleanup EXIT
. "$(dirname "$0")/../stream/machine.sh"
start_machine "$bin" "$top" "${host_env[@]}"
echo "$host_pid" > host.pid

# One line per sample: seconds since the start, then RSS (KiB), threads and
# descriptors of the host and of the driver.
probe() {
  local pid=$1 rss threads fds
  rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status" 2>/dev/null || echo 0)
  threads=$(awk '/^Threads:/ { print $2 }' "/proc/$pid/status" 2>/dev/null || echo 0)
  fds=$(ls "/proc/$pid/fd" 2>/dev/null | wc -l)
  echo "$rss $threads $fds"
}
start=$(date +%s)
(
  while :; do
    echo "$(( $(date +%s) - start )) $(probe "$host_pid") $(probe "$vdd_pid")" >> samples.txt
    sleep "$sample"
  done
) &
sampler_pid=$!

# The viewer runs: one per reconnect period (the last one shorter), a tap half a minute in and every minute after.
failed=0 run=0 remaining=$seconds
while (( remaining > 0 )); do
  length=$(( remaining < segment ? remaining : segment ))
  taps=()
  for (( t = 30; t < length; t += 60 )); do taps+=(--tap "0.5,0.5@$t"); done
  run=$(( run + 1 ))
  if ! "$bin/sorvane-viewer" stream 127.0.0.1 --state "$top/viewer" --seconds "$length" --mode "$mode" "${taps[@]}" \
       > "stream-$run.out" 2>&1; then
    echo "soak: viewer run $run failed (see $top/work/stream-$run.out)" >&2
    failed=1
  fi
  gap=$(sed -n 's/^  longest gap between pictures: \([0-9]*\) ms$/\1/p' "stream-$run.out")
  rate=$(sed -n 's/^  rate: \([0-9.]*\) fps.*/\1/p' "stream-$run.out")
  lost=$(sed -n 's/^  frames: .*lost \([0-9]*\)$/\1/p' "stream-$run.out")
  echo "viewer run $run: ${length} s, ${rate:--} fps, ${lost:--} lost, longest gap ${gap:--} ms"
  if [[ -z $gap ]] || (( gap > max_gap_ms )); then
    echo "soak: viewer run $run went ${gap:-?} ms without a picture (limit $max_gap_ms ms)" >&2
    failed=1
  fi
  remaining=$(( remaining - length ))
done
kill "$sampler_pid"; wait "$sampler_pid" 2>/dev/null || true; sampler_pid=
echo "$(( $(date +%s) - start )) $(probe "$host_pid") $(probe "$vdd_pid")" >> samples.txt

# The first-minute level (first third of a shorter run) against everything after it.
window=$(( seconds < 180 ? seconds / 3 : 60 ))
awk -v w="$window" -v rm="$rss_margin_kib" -v rp="$rss_margin_pct" -v tm="$thread_margin" -v fm="$fd_margin" '
  BEGIN { split("host_rss_kib host_threads host_fds vdd_rss_kib vdd_threads vdd_fds", name, " ") }
  {
    for (i = 1; i <= 6; ++i) {
      v = $(i + 1)
      if ($1 <= w) { if (!(i in base) || v > base[i]) base[i] = v }
      else if (!(i in late) || v > late[i]) late[i] = v
    }
  }
  END {
    bad = 0
    printf "%-14s %12s %12s %10s\n", "measure", "first_level", "later_max", "limit"
    for (i = 1; i <= 6; ++i) {
      if (!(i in late)) late[i] = base[i]
      m = (i % 3 == 1) ? (rm > base[i] * rp / 100 ? rm : base[i] * rp / 100) : (i % 3 == 2 ? tm : fm)
      grew = late[i] > base[i] + m
      printf "%-14s %12d %12d %10d%s\n", name[i], base[i], late[i], base[i] + m, (grew ? "  GREW" : "")
      if (grew) bad = 1
    }
    exit bad
  }' samples.txt || failed=1

kill -INT "$host_pid"; wait "$host_pid" || true; host_pid=
kill -TERM "$vdd_pid"; wait "$vdd_pid" || true; vdd_pid=
echo "samples and outputs kept in $top/work"
if (( failed )); then echo "soak: FAILED"; exit 1; fi
echo "soak: passed ($seconds s)"
