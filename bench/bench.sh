#!/usr/bin/env bash
# Measures Duoscope on the simulated camera against the floor of its per-set
# work and against a GStreamer pipeline showing the same MJPEG frames, prints
# one table and puts it into README.md between the bench markers.
#   bench/bench.sh BUILD_DIR [SECONDS]     (./dev bench builds, then runs it)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
seconds=${2:-20}
source "$root/bench/lib.sh"
tck=$(getconf CLK_TCK)

cpu=$(awk -F': ' '/^model name/ {print $2; exit}' /proc/cpuinfo)
cores=$(nproc)
echo "== $cpu, $cores cores; load average before the run: $(cut -d' ' -f1-3 /proc/loadavg)"

echo "== floor: the per-set work without a window (Google Benchmark)"
export VANTRA_SIM_SCENARIO=$root/bench/frames.json
"$build/bin/floor_bench" --benchmark_format=json >"$work/floor.json"
floor() { calc "$(jq ".benchmarks[] | select(.name | startswith(\"$1\")) | .cpu_time" "$work/floor.json")"; }
floor_ms=$(floor BM_PacedAt30)
floor_hot_ms=$(floor BM_BackToBack)
mkdir "$work/jpeg"
"$build/bin/floor_bench" --dump-jpeg "$work/jpeg"
unset VANTRA_SIM_SCENARIO

start_xvfb

echo "== Duoscope for $seconds s"
start_duoscope "$root/bench/viewer.json"
t0=$(now)
thread_ticks "$viewer_pid" >"$work/ticks0"
sleep "$seconds"
thread_ticks "$viewer_pid" >"$work/ticks1"
t1=$(now)
peak_kb=$(kb VmHWM "$viewer_pid")
pid=$viewer_pid
stop_duoscope

# Each thread's CPU over the run, summed by role. OpenCV's worker threads are
# started by the processing thread and carry its name, so they count with it.
awk -v pid="$pid" '
    FNR == NR { before[$1] = $2; next }
    { role = $1 == pid ? "main" : $3 == "duo-capture" ? "capture" : $3 == "duo-process" ? "process" \
             : $3 == "vt-sim" ? "sdk" : "toolkit"
      ticks[role] += $2 - before[$1] }
    END { for (r in ticks) print r, ticks[r] }' "$work/ticks0" "$work/ticks1" >"$work/roles"
role() { awk -v r="$1" '$1 == r {t = $2} END {print t + 0}' "$work/roles"; }
run_s=$(calc "$t1 - $t0")
shown=$(sim_stat framesets_read)
per_set() { calc "($1) * 1000 / $tck / $shown"; }
ours_ms=$(per_set "$(role main) + $(role capture) + $(role process)")

peer_ms=""
if command -v gst-launch-1.0 >/dev/null; then
    echo "== GStreamer: jpegdec ! videoconvert ! ximagesink for $seconds s"
    gst-launch-1.0 -m multifilesrc location="$work/jpeg/%03d.jpg" index=0 loop=true \
        caps="image/jpeg,framerate=30/1" ! jpegdec ! videoconvert ! ximagesink \
        >"$work/gst.log" 2>&1 &
    gst_pid=$!
    [ -n "$(wait_window gst-launch-1.0)" ] || { echo "GStreamer showed no window" >&2 && exit 1; }
    g0=$(now)
    gst_ticks0=$(process_ticks "$gst_pid")
    sleep "$seconds"
    gst_ticks1=$(process_ticks "$gst_pid")
    g1=$(now)
    kill -INT "$gst_pid"
    wait "$gst_pid" || true
    gst_pid=""
    # Frames due at 30 per second; a late frame would show as a QoS message.
    gst_frames=$(calc "($g1 - $g0) * 30")
    gst_qos=$(grep -c '(qos)' "$work/gst.log" || true)
    peer_ms=$(calc "($gst_ticks1 - $gst_ticks0) * 1000 / $tck / $gst_frames")
fi

table() {
    echo "Measured on $cpu, $cores cores, $(date +%Y-%m-%d); Duoscope and GStreamer on Xvfb for $run_s s each."
    echo
    echo "| measure | result | target |"
    echo "|---|---|---|"
    echo "| frame sets shown per second (of 30) | $(calc "$shown / $run_s") ($shown sets) | at least 29.5 |"
    echo "| sets dropped (delivered - shown) | $(($(sim_stat framesets_delivered) - shown)) | |"
    echo "| latency p50 / p99 | $(sim_stat latency_ms_p50) / $(sim_stat latency_ms_p99) ms | p99 under 33 ms |"
    echo "| Duoscope CPU per shown set (main, capture, processing threads) | $ours_ms ms | |"
    echo "| - processing / capture / main | $(per_set "$(role process)") / $(per_set "$(role capture)") / $(per_set "$(role main)") ms | |"
    echo "| - Qt's own threads, not counted above | $(per_set "$(role toolkit)") ms | |"
    echo "| - the simulated camera's thread (vt-sim), not counted above | $(per_set "$(role sdk)") ms | |"
    echo "| main thread's CPU share | $(fmt=%.2f calc "$(role main) * 100 / $tck / $run_s") % of a core | under 1 % |"
    echo "| peak RSS of the viewer process | $(calc "$peak_kb / 1024") MB | |"
    echo "| floor: the same work without a window, one set every 1/30 s (process CPU per set) | $floor_ms ms | |"
    echo "| floor, sets back to back with warm caches | $floor_hot_ms ms | |"
    echo "| ours / floor (one set every 1/30 s) | $(calc "$ours_ms / $floor_ms") | at most 1.3 |"
    echo "| ours / floor (back to back) | $(calc "$ours_ms / $floor_hot_ms") | |"
    if [ -n "$peer_ms" ]; then
        echo "| GStreamer: CPU per frame (frames counted as time x 30; QoS messages: $gst_qos) | $peer_ms ms | |"
        echo "| ours / GStreamer | $(calc "$ours_ms / $peer_ms") | |"
    else
        echo "| GStreamer | not installed | |"
    fi
}
table >"$work/table.md"
echo
cat "$work/table.md"

readme_section bench "$work/table.md"
echo
echo "README.md: Performance table updated"
