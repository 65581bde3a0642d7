#!/usr/bin/env bash
# The real program, offscreen, with a private runtime and configuration folder.
#   two-starts: a second start opens the first one's popover and exits at once;
#               only the first listens; beside a first one that does not
#               answer, a start gives up.
#   commands:   the command line against a running mixer on the built-in scene.
#   crowd:      1,100 clients connect to a mixer that may hold 1,024
#               descriptors; the command line is still answered and a second
#               start still runs no mixer of its own.
set -uo pipefail

program="$1"
work="$2"
mode="$3"
rm -rf "$work" && mkdir -p "$work/run" "$work/config" && chmod 700 "$work/run"
export XDG_RUNTIME_DIR="$work/run" XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=offscreen
source "$(dirname "$0")/../support/tied.sh"

fail() { echo "FAIL: $*"; echo "--- first instance:"; cat "$work/first.log"; exit 1; }

limit=$(ulimit -n)
[ "$mode" = crowd ] && limit=1024
( ulimit -n "$limit" && exec "${tied[@]}" "$program" --demo >"$work/first.log" 2>&1 ) &
first=$!
trap 'kill $first 2>/dev/null; wait $first 2>/dev/null' EXIT
for _ in $(seq 100); do [ -S "$work/run/ravlet.socket" ] && break; sleep 0.1; done
[ -S "$work/run/ravlet.socket" ] || fail "the first instance does not listen"
# Listening comes before the engine; wait until it answers for the scene.
for _ in $(seq 100); do "$program" list 2>/dev/null | grep -q Music && break; sleep 0.1; done

if [ "$mode" = two-starts ]; then
    start=$(date +%s%N)
    "${tied[@]}" timeout 10 "$program" --demo >"$work/second.log" 2>&1
    status=$?
    elapsed=$(( ($(date +%s%N) - start) / 1000000 ))
    [ "$status" = 0 ] || fail "the second start exited with $status: $(cat "$work/second.log")"
    [ "$elapsed" -lt 3000 ] || fail "the second start took ${elapsed} ms"
    for _ in $(seq 50); do grep -q '^\[ravlet\] another start asked to open the popover' "$work/first.log" && break; sleep 0.1; done
    grep -q '^\[ravlet\] another start asked to open the popover' "$work/first.log" || fail "the popover was not opened"
    kill -0 "$first" || fail "the first instance ended"
    [ "$(find "$work/run" -type s | wc -l)" = 1 ] || fail "more than one socket: $(ls -la "$work/run")"
    listeners=$(grep -c "$work/run/" /proc/net/unix)
    [ "$listeners" = 1 ] || fail "$listeners servers listen"
    # A first instance that runs but does not answer (here: stopped) keeps
    # the place: the start gives up rather than mix beside it.
    kill -STOP "$first"
    "${tied[@]}" timeout 20 "$program" --demo >"$work/third.log" 2>&1
    status=$?
    kill -CONT "$first"
    [ "$status" = 1 ] || fail "a start beside an unanswering mixer exited with $status: $(cat "$work/third.log")"
    grep -q 'did not answer; not starting another' "$work/third.log" || fail "it said: $(cat "$work/third.log")"
    echo "second start: ${elapsed} ms"
    exit 0
fi

if [ "$mode" = crowd ]; then
    "${tied[@]}" python3 -c '
import resource, socket, sys, time
hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
resource.setrlimit(resource.RLIMIT_NOFILE, (min(4096, hard), hard))
held, deadline = [], time.time() + 20
while len(held) < 1100 and time.time() < deadline:
    client = socket.socket(socket.AF_UNIX)
    client.setblocking(False)
    try:
        client.connect(sys.argv[1])
        held.append(client)
    except OSError:
        client.close()
        time.sleep(0.01)
print(len(held), flush=True)
time.sleep(60)
' "$work/run/ravlet.socket" >"$work/crowd" &
    crowd=$!
    trap 'kill $crowd $first 2>/dev/null; wait $first 2>/dev/null' EXIT
    for _ in $(seq 300); do [ -s "$work/crowd" ] && break; sleep 0.1; done
    [ "$(cat "$work/crowd")" = 1100 ] || fail "only $(cat "$work/crowd") of 1100 clients connected"
    # The crowd's first few hold their places until the mixer drops them as idle.
    answered=no
    for _ in $(seq 100); do "$program" list 2>/dev/null | grep -q Music && { answered=yes; break; }; sleep 0.1; done
    [ "$answered" = yes ] || fail "ravlet list is not answered beside the crowd"
    "${tied[@]}" timeout 15 "$program" --demo >"$work/second.log" 2>&1
    status=$?
    [ "$status" = 0 ] || [ "$status" = 1 ] || fail "the second start exited with $status: $(cat "$work/second.log")"
    kill -0 "$first" || fail "the first instance ended"
    listeners=$(grep "$work/run/" /proc/net/unix | awk '$4 == "00010000"' | wc -l)
    [ "$listeners" = 1 ] || fail "$listeners servers listen"
    "$program" list 2>/dev/null | grep -q Music || fail "ravlet list is not answered after a second start"
    echo "crowd: answered, one mixer"
    exit 0
fi

# expect STATUS PATTERN COMMAND...: the status, and a line of stdout+stderr matching PATTERN.
expect() {
    local want="$1" pattern="$2"
    shift 2
    local out status
    out=$("$program" "$@" 2>&1)
    status=$?
    [ "$status" = "$want" ] || fail "ravlet $* exited with $status, not $want: $out"
    grep -qE -- "$pattern" <<<"$out" || fail "ravlet $* said: $out"
}

# What each command does and answers is the mixer's (command_line_test);
# here the way there and back: the text printed, one exit status of each
# kind, and the settings file the real program writes.
expect 0 $'^/Applications/Music.app\tMusic\t100\tunmuted\trunning\tshown\tdefault\t100$' list
expect 0 'Music: 50 %' set music 50
settings=$(find "$work/config" -name '*.json' | head -n 1)
grep -q '"/Applications/Music.app": 0.5' "$settings" 2>/dev/null || fail "the settings do not hold the new volume"
expect 0 'prevent clipping: on' limiter on
grep -q '"ravlet.limiter": true' "$settings" 2>/dev/null || fail "the settings do not hold Prevent Clipping"
expect 1 'no application is called Radio' mute Radio
expect 2 'not a volume from 0 to 150' set Music 151

kill "$first"; wait "$first" 2>/dev/null
expect 3 'no running Ravlet' list
echo "commands: all answered"
