#!/usr/bin/env bash
# Starts the real program on a virtual display, clicks its status item, and
# saves a screenshot of the popover. Fails when no popover appears or when
# what appears is empty.
#   button:          a bare X server: the status item is the corner button.
#   status-notifier: a tray host on a private session bus: the host reads
#                    the item's menu and clicks at a place.
set -euo pipefail

program="$1"
work="$2"
mode="${3:-button}"
watcher="${4:-}"
rm -rf "$work" && mkdir -p "$work/config" "$work/run" && chmod 700 "$work/run"
source "$(dirname "$0")/../support/tied.sh"

"${tied[@]}" Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb=$!
program_pid=""
bus_pid=""
watcher_pid=""
cleanup() {
    [ -n "$program_pid" ] && kill "$program_pid" 2>/dev/null || true
    [ -n "$watcher_pid" ] && kill "$watcher_pid" 2>/dev/null || true
    [ -n "$bus_pid" ] && kill "$bus_pid" 2>/dev/null || true
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

if [ "$mode" = status-notifier ]; then
    "${tied[@]}" dbus-daemon --session --nofork --print-address=1 >"$work/bus" 2>"$work/bus.log" &
    bus_pid=$!
    for _ in $(seq 50); do [ -s "$work/bus" ] && break; sleep 0.1; done
    export DBUS_SESSION_BUS_ADDRESS="$(head -n 1 "$work/bus")"
    "${tied[@]}" "$watcher" >"$work/items" 2>"$work/watcher.log" &
    watcher_pid=$!
    for _ in $(seq 50); do gdbus introspect --session --dest org.kde.StatusNotifierWatcher \
        --object-path /StatusNotifierWatcher >/dev/null 2>&1 && break; sleep 0.1; done
else
    # No session bus at all: nothing of the user's, and no tray host.
    export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-bus"
fi

# The built-in scene: no audio server is needed to see rows.
"${tied[@]}" "$program" --demo >"$work/ravlet.log" 2>&1 &
program_pid=$!

started() { kill -0 "$program_pid" 2>/dev/null || { echo "ravlet exited early:"; cat "$work/ravlet.log"; exit 1; }; }

if [ "$mode" = status-notifier ]; then
    item=""
    for _ in $(seq 100); do item=$(head -n 1 "$work/items"); [ -n "$item" ] && break; started; sleep 0.1; done
    [ -n "$item" ] || { echo "the item did not register with the watcher"; cat "$work/ravlet.log"; exit 1; }
    grep -q '^\[ravlet\] in the tray: status notifier item$' "$work/ravlet.log" \
        || { echo "the log does not say which tray item stands"; cat "$work/ravlet.log"; exit 1; }
    sni() { gdbus call --session --dest "$item" --object-path /StatusNotifierItem --method "$@"; }
    gdbus call --session --dest "$item" --object-path /MenuBar --method com.canonical.dbusmenu.GetLayout 0 -- -1 '@as []' \
        | grep -q "'Quit Ravlet'" || { echo "the item's menu has no Quit Ravlet"; exit 1; }
    sni org.kde.StatusNotifierItem.Activate 700 0 >/dev/null
else
    # The status item: with no tray on a bare X server, a small button window.
    button=""
    for _ in $(seq 100); do
        button=$(xdotool search --onlyvisible --name '^Ravlet$' 2>/dev/null | head -n 1 || true)
        [ -n "$button" ] && break
        started
        sleep 0.1
    done
    [ -n "$button" ] || { echo "no status item appeared"; cat "$work/ravlet.log"; exit 1; }
    xdotool mousemove --window "$button" 16 16 click 1
fi

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
if [ "$mode" = status-notifier ]; then
    eval "$(xdotool getwindowgeometry --shell "$popover")"
    centre=$(( X + WIDTH / 2 ))
    [ "$centre" -ge 698 ] && [ "$centre" -le 702 ] || { echo "the popover is centred at $centre, not under the click at 700"; exit 1; }
fi

/usr/bin/import -window "$popover" "$work/popover.png"
deviation=$(/usr/bin/convert "$work/popover.png" -colorspace Gray -format '%[fx:standard_deviation]' info:)
echo "screenshot: $work/popover.png (grey standard deviation $deviation)"
awk -v d="$deviation" 'BEGIN { exit !(d > 0.02) }' || { echo "the popover is empty"; exit 1; }
