#!/usr/bin/env bash
# Builds Tarvino and runs its whole test suite (installing build dependencies first when run as root).
#   scripts/test.sh [--build-only | --test-only] [build-dir]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
steps=all
case "${1:-}" in --build-only | --test-only) steps=${1#--}; shift ;; esac
build="${1:-$here/build}"

if [ "$steps" != test-only ]; then
    "$here/scripts/deps.sh"
    cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build "$build"
fi
if [ "$steps" != build-only ]; then
    cd "$build"
    ctest --output-on-failure --timeout 600
fi
