#!/usr/bin/env bash
# Pictures of the properties dialog for review, on a virtual X display.
#   scripts/screenshot-properties.sh [build-dir]
# Writes <build-dir>/screenshots/properties.png (DHCP off) and properties-dhcp.png (DHCP on).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build}"

[ -f "$build/build.ninja" ] || cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" --target properties_screenshot
tool="$build/tests/app/properties/properties_screenshot"
out="$build/screenshots"

if command -v xvfb-run >/dev/null; then
    QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1024x768x24" "$tool" "$out"
else
    QT_QPA_PLATFORM=offscreen "$tool" "$out"
fi
