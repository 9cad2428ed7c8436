#!/bin/sh
# Runs every test executable of a cross-built tree, and the call-count benchmark, on the machine
# the tree was copied to: ./run-tests.sh at the top of the tree. Each finds its data and the
# sidecar relative to itself. The end-to-end events' schema check needs Node and the built
# client, so it runs with the dev build (scripts/test.sh) only. Exit status 1 when any fails.
here=$(CDPATH= cd -- "$(dirname -- "$0")" && pwd)
status=0
for program in "$here"/tests/*_tests "$here"/bench/mac_refresh_calls; do
  [ -x "$program" ] || continue
  echo "== ${program#"$here"/}"
  "$program" || { echo "FAILED: ${program#"$here"/}"; status=1; }
done
exit "$status"
