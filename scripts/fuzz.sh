#!/usr/bin/env bash
# Builds the libFuzzer targets under fuzz/ (clang-14, AddressSanitizer and UndefinedBehaviorSanitizer)
# and runs each of them in turn, one at a time, on a copy of its seed corpus.
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET | --runs N] [build-dir]
#
#   SECONDS_PER_TARGET  time per target (default 10: about a minute for all seven, for CI)
#   --runs N            a number of executions per target instead (the long run: --runs 10000000)
#   build-dir           default: build-fuzz beside the sources; a clang build of its own
#
# TARVINO_FUZZ_TARGETS="fuzz_ftp_reply ..." runs only those targets; TARVINO_FUZZ_MAX_LEN=N caps the
# input length of all of them (each target has its own default below). What a target finds (the input
# that crashed, leaked or hung) is left in <build-dir>/fuzz-run/<target>/findings/, its output in
# <build-dir>/fuzz-run/<target>/log.txt; the committed corpus is never changed. A table of the runs
# closes the output (also in <build-dir>/fuzz-run/summary.txt). Exits non-zero on any finding.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"

usage() {
    sed -n '5,9p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
}

seconds=10
runs=""
if [ $# -gt 0 ]; then
    case "$1" in
    --runs)
        [ $# -ge 2 ] && [[ "$2" =~ ^[0-9]+$ ]] && [ "$2" -gt 0 ] || usage
        runs="$2"
        shift 2
        ;;
    -h | --help) usage ;;
    *)
        [[ "$1" =~ ^[0-9]+$ ]] && [ "$1" -gt 0 ] || usage
        seconds="$1"
        shift
        ;;
    esac
fi
[ $# -le 1 ] || usage
build="${1:-$here/build-fuzz}"
mkdir -p "$build"
build="$(cd "$build" && pwd)"

targets=(fuzz_site_file fuzz_discovery_reply fuzz_command_reply fuzz_bus_reply fuzz_ftp_reply fuzz_text_to_ip fuzz_ipaddr_strings
         fuzz_library_manifest fuzz_address_range)
if [ -n "${TARVINO_FUZZ_TARGETS:-}" ]; then
    read -r -a targets <<<"$TARVINO_FUZZ_TARGETS"
fi

# Inputs longer than a device ever sends only slow the search down.
max_len() {
    if [ -n "${TARVINO_FUZZ_MAX_LEN:-}" ]; then
        echo "$TARVINO_FUZZ_MAX_LEN"
        return
    fi
    case "$1" in
    fuzz_discovery_reply) echo 1500 ;;   # a datagram; values are at most 255 bytes
    fuzz_command_reply) echo 64 ;;
    fuzz_bus_reply) echo 300 ;;          # a read reply of up to 255 data bytes
    fuzz_ftp_reply) echo 4400 ;;         # past the parser's 4096-byte line limit
    fuzz_text_to_ip) echo 64 ;;
    fuzz_ipaddr_strings) echo 66 ;;
    fuzz_site_file) echo 4096 ;;       # a site file of a few dozen devices
    fuzz_address_range) echo 128 ;;    # a few ranges
    fuzz_library_manifest) echo 4096 ;; # a manifest of a few dozen images
    *) echo 4096 ;;
    esac
}

# ---- build ----------------------------------------------------------------------------------------
"$here/scripts/deps.sh"
if [ -f "$build/CMakeCache.txt" ] && ! grep -q '^CMAKE_CXX_COMPILER:FILEPATH=.*clang' "$build/CMakeCache.txt"; then
    echo "$build was configured with another compiler; give scripts/fuzz.sh a build directory of its own" >&2
    exit 2
fi
CC=clang-14 CXX=clang++-14 cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTARVINO_FUZZ=ON -DTARVINO_SANITIZE=ON >"$build/fuzz-configure.log" ||
    { cat "$build/fuzz-configure.log" >&2; exit 1; }
cmake --build "$build" --target "${targets[@]}" -j 2

# ---- run ------------------------------------------------------------------------------------------
# Every sanitizer finding stops the run with a stack; libFuzzer keeps the input.
export ASAN_OPTIONS="${ASAN_OPTIONS:-halt_on_error=1:abort_on_error=1:detect_leaks=1:print_stacktrace=1:symbolize=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:abort_on_error=1:print_stacktrace=1:symbolize=1}"
if [ -z "${ASAN_SYMBOLIZER_PATH:-}" ] && command -v llvm-symbolizer-14 >/dev/null 2>&1; then
    export ASAN_SYMBOLIZER_PATH="$(command -v llvm-symbolizer-14)"
fi

out="$build/fuzz-run"
mkdir -p "$out"
summary="$out/summary.txt"
: >"$summary.rows"
failed=0
for target in "${targets[@]}"; do
    binary="$build/fuzz/$target"
    seeds="$here/fuzz/corpus/$target"
    work="$out/$target"
    [ -x "$binary" ] || { echo "no fuzz target $target" >&2; exit 2; }
    rm -rf "$work"
    mkdir -p "$work/corpus" "$work/findings"
    [ -d "$seeds" ] && cp -r "$seeds/." "$work/corpus/"

    args=(-print_final_stats=1 -timeout=10 -rss_limit_mb=4096 "-max_len=$(max_len "$target")"
          "-artifact_prefix=$work/findings/")
    [ -f "$here/fuzz/dict/$target.dict" ] && args+=("-dict=$here/fuzz/dict/$target.dict")
    if [ -n "$runs" ]; then
        args+=(-runs="$runs" -max_total_time=0)
        limit=()
    else
        args+=(-max_total_time="$seconds")
        limit=(timeout --kill-after=10 $((seconds * 3 + 60)))  # a hung start-up must not hang CI
    fi

    if [ -n "$runs" ]; then echo "== $target: $runs runs"; else echo "== $target: $seconds s"; fi
    start=$(date +%s.%N)
    set +e
    "${limit[@]}" "$binary" "${args[@]}" "$work/corpus" >"$work/log.txt" 2>&1
    rc=$?
    set -e
    end=$(date +%s.%N)

    executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log.txt" | tail -n 1)
    executed=${executed:-0}
    if [ $rc -eq 0 ]; then
        result=ok
    elif grep -q 'ERROR: libFuzzer: timeout' "$work/log.txt"; then
        result=timeout
    elif grep -q 'ERROR: LeakSanitizer' "$work/log.txt"; then
        result=leak
    elif grep -q -e 'out-of-memory' -e 'ERROR: libFuzzer: out-of-memory' "$work/log.txt"; then
        result=out-of-memory
    elif grep -q -e 'ERROR: AddressSanitizer' -e 'runtime error:' -e 'invariant broken' -e 'deadly signal' \
        "$work/log.txt"; then
        result=crash
    elif [ $rc -eq 124 ] || [ $rc -eq 137 ]; then
        result=hung
    else
        result="failed($rc)"
    fi
    if [ "$result" != ok ]; then
        failed=1
        echo "   $result: see $work/log.txt" >&2
        grep -m 5 -e 'ERROR:' -e 'runtime error:' -e 'invariant broken' -e 'SUMMARY:' "$work/log.txt" | sed 's/^/   /' >&2 || true
        find "$work/findings" -type f | sed 's/^/   input: /' >&2
    fi
    awk -v t="$target" -v n="$executed" -v s="$start" -v e="$end" -v r="$result" \
        'BEGIN { d = e - s; printf "%-22s %12d %9.1f %10.0f  %s\n", t, n, d, (d > 0 ? n / d : 0), r }' >>"$summary.rows"
done

{
    printf '%-22s %12s %9s %10s  %s\n' target runs seconds exec/s result
    cat "$summary.rows"
} >"$summary"
rm -f "$summary.rows"
echo
cat "$summary"
exit $failed
