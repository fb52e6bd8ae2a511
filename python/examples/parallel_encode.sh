#!/usr/bin/env bash
# parallel_encode.sh LOGINS OUTDIR QUANTIZATION [IMAGE ...]
# Encodes every IMAGE (or every path read from standard input, one a line)
# into OUTDIR/<name>.kv2 with the kelvane program, the jobs spread by GNU
# parallel over the machines of LOGINS, an ssh login file (see
# `man parallel`, --sshloginfile; a line ":" is this machine). Images, OUTDIR,
# this folder and the program must lie at the same paths on every machine
# (shared storage). KELVANE names the program (default: kelvane on PATH).
# Prints the images and input megabytes per second; fails when any job fails.
set -euo pipefail
if (($# < 3)); then
  echo "usage: $0 LOGINS OUTDIR QUANTIZATION [IMAGE ...]" >&2
  exit 2
fi
logins=$1 out=$(realpath "$2") q=$3
shift 3
here=$(dirname "$(realpath "$0")")
kelvane=${KELVANE:-kelvane}
[[ $kelvane == */* ]] && kelvane=$(realpath "$kelvane")
mkdir -p "$out"
list=$(mktemp)
trap 'rm -f "$list"' EXIT
if (($#)); then printf '%s\n' "$@"; else cat; fi | while IFS= read -r image; do realpath "$image"; done >"$list"

start=$(date +%s.%N)
# Each job runs in a directory of its own: the program writes its diagnostic
# picture (dir.pgm / dir.ppm) into the current one. --quote keeps every word
# whole (paths with blanks) through the shell parallel runs the job in.
parallel --quote --sshloginfile "$logins" --halt now,fail=1 --arg-file "$list" \
  "$here/kelvane_job.sh" "$kelvane" {} "$out/{/.}.kv2" "$q"
end=$(date +%s.%N)
count=$(wc -l <"$list")
bytes=$(tr '\n' '\0' <"$list" | xargs -0 stat -c %s | awk '{ s += $1 } END { print s + 0 }')
echo "$count $bytes $start $end" | awk '{ t = $4 - $3; printf "%d images, %.2f MB in %.2f s: %.2f images/s, %.2f MB/s\n", $1, $2 / 1e6, t, $1 / t, $2 / 1e6 / t }'
