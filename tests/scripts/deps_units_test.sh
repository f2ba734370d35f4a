#!/usr/bin/env bash
# shellcheck disable=SC2317 # the commands main() calls are replaced by functions of the test
# scripts/deps.sh stops only the services of test peers that its own run installed, by their units:
# its decision, for lists of packages installed, with stop_unit replaced by a recorder (nothing is
# installed, stopped or ended here).
set -uo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=../../scripts/deps.sh
. "$here/scripts/deps.sh"
set +e

failures=0
# row name | packages this run installed | units expected, space-separated
rows=(
    "nothing installed||"
    "other packages only|cmake tshark|"
    "vsftpd installed now|cmake vsftpd|vsftpd.service"
    "the SSH server installed now|openssh-server openssh-client|ssh.service"
    "both|openssh-server vsftpd|vsftpd.service ssh.service"
    "a name that only contains vsftpd|vsftpd-extra python3-pyftpdlib|"
)
for row in "${rows[@]}"; do
    IFS='|' read -r name installed expected <<<"$row"
    # shellcheck disable=SC2086 # the package list is words
    got=$(units_to_stop $installed | tr '\n' ' ' | sed 's/ $//')
    if [ "$got" != "$expected" ]; then
        echo "FAIL $name: units '$got', expected '$expected'" >&2
        failures=$((failures + 1))
    fi
done

# What main() does after installing: each unit given to stop_unit, and no process ended by name.
stopped=()
stop_unit() { stopped+=("$1"); }
pkill() { echo "FAIL pkill $*" >&2; failures=$((failures + 1)); }
killall() { echo "FAIL killall $*" >&2; failures=$((failures + 1)); }
dpkg-query() { if [ "$3" = vsftpd ] || [ "$3" = openssh-server ]; then echo 'install ok installed'; else echo 'unknown'; fi; }
id() { echo 0; }
apt-get() { :; }
main
if [ ${#stopped[@]} -ne 0 ]; then
    echo "FAIL a run that found vsftpd and the SSH server installed stopped: ${stopped[*]}" >&2
    failures=$((failures + 1))
fi
dpkg-query() { echo 'unknown'; }
main
if [ "${stopped[*]}" != "vsftpd.service ssh.service" ]; then
    echo "FAIL a run that installed everything stopped: '${stopped[*]}'" >&2
    failures=$((failures + 1))
fi

# The script's text: no process ended by its name.
if grep -nE '^[^#]*\b(pkill|killall)\b' "$here/scripts/deps.sh" >&2; then
    echo "FAIL scripts/deps.sh ends processes by name" >&2
    failures=$((failures + 1))
fi

[ "$failures" -eq 0 ] && echo "deps.sh units: all rows passed"
exit $((failures > 0))
