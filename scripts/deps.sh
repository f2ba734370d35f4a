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

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages: ${missing[*]}" >&2
    echo "Run as root, or install them with: sudo apt-get install ${missing[*]}" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
# vsftpd is a test peer only: the package starts it as a service, which the tests do not want.
if command -v systemctl >/dev/null 2>&1; then systemctl disable --now vsftpd >/dev/null 2>&1 || true; fi
pkill -x vsftpd 2>/dev/null || true
# So is the SSH server (the Ansible lab test runs its own in a namespace): when this script has just
# installed it, the service its package started is stopped again. One that was there before stays.
if [[ " ${missing[*]} " == *" openssh-server "* ]] && command -v systemctl >/dev/null 2>&1; then
    systemctl disable --now ssh >/dev/null 2>&1 || true
fi
