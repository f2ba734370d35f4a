#!/usr/bin/env bash
# The benchmark gate of CI: quick forms of the bus, controller upgrade, fleet upgrade and window
# gap benchmarks in the lab, each judged against its goal. Fails when a benchmark fails or a ratio is over its goal.
#   scripts/bench-gate.sh [build-dir]       (default: build, as scripts/test.sh leaves it; needs root)
# It builds only the three benchmarks (and what they use), brings the lab up as the test suite's
# fixture does, and takes it down again at the end. Nothing else may use the lab meanwhile.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build}"
lab="$here/lab/lab"
# Each benchmark is stopped after this; the quick forms take seconds.
limit_s=150

die() { echo "bench-gate: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || die "needs root (the lab's network namespaces)"

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" --target bench_bus bench_controlupgrade bench_fleetupgrade bench_windowgap

"$lab" up --devices 1024
trap '"$lab" down >/dev/null || true' EXIT

failed=0
summary=()
# run NAME ARGS...: one benchmark in the lab's PC namespace; its ratio line goes to the summary.
run() {
    local name=$1 out rc
    shift
    echo "== $name $*"
    out=$(mktemp)
    set +e
    timeout --kill-after=10 "$limit_s" "$lab" pc "$build/bench/$name" "$@" --gate 2>&1 | tee "$out"
    rc=${PIPESTATUS[0]}
    set -e
    local ratio
    ratio=$(grep -m 1 '^ratio .*goal <=' "$out" || true)
    rm -f "$out"
    case "$rc" in
        0) [ -n "$ratio" ] || { rc=1; ratio="no ratio printed"; } ;;
        3) ;;
        124|137) ratio="stopped after $limit_s s" ;;
        *) [ -n "$ratio" ] || ratio="failed" ;;
    esac
    local verdict=ok
    case "$rc" in 0) ;; 3) verdict="OVER GOAL" ;; *) verdict="FAILED (exit $rc)" ;; esac
    [ "$rc" -eq 0 ] || failed=1
    summary+=("$(printf '%-22s %-18s %s' "$name" "$verdict" "$ratio")")
}

started=$SECONDS
run bench_bus --lab --rounds 3
run bench_controlupgrade --bytes 262144 --rounds 3
run bench_fleetupgrade --devices 16 --bytes 65536 --jobs 8
run bench_windowgap --controller-bytes 262144 --board-bytes 16777216 --log-blocks 20

echo "== bench gate ($(( SECONDS - started )) s)"
printf '%s\n' "${summary[@]}"
exit "$failed"
