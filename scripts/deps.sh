#!/usr/bin/env bash
# Installs the Debian packages Tarvino needs to build, test and run its lab.
# Does nothing for packages already present; needs root to install anything.
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev qt6-base-dev-tools libgl-dev libqt6svg6
    iproute2 net-tools procps
    xvfb xauth x11-utils
    curl vsftpd python3-pyftpdlib python3-crcmod
    clang-14 libclang-rt-14-dev
    dpkg-dev file desktop-file-utils appstream man-db bsdextrautils tshark
    python3-jsonschema lintian bash-completion
    fonts-dejavu-core poppler-utils
    ansible-core openssh-server openssh-client
)

# Packages whose installation starts a service that Tarvino needs only as a test peer (the tests
# run their own FTP and SSH servers, in the lab's namespaces), with the service's unit.
test_peer_units=(
    vsftpd=vsftpd.service
    openssh-server=ssh.service
)

# The units to stop and disable after this run installed the packages given: those of the test
# peers whose package is among them. A service the machine had before (a developer's own FTP or
# SSH server) is never among them.
units_to_stop() {
    local peer installed
    for peer in "${test_peer_units[@]}"; do
        for installed in "$@"; do
            if [ "$installed" = "${peer%%=*}" ]; then
                echo "${peer#*=}"
            fi
        done
    done
}

# Stops and disables one unit, by its name only: no process is ended by its name, which would
# reach servers that are no unit of this package.
stop_unit() {
    if command -v systemctl >/dev/null 2>&1 && [ -d /run/systemd/system ]; then
        systemctl disable --now "$1" >/dev/null 2>&1 || true
    elif command -v service >/dev/null 2>&1; then
        service "${1%.service}" stop >/dev/null 2>&1 || true
    fi
}

main() {
    local missing=() p unit
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0

    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing packages: ${missing[*]}" >&2
        echo "Run as root, or install them with: sudo apt-get install ${missing[*]}" >&2
        return 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
    for unit in $(units_to_stop "${missing[@]}"); do
        stop_unit "$unit"
    done
}

# Sourced (by its test), it only defines the functions.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    main "$@"
fi
