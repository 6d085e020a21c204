#!/usr/bin/env bash
# gst-launch-1.0 writes 20 emulated frames as PNG files; each must decode to
# the camera's pattern. Usage: png_frames_test.sh CHECKER OUTPUT_DIR
set -euo pipefail
checker=$1
out=$2
rm -rf "$out"
mkdir -p "$out"
# pngenc takes big-endian 16-bit grey: videoconvert swaps the bytes.
timeout 60 gst-launch-1.0 -q lumosrc emulate=1 num-buffers=20 ! videoconvert \
  ! video/x-raw,format=GRAY16_BE ! pngenc ! multifilesink location="$out/f%02d.png"
count=$(find "$out" -name 'f*.png' | wc -l)
if [[ $count -ne 20 ]]; then
  echo "expected 20 PNG files, found $count" >&2
  exit 1
fi
"$checker" "$out"/f*.png
