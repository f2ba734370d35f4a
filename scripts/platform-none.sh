#!/usr/bin/env bash
# Builds the programs with platform/none/ (no operating system layer: every platform call says it
# is not available on this system) and runs the tests that show the rest works with it.
#   scripts/platform-none.sh [--build-only | --test-only] [build-dir]
#                                        (default: build-none; dependencies as scripts/test.sh)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
steps=all
case "${1:-}" in --build-only | --test-only) steps=${1#--}; shift ;; esac
build="${1:-$here/build-none}"

if [ "$steps" != test-only ]; then
    # Without optimisation or debug information: this build only has to compile, link and pass.
    cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O0 -g0" \
          -DTARVINO_PLATFORM=none -DTARVINO_BENCH=OFF
    cmake --build "$build" --target tarvino tarvino-cli tarvino-devsim tst_platform_none tst_networkcheck
fi
[ "$steps" != build-only ] || exit 0
cd "$build"
ctest -R '^(tst_platform_none|tst_networkcheck)$' --output-on-failure --timeout 300 --no-tests=error
