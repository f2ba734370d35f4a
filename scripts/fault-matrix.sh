#!/usr/bin/env bash
# The fault matrix as a Markdown table: runs tst_faultmatrix_lab whole (every fault of the simulator
# × board upgrade, controller upgrade, configuration write) with its verbose output in the lab, and
# prints one line per row: how the job's item ended, the requests the device saw, the time, and
# whether the row's checks held.
#   scripts/fault-matrix.sh [build-dir]     (default: build; needs root for the lab)
# TARVINO_FAULT_MATRIX=short runs the subset CTest runs. The raw output stays in build-dir/fault-matrix.log.
# It waits for /tmp/tarvino-lab.lock, as every lab test run does, brings the lab up as the test
# suite's fixture does and takes it down at the end.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build}"
lab="$here/lab/lab"
log="$build/fault-matrix.log"

die() { echo "fault-matrix: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || die "needs root (the lab's network namespaces)"
[ -f "$build/CMakeCache.txt" ] || die "no build in $build (see README: cmake -S . -B build ...)"
nice cmake --build "$build" --target tst_faultmatrix_lab tarvino-devsim -- -j2 >&2

status=0
(
    flock 9
    "$lab" up --devices 1024 >/dev/null
    rc=0
    "$lab" pc env TARVINO_LAB=1 QT_QPA_PLATFORM=offscreen TARVINO_FAULT_MATRIX="${TARVINO_FAULT_MATRIX:-full}" \
        "$build/tests/fleet/tst_faultmatrix_lab" -v1 >"$log" 2>&1 || rc=$?
    "$lab" down >/dev/null || true
    exit "$rc"
) 9>/tmp/tarvino-lab.lock || status=$?

awk '
function rowOf(line,   rest) {
    rest = substr(line, index(line, "::matrix(") + 9)
    return substr(rest, 1, index(rest, ")") - 1)
}
/MATRIX\|/ {
    text = substr($0, index($0, "MATRIX|") + 7)
    split(text, f, "|")
    key = f[1] " × " f[2]
    if (!(key in result)) order[++n] = key
    fault[key] = f[1]; operation[key] = f[2]; result[key] = f[3]; requests[key] = f[4]; ms[key] = f[5]
    next
}
/^XFAIL  : [A-Za-z]*::matrix\(/ { check[rowOf($0)] = "expected fail"; next }
/^FAIL!  : [A-Za-z]*::matrix\(/ { check[rowOf($0)] = "FAIL"; next }
/^XPASS  : [A-Za-z]*::matrix\(/ { check[rowOf($0)] = "FAIL (passed where a failure was expected)"; next }
/^PASS   : [A-Za-z]*::matrix\(/ { key = rowOf($0); if (!(key in check)) check[key] = "pass"; next }
END {
    print "| Fault | Operation | Result | Requests | Time (s) | Checks |"
    print "|---|---|---|---:|---:|---|"
    for (i = 1; i <= n; ++i) {
        key = order[i]
        printf "| %s | %s | %s | %s | %.1f | %s |\n", fault[key], operation[key], result[key], requests[key],
               ms[key] / 1000, (key in check) ? check[key] : "not run"
    }
}' "$log"
grep -E '^Totals:' "$log" >&2 || true
exit "$status"
