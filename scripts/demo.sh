#!/usr/bin/env bash
# Try Tarvino without hardware: installs what is missing, builds, brings up the lab with a
# dozen simulated devices (a couple of them misbehaving) and runs the program in the lab's
# PC namespace on your display. Without the program (or without a display) it scans the
# lab with a small client of its own and prints what the devices answered.
#
#   scripts/demo.sh [build-dir]        (needs root: the lab is made of network namespaces)
#
# The simulator stops when the demo ends; the lab stays up until "lab/lab down".
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build}"

if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null 2>&1 || { echo "demo: needs root (network namespaces)" >&2; exit 1; }
    exec sudo -E "$0" "$@"
fi

"$here/scripts/deps.sh"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=(tarvino-devsim)
if cmake --build "$build" --target help 2>/dev/null | grep -q '^tarvino:'; then targets+=(tarvino); fi
cmake --build "$build" --target "${targets[@]}"

lab="$here/lab/lab"
"$lab" up --devices 12

work=$(mktemp -d /tmp/tarvino-demo.XXXXXX)
# Device 10 answers late, device 11 has a silent controller bus, device 12 mislabels its
# StartUpdater acknowledgement; the others behave, and a board restarts for 3 s after an upgrade.
TARVINO_DEVSIM="$build/devsim/tarvino-devsim" "$lab" sim --devices 12 --seed 2024 \
    --journal "$work/journal.jsonl" --state "$work/state.json" --ftp-root "$work/ftp" --restart-ms 3000 \
    --fault 198.18.1.10:delay=1500 --fault 198.18.1.11:silent@52390 --fault 198.18.1.12:wrong-ack=5 \
    > "$work/devsim.out" 2> "$work/devsim.err" &
sim_pid=$!
cleanup() {
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    echo "demo: simulator stopped; journal and state in $work (lab/lab down removes the lab)"
}
trap cleanup EXIT
for _ in $(seq 1 100); do
    grep -q '^ready$' "$work/devsim.out" 2>/dev/null && break
    kill -0 "$sim_pid" 2>/dev/null || { cat "$work/devsim.err" >&2; exit 1; }
    sleep 0.1
done
grep -q '^ready$' "$work/devsim.out" || { echo "demo: the simulator did not start" >&2; exit 1; }
echo "demo: 12 simulated devices on 198.18.1.1 to 198.18.1.12 (journal: $work/journal.jsonl)"

app="$build/app/tarvino"
if [ -x "$app" ] && { [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; }; then
    if [ -z "${XAUTHORITY:-}" ] && [ -n "${SUDO_USER:-}" ]; then
        XAUTHORITY="$(getent passwd "$SUDO_USER" | cut -d: -f6)/.Xauthority"
    fi
    # The display's Unix socket is reachable from the namespace; a TCP display is not.
    "$lab" pc env DISPLAY="${DISPLAY:-}" XAUTHORITY="${XAUTHORITY:-}" WAYLAND_DISPLAY="${WAYLAND_DISPLAY:-}" \
        XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-}" "$app"
    exit 0
fi
[ -x "$app" ] && echo "demo: no display (DISPLAY or WAYLAND_DISPLAY); scanning instead"

"$lab" pc /usr/bin/python3 - <<'PY'
# A broadcast discovery from the PC, as the program's Scan sends it, and one controller read.
import socket, time

sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
sock.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
sock.bind(("198.18.0.1", 0))
ids = [1, 2, 3, 4, 5, 7, 6, 13, 12, 14, 15, 16, 17, 18]
discover = (bytes.fromhex("0001ffffffffffff" "0000000000000000" "0001" "1156" "00000000" "01")
            + b"".join(bytes([i >> 8, i & 0xFF, 0]) for i in ids) + b"\xff\xff")
sock.sendto(discover, ("255.255.255.255", 52389))
rows = {}
deadline = time.monotonic() + 2.5
while time.monotonic() < deadline:
    sock.settimeout(max(0.01, deadline - time.monotonic()))
    try:
        data, (ip, _) = sock.recvfrom(8192)
    except socket.timeout:
        break
    params, at = {}, 25
    while len(data) - at > 2 and data[at:at + 2] != b"\xff\xff":
        pid, n = int.from_bytes(data[at:at + 2], "big"), data[at + 2]
        params[pid] = data[at + 3:at + 3 + n]
        at += 3 + n
    record = data[8:16]
    mac = ":".join("%02X" % b for b in record[2:]) if record[:2] == b"\x00\x01" else "(IPv4 record)"
    text = lambda i: params.get(i, b"").decode("latin-1")
    code = int.from_bytes(params.get(13, b"\xff\xff\xff\xff"), "big")
    rows[ip] = (text(7), text(5) + ("" if code == 0x000B1156 else " (unknown type %08X)" % code),
                text(12), ip, mac, text(16), "DHCP" if params.get(6, b"\0")[0] & 0x10 else "static",
                round(time.monotonic() - (deadline - 2.5), 2))
print("%-22s %-36s %-7s %-13s %-18s %-8s %-6s %s" % ("Name", "Type", "Version", "IP", "MAC", "Boot", "Net", "after s"))
for ip in sorted(rows, key=lambda a: socket.inet_aton(a)):
    print("%-22s %-36s %-7s %-13s %-18s %-8s %-6s %s" % rows[ip])
print("%d devices answered" % len(rows))

def command(ip, code):
    request = bytes.fromhex("0002") + socket.inet_aton(ip) + bytes.fromhex("cca5" "0000000000000000" "0001" "1156" "00000000") + bytes([code]) + b"\xff\xff"
    sock.sendto(request, (ip, 52389))
    sock.settimeout(2)
    try:
        return sock.recvfrom(8192)[0][25:27].hex()
    except socket.timeout:
        return "no reply"

def crc(data):
    value = 0xFFFF
    for b in data:
        value ^= b
        for _ in range(8):
            value = (value >> 1) ^ 0xA001 if value & 1 else value >> 1
    return data + bytes([value & 0xFF, value >> 8])

def bus(ip, body, n):
    sock.sendto(crc(body), (ip, 52390))
    sock.settimeout(1.2)
    try:
        return sock.recvfrom(8192)[0][7:7 + n]
    except socket.timeout:
        return None

ip = "198.18.1.1"
print("\nReading the configuration of %s: StopDaemon %s, StartUpdater %s" % (ip, command(ip, 8), command(ip, 5)))
bus(ip, bytes.fromhex("ff64d2"), 0)
length = int.from_bytes(bus(ip, bytes.fromhex("ff6e0600000004"), 4), "big")
text = b""
while len(text) < length:
    n = min(128, length - len(text))
    address = 4 + len(text)
    text += bus(ip, bytes([0xFF, 0x6E, 0x06, address >> 16, (address >> 8) & 0xFF, address & 0xFF, n]), n)
bus(ip, bytes.fromhex("ff64d3"), 0)
print(text.decode("latin-1").replace("\x00", "\\0"))
print("StopUpdater %s, StartDaemon %s" % (command(ip, 6), command(ip, 7)))
PY
