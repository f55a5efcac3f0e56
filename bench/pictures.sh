#!/usr/bin/env bash
# Makes the README's pictures of what the programs show on the simulated
# camera: docs/duoscope.png, a screenshot of Duoscope's window on a private X
# server, docs/duoscope-overlay.png, its two halves laid over each other as
# RENDER_OVERLAY does, and docs/camprobe.png, Camprobe's report as a terminal
# shows it.
#   bench/pictures.sh BUILD_DIR     (./dev pictures builds, then runs it)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
source "$root/bench/lib.sh"
mkdir -p "$root/docs"
unset VANTRA_SIM_SCENARIO VANTRA_SIM_TRACE VANTRA_SIM_STATS

# Duoscope with the built-in camera, a few seconds in.
start_xvfb
start_duoscope ""
sleep 3
import -window "$window" "$work/duoscope.png"
stop_duoscope
im_convert "$work/duoscope.png" -strip "$root/docs/duoscope.png"
# What RENDER_OVERLAY makes of the same set: the mean of the colour and the
# depth picture at one size, here the two halves of the window's picture.
im_convert "$work/duoscope.png" -crop 2x1@ +repage -evaluate-sequence mean -strip \
    "$root/docs/duoscope-overlay.png"

# Camprobe typed into a shell on an 80 x 20 terminal, read off the screen
# while it waits for ESC.
tmux_() { tmux -L "vantra-pictures-$$" "$@"; }
tmux_ -f /dev/null new-session -d -x 80 -y 20 -c "$build/bin" \
    "env -i PATH=/usr/bin:/bin TERM=xterm PS1='$ ' bash --norc --noprofile"
# wait_screen TEXT: waits up to 10 s for the text to show on the screen.
wait_screen() {
    for _ in $(seq 100); do
        tmux_ capture-pane -p | grep -qF "$1" && return 0
        sleep 0.1
    done
}
wait_screen '$ '
tmux_ send-keys "./camprobe" Enter
wait_screen 'Press ESC to exit!'
tmux_ capture-pane -p >"$work/camprobe.txt"
tmux_ send-keys Escape
tmux_ kill-server
grep -q 'Press ESC to exit!' "$work/camprobe.txt" || { echo "Camprobe showed no report" >&2 && exit 1; }
# The screen without its empty lines at the bottom; ImageMagick reads % and \
# in a label as escapes, so they are doubled.
text=$(sed -e :a -e '/^\n*$/{$d;N;ba' -e '}' "$work/camprobe.txt" | sed 's/[%\\]/&&/g')
im_convert -background '#1e1e1e' -fill '#e0e0e0' \
    -font /usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf -pointsize 15 \
    label:"$text" -bordercolor '#1e1e1e' -border 14 +dither -colors 16 -strip "$root/docs/camprobe.png"

ls -l "$root/docs/duoscope.png" "$root/docs/duoscope-overlay.png" "$root/docs/camprobe.png"
