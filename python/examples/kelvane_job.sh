#!/bin/sh
# kelvane_job.sh PROGRAM IMAGE STREAM QUANTIZATION: one encode by the kelvane
# program, in a fresh directory that is removed afterwards, quiet unless it
# fails (then its output goes to standard error and its status is kept).
dir=$(mktemp -d) || exit 1
log=$(cd "$dir" && "$1" "$2" "$3" "$4" 2>&1)
status=$?
rm -rf "$dir"
[ "$status" -eq 0 ] || printf '%s: %s\n' "$2" "$log" >&2
exit "$status"
