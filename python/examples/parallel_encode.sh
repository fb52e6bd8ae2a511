#!/usr/bin/env bash
# parallel_encode.sh LOGINS OUTDIR QUANTIZATION [IMAGE ...]
# Encodes every IMAGE (or every path read from standard input, one a line)
# into OUTDIR/<name>.kv2 with the kelvane program, the jobs spread by GNU
# parallel over the machines of LOGINS, an ssh login file (see
# `man parallel`, --sshloginfile; a line ":" is this machine). Images, OUTDIR,
# this folder and the program must lie at the same paths on every machine
# (shared storage). KELVANE names the program (default: kelvane on PATH).
# Writes what `kelvane encode IMAGE -o STREAM -q QUANTIZATION` writes (a
# PNG's metadata kept) and overwrites earlier streams. Refuses, before any
# job, images whose names differ only by folder or extension: they would
# share a stream. Prints the images and input megabytes per second; fails
# when any job fails.
set -euo pipefail
if (($# < 3)); then
  echo "usage: $0 LOGINS OUTDIR QUANTIZATION [IMAGE ...]" >&2
  exit 2
fi
logins=$1 out=$(realpath "$2") q=$3
shift 3
kelvane=${KELVANE:-kelvane}
[[ $kelvane == */* ]] && kelvane=$(realpath "$kelvane")
mkdir -p "$out"
list=$(mktemp)
trap 'rm -f "$list"' EXIT
if (($#)); then printf '%s\n' "$@"; else cat; fi | while IFS= read -r image; do realpath "$image"; done >"$list"

# {/.} below: the name without its folder and last extension.
shared=$(sed 's|.*/||; s|\.[^.]*$||' "$list" | sort | uniq -d)
if [[ -n $shared ]]; then
  echo "$0: images of the same name would share a stream in $out:" $shared >&2
  exit 2
fi

start=$(date +%s.%N)
# --quote keeps every word whole (paths with blanks) through the shell
# parallel runs the job in.
parallel --quote --sshloginfile "$logins" --halt now,fail=1 --arg-file "$list" \
  "$kelvane" encode {} -o "$out/{/.}.kv2" -q "$q" --quiet --force
end=$(date +%s.%N)
count=$(wc -l <"$list")
bytes=$(tr '\n' '\0' <"$list" | xargs -0 stat -c %s | awk '{ s += $1 } END { print s + 0 }')
echo "$count $bytes $start $end" | awk '{ t = $4 - $3; printf "%d images, %.2f MB in %.2f s: %.2f images/s, %.2f MB/s\n", $1, $2 / 1e6, t, $1 / t, $2 / 1e6 / t }'
