#!/usr/bin/env bash
# Runs a Windows test program under Wine, for CTest. Under load, Wine now and
# then loses a program while it starts, before the program has written a byte;
# such a start is tried again, up to three times in all. A program that ran and
# failed is not run again: its output and status are CTest's.
set -u
out=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX") || exit 1
trap 'rm -f "$out"' EXIT
status=0
for attempt in 1 2 3; do
  /usr/lib/wine/wine64 "$@" >"$out"
  status=$?
  if [ "$status" -eq 0 ] || [ -s "$out" ]; then
    cat "$out"
    exit "$status"
  fi
  echo "wine-run: $1 ended with status $status before writing anything (start $attempt of 3)" >&2
done
exit "$status"
