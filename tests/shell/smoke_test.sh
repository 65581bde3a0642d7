#!/usr/bin/env bash
# Starts the real program on a virtual display, clicks its status item, and
# saves a screenshot of the popover. Fails when no popover appears or when
# what appears is empty.
set -euo pipefail

program="$1"
work="$2"
rm -rf "$work" && mkdir -p "$work/config" "$work/run" && chmod 700 "$work/run"

Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb=$!
program_pid=""
cleanup() {
    [ -n "$program_pid" ] && kill "$program_pid" 2>/dev/null || true
    kill "$xvfb" 2>/dev/null || true
}
trap cleanup EXIT

for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(cat "$work/display")"
export XDG_CONFIG_HOME="$work/config"
# Its own runtime folder: a mixer already running for this user would
# otherwise take the start over.
export XDG_RUNTIME_DIR="$work/run"
export QT_QPA_PLATFORM=xcb

# The built-in scene: no audio server is needed to see rows.
"$program" --demo >"$work/ravlet.log" 2>&1 &
program_pid=$!

# The status item: with no tray on a bare X server, a small button window.
button=""
for _ in $(seq 100); do
    button=$(xdotool search --onlyvisible --name '^Ravlet$' 2>/dev/null | head -n 1 || true)
    [ -n "$button" ] && break
    kill -0 "$program_pid" 2>/dev/null || { echo "ravlet exited early:"; cat "$work/ravlet.log"; exit 1; }
    sleep 0.1
done
[ -n "$button" ] || { echo "no status item appeared"; cat "$work/ravlet.log"; exit 1; }

xdotool mousemove --window "$button" 16 16 click 1

popover=""
for _ in $(seq 100); do
    for window in $(xdotool search --onlyvisible --name '^Ravlet$' 2>/dev/null || true); do
        width=$(xdotool getwindowgeometry "$window" | sed -n 's/.*Geometry: \([0-9]*\)x.*/\1/p')
        [ "${width:-0}" -ge 300 ] && popover="$window"
    done
    [ -n "$popover" ] && break
    sleep 0.1
done
[ -n "$popover" ] || { echo "no popover appeared"; cat "$work/ravlet.log"; exit 1; }
sleep 1

/usr/bin/import -window "$popover" "$work/popover.png"
deviation=$(/usr/bin/convert "$work/popover.png" -colorspace Gray -format '%[fx:standard_deviation]' info:)
echo "screenshot: $work/popover.png (grey standard deviation $deviation)"
awk -v d="$deviation" 'BEGIN { exit !(d > 0.02) }' || { echo "the popover is empty"; exit 1; }
