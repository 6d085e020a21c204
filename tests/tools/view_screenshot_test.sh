#!/usr/bin/env bash
# lumo view on an emulated camera under Xvfb: a screenshot taken while it
# runs must show the camera's test pattern and the overlay of rates.
# Usage: view_screenshot_test.sh LUMO CHECKER PYTHON OUTPUT_DIR
set -euo pipefail
lumo=$1
checker=$2
python=$3
out=$4
rm -rf "$out"
mkdir -p "$out"
# The overlay is written once a second: the screenshot waits for the
# second one.
timeout 90 xvfb-run -a -s "-screen 0 1280x1024x24" sh -c "
  '$lumo' view --emulate=1 -q -s 8 --sink ximagesink > '$out/view.log' 2>&1 &
  viewer=\$!
  sleep 4
  import -window root '$out/screenshot.png'
  wait \$viewer
"
cat "$out/view.log"
"$python" "$checker" "$out/screenshot.png"
