# Sourced by the test scripts. "${tied[@]}" COMMAND... & starts COMMAND so that
# it ends with the script, also when the script is killed at its timeout
# (no EXIT trap runs then): the kernel sends it SIGKILL as the script ends,
# and one whose script ended before that was set exits at once.
# Only for commands started with & from the script's own shell (not from a
# subshell or a function), whose parent is the script itself.
tied=(setpriv --pdeathsig KILL -- /bin/sh -c '[ "$PPID" = "$0" ] || exit 127; exec "$@"' "$$")
