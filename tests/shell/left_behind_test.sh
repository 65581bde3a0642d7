#!/usr/bin/env bash
# What a test script starts ends with the script, also when the script is
# killed at its timeout and no EXIT trap runs.
set -uo pipefail
source "$(dirname "$0")/../support/tied.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

bash -c 'source "$1"; "${tied[@]}" sleep 60 & echo $! >"$2"; sleep 60' sh "$(dirname "$0")/../support/tied.sh" "$work/pid" &
script=$!
for _ in $(seq 50); do [ -s "$work/pid" ] && break; sleep 0.1; done
helper=$(cat "$work/pid")
kill -0 "$helper" || { echo "FAIL: the helper did not start"; exit 1; }
kill -KILL "$script"; wait "$script" 2>/dev/null
# Gone, or a zombie nobody reaps (a container's first process may not).
alive() { local state; state=$(ps -o stat= -p "$1") && [ "${state:0:1}" != Z ]; }
for _ in $(seq 50); do alive "$helper" || break; sleep 0.1; done
! alive "$helper" || { echo "FAIL: the helper outlived its killed script"; kill "$helper"; exit 1; }

# A script that ended before the helper was tied to it: the helper does not run.
tied[-1]=1
"${tied[@]}" touch "$work/ran"
status=$?
[ "$status" = 127 ] && [ ! -e "$work/ran" ] || { echo "FAIL: an orphan ran (status $status)"; exit 1; }
echo "helpers end with their script"
