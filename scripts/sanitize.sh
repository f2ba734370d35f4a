#!/usr/bin/env bash
# Builds Tarvino with AddressSanitizer (and LeakSanitizer) and UndefinedBehaviorSanitizer, then
# runs the whole test suite under them: any report fails the test that caused it.
#   scripts/sanitize.sh [--build-only | --test-only] [build-dir]
#                                        (default: build-sanitize; dependencies as scripts/test.sh)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
steps=all
case "${1:-}" in --build-only | --test-only) steps=${1#--}; shift ;; esac
build="${1:-$here/build-sanitize}"

if [ "$steps" != test-only ]; then
    "$here/scripts/deps.sh"
    # -O1 with line tables: quick to build, still fast to run, and reports name their lines.
    cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" \
          -DTARVINO_SANITIZE=ON -DTARVINO_BENCH=OFF
    cmake --build "$build"
fi
[ "$steps" != build-only ] || exit 0

export ASAN_OPTIONS="detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$here/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
cd "$build"
ctest --output-on-failure --timeout 900
