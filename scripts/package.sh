#!/usr/bin/env bash
# Builds the Debian package: <build-dir>/tarvino_<version>_<arch>.deb, installing into /usr,
# with its dependencies computed from the binaries (dpkg-shlibdeps).
#   scripts/package.sh [build-dir]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath -m "${1:-$here/build}")"

"$here/scripts/deps.sh"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build"
cd "$build"
cpack -G DEB -B "$build"
ls -l "$build"/tarvino_*.deb
