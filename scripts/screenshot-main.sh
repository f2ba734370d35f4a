#!/usr/bin/env bash
# A picture of the main window after a scan of a dozen simulated devices, on a virtual
# X display at 96 pixels per inch, for review:
#   scripts/screenshot-main.sh [build-dir]     writes <build-dir>/screenshots/main.png
#   scripts/screenshot-main.sh [build-dir] worksheet
#                                              writes <build-dir>/screenshots/worksheet.png: the list
#                                              filtered, a batch controller upgrade half way
#   scripts/screenshot-main.sh [build-dir] site     <build-dir>/screenshots/site.png: a site file open,
#                                              the Site column and the missing devices
#   scripts/screenshot-main.sh [build-dir] watch    <build-dir>/screenshots/watch.png: Scan > Watch,
#                                              one device gone (silent from its 3rd scan), one late
#
# Needs root (the lab is made of network namespaces). The lab is brought up only when it
# is down, and left up afterwards: other tests may be using it. The simulator and the X
# server that this script starts are ended by their process ids when it ends.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build}"
build="$(mkdir -p "$build" && cd "$build" && pwd)"
devices=12
seed=2024

if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" --target tarvino-main-screenshot tarvino-devsim
tool="$build/tests/app/tarvino-main-screenshot"
mode="${2:-}"
out="$build/screenshots/${mode:-main}.png"
mkdir -p "$build/screenshots"

lab="$here/lab/lab"
"$lab" status >/dev/null 2>&1 || "$lab" up

work=$(mktemp -d /tmp/tarvino-screenshot.XXXXXX)
xvfb_pid=""
sim_pid=""
cleanup() {
    for pid in $sim_pid $xvfb_pid; do
        kill -TERM "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

# A free display number from :99 up.
display=99
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do
    display=$((display + 1))
    [ "$display" -lt 200 ] || { echo "screenshot: no free X display" >&2; exit 1; }
done
Xvfb ":$display" -screen 0 1024x768x24 -dpi 96 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 1 100); do
    [ -e "/tmp/.X11-unix/X$display" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || { cat "$work/xvfb.log" >&2; exit 1; }
    sleep 0.1
done
[ -e "/tmp/.X11-unix/X$display" ] || { echo "screenshot: Xvfb did not start" >&2; exit 1; }

# The simulator; while another test's simulator holds the device ports, wait for it (bounded).
# For the watch, device 3 stops answering discovery at its third scan and device 11 answers only
# from its second.
faults=()
[ "$mode" = watch ] && faults=(--fault '3:silent@52389@from=5' --fault '11:silent@52389@count=2')
for attempt in $(seq 1 60); do
    TARVINO_DEVSIM="$build/devsim/tarvino-devsim" "$lab" sim --devices "$devices" --seed "$seed" \
        --journal "$work/journal.jsonl" --exit-with-parent "${faults[@]}" >"$work/devsim.out" 2>"$work/devsim.err" &
    sim_pid=$!
    for _ in $(seq 1 100); do
        grep -q '^ready$' "$work/devsim.out" 2>/dev/null && break
        kill -0 "$sim_pid" 2>/dev/null || break
        sleep 0.1
    done
    grep -q '^ready$' "$work/devsim.out" && break
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=""
    grep -q 'cannot bind' "$work/devsim.err" || { cat "$work/devsim.err" >&2; exit 1; }
    echo "screenshot: the lab's simulator ports are busy, waiting ($attempt)" >&2
    sleep 5
done
[ -n "$sim_pid" ] || { echo "screenshot: the simulator did not start" >&2; exit 1; }

# The display's Unix socket is reachable from the PC namespace. Only one program there can
# hold the device port: while another one does, wait for it (bounded).
for attempt in $(seq 1 60); do
    if "$lab" pc env DISPLAY=":$display" QT_QPA_PLATFORM=xcb QT_FONT_DPI=96 "$tool" "$out" "$devices" $mode \
        2>"$work/tool.err"; then
        exit 0
    fi
    grep -q 'cannot bind' "$work/tool.err" || { cat "$work/tool.err" >&2; exit 1; }
    echo "screenshot: the PC's device port is busy, waiting ($attempt)" >&2
    sleep 5
done
echo "screenshot: the PC's device port stayed busy" >&2
exit 1
