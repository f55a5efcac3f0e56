#!/usr/bin/env bash
# Runs Duoscope on the simulated camera for a while, then presses ESC; reports
# its memory at the start and the end, the sets shown and what the SDK counted
# as leaked. Prints the table and keeps it in BUILD_DIR/soak.md; with
# --update-readme it also goes into bench/README.md between the soak markers.
#   bench/soak.sh BUILD_DIR [MINUTES] [--update-readme]   (./dev soak builds, then runs it)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
minutes=${2:-10}
update_readme=${3:-}
source "$root/bench/lib.sh"

start_xvfb
start_duoscope "$root/bench/viewer.json"
sleep 5  # warm-up: the first picture, Qt's set-up, the scene's frames
rss_start=$(kb VmRSS "$viewer_pid")
echo "RSS after 5 s: $rss_start kB"
for minute in $(seq "$minutes"); do
    sleep $((minute == 1 ? 55 : 60))
    echo "RSS after $minute min: $(kb VmRSS "$viewer_pid") kB"
done
rss_end=$(kb VmRSS "$viewer_pid")
peak=$(kb VmHWM "$viewer_pid")
stop_duoscope

{
    echo "Soak: Duoscope on the simulated camera for $minutes min, then ESC ($(date +%Y-%m-%d))."
    echo
    echo "| measure | result | target |"
    echo "|---|---|---|"
    echo "| RSS after 5 s / at the end | $rss_start kB / $rss_end kB | |"
    echo "| RSS growth | $((rss_end - rss_start)) kB | under 2 MB |"
    echo "| peak RSS | $peak kB | |"
    echo "| frame sets shown (delivered) | $(sim_stat framesets_read) ($(sim_stat framesets_delivered)) | |"
    echo "| leaked frame sets / frames | $(sim_stat leaked_framesets) / $(sim_stat leaked_frames) | 0 / 0 |"
    echo "| latency p50 / p99 | $(sim_stat latency_ms_p50) / $(sim_stat latency_ms_p99) ms | |"
    echo "| pictures that failed (OpenCV reports on standard error) | $(grep -c 'OpenCV(' "$work/duoscope.err" || true) | 0 |"
} >"$work/soak.md"
keep_table soak "$update_readme"
