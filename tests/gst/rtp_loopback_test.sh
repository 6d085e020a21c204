#!/usr/bin/env bash
# Frames sent to another machine through GStreamer's own RTP elements, on
# loopback: lumosrc ! rtpgstpay ! udpsink, received by udpsrc ! rtpgstdepay
# and written as PNG files, which must decode to the camera's pattern.
# Usage: rtp_loopback_test.sh CHECKER OUTPUT_DIR
set -euo pipefail
checker=$1
out=$2
rm -rf "$out"
mkdir -p "$out"
port=$((40000 + $$ % 20000))
sent=10
want=8  # UDP may drop a packet under load, and with it its frame

timeout 60 gst-launch-1.0 -q udpsrc port=$port buffer-size=4000000 \
  caps="application/x-rtp,media=application,clock-rate=90000,encoding-name=X-GST" \
  ! rtpgstdepay ! videoconvert ! video/x-raw,format=GRAY16_BE ! pngenc \
  ! multifilesink location="$out/r%02d.png" &
receiver=$!
trap 'kill $receiver 2>/dev/null || true' EXIT
sleep 1  # the receiver listens before the first packet
timeout 60 gst-launch-1.0 -q lumosrc emulate=1 emulate-rate=10000000 num-buffers=$sent \
  ! rtpgstpay config-interval=1 ! udpsink host=127.0.0.1 port=$port

# The last frames are still being decoded and written.
for _ in $(seq 1 50); do
  [[ $(find "$out" -name 'r*.png' | wc -l) -ge $sent ]] && break
  sleep 0.2
done
sleep 0.5
kill $receiver 2>/dev/null || true
wait $receiver 2>/dev/null || true
count=$(find "$out" -name 'r*.png' | wc -l)
echo "$count of $sent frames received"
if [[ $count -lt $want ]]; then
  echo "expected at least $want frames over RTP, received $count" >&2
  exit 1
fi
"$checker" "$out"/r*.png
