#!/usr/bin/env bash
# Pictures of a PC with two adapters, for review: the list with its Adapter column after a scan of
# both segments, and the network check's report (a device on another subnet, two devices on one
# address). Needs root; it brings up a lab of two segments and takes it down again.
#   scripts/screenshot-adapters.sh [build-dir]
#       writes <build-dir>/screenshots/adapters.png and adapters-check.png
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build}"
build="$(mkdir -p "$build" && cd "$build" && pwd)"
cmake --build "$build" --target tarvino-main-screenshot tarvino-devsim
lab="$here/lab/lab"
export TARVINO_DEVSIM="$build/devsim/tarvino-devsim"
mkdir -p "$build/screenshots"
out="$build/screenshots/adapters.png"

pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    "$lab" down >/dev/null 2>&1 || true
}
trap cleanup EXIT

"$lab" up --segments 2 --devices 64 --devices2 64 >/dev/null
"$lab" sim --devices 6 --seed 11 >/dev/null &
pids+=($!)
"$lab" sim --in dev2 --base 198.19.1.1 --devices 5 --seed 12 >/dev/null &
pids+=($!)
"$lab" sim --in stray --base 198.19.200.10 --devices 1 --seed 13 >/dev/null &
pids+=($!)
"$lab" sim --in twin --base 198.19.1.1 --devices 1 --seed 14 >/dev/null &
pids+=($!)
sleep 2
"$lab" pc xvfb-run --auto-servernum --server-args="-screen 0 1280x1024x24 -dpi 96 -nolisten tcp" \
    env QT_QPA_PLATFORM=xcb QT_FONT_DPI=96 "$build/tests/app/tarvino-main-screenshot" "$out" 13 adapters
