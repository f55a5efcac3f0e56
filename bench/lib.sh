# shellcheck shell=bash disable=SC2154  # $root and $build come from the script
# Shell helpers of the bench scripts and ./dev: a private X server, Duoscope
# started on it and ended with ESC, and CPU and memory figures read from
# /proc. The script that sources it sets $root (the source tree) and $build
# (the build folder).

work=$(mktemp -d)
# The programs started here that are still running; the scripts empty each
# one once it has ended.
viewer_pid="" gst_pid="" xvfb_pid=""
cleanup() {
    local pid
    for pid in $viewer_pid $gst_pid $xvfb_pid; do kill "$pid" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT

# Starts Xvfb on a free display and points DISPLAY at it. Without -noreset
# Xvfb resets whenever its last client goes and refuses whoever connects
# meanwhile. There is no desktop session, so the window toolkit is told not
# to look for a session bus, and gets a private runtime folder when there is
# none.
start_xvfb() {
    : >"$work/display"
    Xvfb -displayfd 3 -screen 0 1600x1200x24 -nolisten tcp -noreset 3>"$work/display" \
        >/dev/null 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 100); do
        grep -q . "$work/display" && break
        sleep 0.1
    done
    grep -q . "$work/display" || { echo "Xvfb did not start" >&2 && exit 1; }
    DISPLAY=":$(head -n 1 "$work/display")"
    export DISPLAY DBUS_SESSION_BUS_ADDRESS=disabled:
    if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
        mkdir -m 700 "$work/runtime"
        export XDG_RUNTIME_DIR=$work/runtime
    fi
}

# wait_window NAME: prints the id of the first visible window of that name,
# looking every 20 ms for up to 20 s.
wait_window() {
    local id
    for _ in $(seq 1000); do
        id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1) || true
        [ -n "$id" ] && echo "$id" && return 0
        sleep 0.02
    done
}

# viewer_failed MESSAGE: says what went wrong with what the viewer wrote,
# and exits.
viewer_failed() {
    echo "$1" >&2
    cat "$work/duoscope.out" "$work/duoscope.err" >&2
    exit 1
}

# start_duoscope SCENARIO: starts the viewer with the stats going to
# $work/stats.json; sets $viewer_pid and $window once its window shows, and
# $first_picture_ms to the time from the start to then (the window appears
# with the first picture; it is looked for every 20 ms).
start_duoscope() {
    rm -f "$work/stats.json"
    local started
    started=$(now)
    VANTRA_SIM_SCENARIO=$1 VANTRA_SIM_STATS=$work/stats.json \
        "$build/bin/duoscope" >"$work/duoscope.out" 2>"$work/duoscope.err" &
    viewer_pid=$!
    window=$(wait_window Duoscope)
    [ -n "$window" ] || viewer_failed "Duoscope showed no window"
    first_picture_ms=$(fmt=%.0f calc "($(now) - $started) * 1000")
}

# Presses ESC in the viewer's window and waits for its end; fails when it
# does not end within 20 s or ends with a status other than 0.
stop_duoscope() {
    # xdotool fails when the window closes on the press before it sends the
    # release; what counts is that the viewer ends.
    xdotool windowfocus --sync "$window" key Escape 2>/dev/null || true
    for _ in $(seq 200); do
        kill -0 "$viewer_pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$viewer_pid" 2>/dev/null; then
        kill -9 "$viewer_pid"
        viewer_failed "Duoscope did not end after ESC"
    fi
    local status=0
    wait "$viewer_pid" || status=$?
    viewer_pid=""
    [ "$status" -eq 0 ] || viewer_failed "Duoscope ended with status $status"
}

# sim_stat NAME: one number from the stats that the SDK wrote at the end.
sim_stat() { jq -r ".$1" "$work/stats.json"; }

# thread_ticks PID: one line per thread, "tid ticks minflt name", ticks being
# its user plus system CPU time in clock ticks and minflt its minor page faults.
thread_ticks() {
    local task
    for task in /proc/"$1"/task/*; do
        # Fields after the parenthesised name: minflt is the 8th, utime and
        # stime are the 12th and 13th.
        echo "${task##*/} $(sed 's/.*) //' "$task/stat" | awk '{print $12 + $13, $8}') $(cat "$task/comm")"
    done 2>/dev/null
}

# process_ticks PID: user plus system CPU time of the whole process.
process_ticks() { sed 's/.*) //' "/proc/$1/stat" | awk '{print $12 + $13}'; }

# kb FIELD PID: a field of /proc/PID/status in kB (VmRSS, VmHWM).
kb() { awk -v f="$1:" '$1 == f {print $2}' "/proc/$2/status"; }

# im_convert ARGS...: ImageMagick's conversion; its command is magick from
# version 7 on, where convert is deprecated.
im_convert() { if command -v magick >/dev/null 2>&1; then magick "$@"; else convert "$@"; fi; }

now() { date +%s.%N; }
# calc EXPRESSION: evaluates it with awk, printing what printf format $fmt
# (default %.2f) makes of it.
calc() { awk "BEGIN {printf \"${fmt:-%.2f}\", $1}"; }

# keep_table NAME [--update-readme]: prints the table $work/NAME.md and keeps
# it as $build/NAME.md; when asked, also puts it into bench/README.md.
keep_table() {
    cp "$work/$1.md" "$build/$1.md"
    echo
    cat "$build/$1.md"
    echo
    echo "The table is in $build/$1.md"
    if [ "${2:-}" = --update-readme ]; then
        readme_section "$1" "$build/$1.md"
        echo "bench/README.md: $1 table updated"
    fi
}

# readme_section NAME FILE: puts the file's text into bench/README.md between the
# lines <!-- NAME:begin --> and <!-- NAME:end -->; when they are missing, they
# are added at the end, under a heading "## Performance" if there is none.
readme_section() {
    local readme=$root/bench/README.md
    if ! grep -q "^<!-- $1:begin -->\$" "$readme"; then
        grep -q '^## Performance$' "$readme" || printf '\n## Performance\n' >>"$readme"
        printf '\n<!-- %s:begin -->\n<!-- %s:end -->\n' "$1" "$1" >>"$readme"
    fi
    awk -v begin="<!-- $1:begin -->" -v end="<!-- $1:end -->" -v text="$2" '
        $0 == end { while ((getline line < text) > 0) print line; skip = 0 }
        !skip { print }
        $0 == begin { skip = 1 }' "$readme" >"$work/README.md"
    cp "$work/README.md" "$readme"
}
