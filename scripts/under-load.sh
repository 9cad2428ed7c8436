#!/usr/bin/env bash
# Runs a command while the machine is busy: four busy loops per processor, started before the
# command and stopped after it however it ends. Exits with the command's status.
#   scripts/under-load.sh [--per-core N] COMMAND [ARG...]
set -uo pipefail
per_core=4
if [ "${1:-}" = "--per-core" ]; then per_core=$2; shift 2; fi
if [ $# -eq 0 ]; then echo "usage: $0 [--per-core N] COMMAND [ARG...]" >&2; exit 2; fi

loops=()
stop_loops() {
  [ ${#loops[@]} -eq 0 ] || kill "${loops[@]}" 2>/dev/null
  wait "${loops[@]}" 2>/dev/null
  loops=()
}
trap stop_loops EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

count=$((per_core * $(getconf _NPROCESSORS_ONLN)))
for _ in $(seq "$count"); do
  # A busy shell of its own, with nothing to clean up but itself.
  sh -c 'while :; do :; done' &
  loops+=("$!")
done
echo "under load: $count busy loops" >&2
# Tests that print a figure rather than check one can tell that the figure means nothing here.
PROCSAMPLER_UNDER_LOAD=$count "$@"
status=$?
exit "$status"
