#!/usr/bin/env bash
# The chain against a general-purpose encoder pipeline, measured in one run on
# the same test-card frames: ffmpeg reads them as rgb24, converts them with
# swscale and encodes them with libx264 (ultrafast, zero latency, 2 sliced
# threads, 20 Mbit/s); media_bench runs the chain (capture copy, conversion,
# x264). Prints ffmpeg's wall time per frame, the chain's p50 and their ratio
# per size.
#   bench/media/ffmpeg_peer.sh [BENCH_DIR]   (default build/bench)
set -euo pipefail
bench=$(cd "${1:-build/bench}" && pwd)
command -v ffmpeg > /dev/null || { echo "ffmpeg_peer: ffmpeg is not installed" >&2; exit 1; }
tmp=$(mktemp -d "$([[ -d /dev/shm ]] && echo /dev/shm || echo /tmp)/sorvane-peer-XXXXXX")
trap 'rm -rf "$tmp"' EXIT

printf "%-10s %16s %14s %8s\n" size ffmpeg_ms/frame chain_p50_ms ratio
for size in 1920x1080:240 2560x1600:120; do
  wh=${size%%:*} frames=${size##*:}
  w=${wh%x*} h=${wh#*x}
  # 60 distinct frames, read over and over up to the chain's frame count.
  "$bench/tools/card_frames" "$w" "$h" 60 "$tmp/card.rgb"
  loops=$(( frames / 60 - 1 ))
  rtime=$(ffmpeg -hide_banner -nostdin -benchmark -f rawvideo -pix_fmt rgb24 -s "$wh" -r 60 -stream_loop "$loops" \
            -i "$tmp/card.rgb" -c:v libx264 -preset ultrafast -tune zerolatency -threads 2 -x264-params sliced-threads=1 \
            -b:v 20M -f null - 2>&1 | sed -n 's/.*bench: utime=.* rtime=\([0-9.]*\)s.*/\1/p' | tail -n 1)
  rm -f "$tmp/card.rgb"
  chain=$("$bench/media_bench" --benchmark_filter="BM_CaptureConvertEncode/w:$w/h:$h" 2>/dev/null |
            sed -n 's/^chain .* p50 \([0-9.]*\) ms,.*/\1/p')
  if [[ -z $rtime || -z $chain ]]; then
    echo "ffmpeg_peer: no figure for $wh (ffmpeg: '${rtime}', chain: '${chain}')" >&2
    exit 1
  fi
  awk -v s="$wh" -v r="$rtime" -v n="$frames" -v c="$chain" \
    'BEGIN { f = 1000 * r / n; printf "%-10s %16.2f %14.2f %8.2f\n", s, f, c, c / f }'
done
