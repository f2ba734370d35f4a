#!/usr/bin/env bash
# Takes a picture of the upgrade window uploading a communication board's firmware to a
# simulated device, the progress bar part-way, on a virtual X display at 96 pixels per inch:
#   scripts/screenshot-upload.sh [build-dir]     writes <build-dir>/screenshots/upload.png
# It uploads for real: it runs in the lab's PC namespace (root; the lab is brought up when it
# is down, and left as it is otherwise) and starts the simulator itself.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build}"

if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" --target tarvino-upload-screenshot tarvino-devsim
"$here/lab/lab" status >/dev/null 2>&1 || "$here/lab/lab" up
mkdir -p "$build/screenshots"
out="$build/screenshots/upload.png"
# Xvfb starts inside the namespace too, so that the program reaches its display there.
"$here/lab/lab" pc env TARVINO_LAB=1 \
    xvfb-run --auto-servernum --server-args="-screen 0 1280x1024x24 -dpi 96" \
    env QT_QPA_PLATFORM=xcb QT_FONT_DPI=96 "$build/tests/app/upgrade/tarvino-upload-screenshot" "$out"
echo "$out"
