#!/usr/bin/env bash
# Builds kelvane and runs it on the bundled photograph: encode, decode, and
# print the compressed size, bits per pixel and PSNR.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install_deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release --target kelvane pnm_psnr >/dev/null

image=samples/chelsea.ppm
q=${1:-8}
work=build/sample
mkdir -p "$work"
( cd "$work" && ../release/apps/kelvane "../../$image" chelsea.kv2 "$q" >/dev/null &&
  ../release/apps/kelvane chelsea.kv2 chelsea-decoded.ppm >/dev/null )

read -r width height < <(head -c 32 "$image" | sed -n 2p)
bytes=$(stat -c %s "$work/chelsea.kv2")
psnr=$(build/release/apps/pnm_psnr "$image" "$work/chelsea-decoded.ppm")
bpp=$(awk -v b="$bytes" -v w="$width" -v h="$height" 'BEGIN { printf "%.3f", b * 8 / (w * h) }')
echo "image:      $image (${width}x${height}, colour)"
echo "quantizer:  $q"
echo "compressed: $bytes bytes ($work/chelsea.kv2)"
echo "rate:       $bpp bits per pixel"
echo "PSNR:       $psnr dB ($work/chelsea-decoded.ppm)"
