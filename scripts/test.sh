#!/usr/bin/env bash
# Builds Tarvino and runs its whole test suite (installing build dependencies first when run as root).
#   scripts/test.sh [build-dir]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build}"

"$here/scripts/deps.sh"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build"
cd "$build"
ctest --output-on-failure --timeout 600
