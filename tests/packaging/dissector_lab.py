#!/usr/bin/env python3
"""The Wireshark dissector against traffic of the program, captured in the lab.

Starts one simulated device (bus open, a known configuration text) in the lab's device
namespace and dumpcap on the PC's lab interface, runs the capture driver in the PC namespace,
then reads the capture with tshark and the dissector (PDML) and compares every decoded field
with what the program itself made of the same exchanges (the driver's JSON).

  dissector_lab.py LAB_SCRIPT DEVSIM DRIVER DISSECTOR
"""
import json
import os
import signal
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET

DEVICE_IP = "198.18.1.1"
CONFIG_TEXT = b"[network]\nmode=static\nname=capture \xc3\xa9\n"
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what)


def wait_for(predicate, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.1)
    raise SystemExit(f"timed out waiting for {what}")


def fields_of(packet, proto):
    """Every field of one protocol layer, in order, as (name, show, value) tuples."""
    out = []
    for layer in packet.findall("proto"):
        if layer.get("name") == proto:
            for field in layer.iter("field"):
                out.append((field.get("name"), field.get("show"), field.get("value")))
    return out


def first(fields, name):
    return next((show for n, show, _ in fields if n == name), None)


def all_of(fields, name):
    return [show for n, show, _ in fields if n == name]


def params_of(packet):
    """The parameter elements of a message as a list of {field: show} dictionaries."""
    elements = []
    for layer in packet.findall("proto"):
        if layer.get("name") != "tarvino":
            continue
        for element in layer.iter("field"):
            if element.get("name") == "tarvino.param":
                elements.append({f.get("name"): f.get("show") for f in element.iter("field")})
    return elements


def check_discovery_reply(elements, facts, where):
    by_id = {int(e["tarvino.param.id"]): e for e in elements}
    ip_ids = {1, 2, 3, 14, 15}
    text_ids = {5, 7, 12, 16, 17, 18}
    for key, expected in facts["params"].items():
        pid = int(key)
        element = by_id.get(pid)
        check(element is not None, f"{where}: parameter {pid} present")
        if element is None:
            continue
        if pid in ip_ids:
            number = int(expected)
            dotted = ".".join(str((number >> s) & 255) for s in (24, 16, 8, 0))
            check(element.get("tarvino.param.ipv4") == dotted, f"{where}: parameter {pid} is {dotted}")
        elif pid in text_ids:
            check(element.get("tarvino.param.text") == expected,
                  f"{where}: parameter {pid} is '{expected}' (got {element.get('tarvino.param.text')!r})")
        elif pid == 4:
            check(int(element.get("tarvino.param.word")) == int(expected), f"{where}: word 4 is {expected}")
        elif pid == 6:
            check(int(element.get("tarvino.param.byte"), 16) == int(expected), f"{where}: flags are {expected}")
            dhcp = element.get("tarvino.param.dhcp")
            check(dhcp in ("True", "1") if int(expected) & 0x10 else dhcp in ("False", "0"),
                  f"{where}: DHCP flag of {expected}")
        elif pid == 13:
            check(int(element.get("tarvino.param.long"), 16) == int(expected), f"{where}: type code {expected}")


def main():
    lab, devsim, driver, dissector = sys.argv[1:5]
    work = tempfile.mkdtemp(prefix="tarvino-dissector-")
    config_path = os.path.join(work, "config.txt")
    with open(config_path, "wb") as f:
        f.write(CONFIG_TEXT)
    capture = os.path.join(work, "capture.pcapng")
    env = dict(os.environ, TARVINO_DEVSIM=devsim)
    started = []
    try:
        sim = subprocess.Popen([lab, "sim", "--devices", "1", "--updater-running", "--exit-with-parent",
                                "--config-file", f"0={config_path}"], env=env, stdout=subprocess.PIPE, text=True)
        started.append(sim)
        check(sim.stdout.readline().strip() == "ready", "the simulator is ready")
        # Bounded: the capture ends by itself after a minute even if this script is killed.
        dump = subprocess.Popen([lab, "pc", "dumpcap", "-q", "-i", "lab0", "-a", "duration:60", "-w", capture],
                                stderr=subprocess.DEVNULL)
        started.append(dump)
        wait_for(lambda: os.path.exists(capture) and os.path.getsize(capture) > 0, 10, "dumpcap")
        time.sleep(0.5)
        run = subprocess.run([lab, "pc", driver, DEVICE_IP], capture_output=True, text=True, timeout=90)
        sys.stderr.write(run.stderr)
        check(run.returncode == 0, "the capture driver succeeded")
        if run.returncode != 0:
            return 1
        facts = json.loads(run.stdout)
        time.sleep(0.5)
    finally:
        for process in reversed(started):
            if process.poll() is None:
                process.send_signal(signal.SIGINT if process is not started[0] else signal.SIGTERM)
                try:
                    process.wait(10)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()

    pdml = subprocess.run(["tshark", "-r", capture, "-X", f"lua_script:{dissector}", "-T", "pdml",
                           "-Y", "tarvino or tarvino_tcp or tarvinobus"],
                          capture_output=True, text=True, timeout=60)
    check(pdml.returncode == 0, f"tshark read the capture ({pdml.stderr.strip()})")
    check("Lua Error" not in pdml.stdout and "_ws.malformed" not in pdml.stdout,
          "the dissector ran without a Lua error or a malformed packet")
    packets = ET.fromstring(pdml.stdout).findall("packet")
    print(f"{len(packets)} packets of the protocols in the capture")

    device = [p for p in packets if fields_of(p, "tarvino")]
    bus = [(p, fields_of(p, "tarvinobus")) for p in packets if fields_of(p, "tarvinobus")]

    # Discovery: the broadcast request asks for the program's ids in its order; the reply names the device.
    requests = [fields_of(p, "tarvino") for p in device
                if first(fields_of(p, "tarvino"), "tarvino.command") == "1"
                and first(fields_of(p, "tarvino"), "tarvino.kind") == "Request"]
    check(len(requests) >= 2, "discovery requests over UDP and TCP")
    for fields in requests:
        check([int(i) for i in all_of(fields, "tarvino.param.id")] == facts["discoveryIds"],
              "a discovery request asks for the program's ids in order")
        check(first(fields, "tarvino.terminator") is not None, "a discovery request ends with FF FF")
    check(any(first(f, "tarvino.dst.broadcast") in ("True", "1") for f in requests), "the scan is a broadcast")
    replies = [p for p in device if first(fields_of(p, "tarvino"), "tarvino.kind") == "Discovery reply"]
    transports = set()
    for packet in replies:
        fields = fields_of(packet, "tarvino")
        transport = "tcp" if packet.find("proto[@name='tcp']") is not None else "udp"
        transports.add(transport)
        check(first(fields, "tarvino.src.mac") == facts["mac"], f"{transport} reply from the device's MAC {facts['mac']}")
        check(first(fields, "tarvino.protocol_code") == "0x1156", "protocol code 0x1156")
        check_discovery_reply(params_of(packet), facts, f"discovery reply over {transport}")
    check(transports == {"udp", "tcp"}, f"discovery replies over UDP and TCP (got {sorted(transports)})")

    # Commands: each reply carries its command's acknowledgement code.
    acks = {}
    for packet in device:
        fields = fields_of(packet, "tarvino")
        if first(fields, "tarvino.kind") == "Command reply":
            acks.setdefault(int(first(fields, "tarvino.command")), []).append(
                (int(first(fields, "tarvino.ack"), 16), first(fields, "tarvino.ack.matches")))
    commands = [fields_of(p, "tarvino") for p in device
                if first(fields_of(p, "tarvino"), "tarvino.kind") == "Request"
                and first(fields_of(p, "tarvino"), "tarvino.command") == "9"]
    check(len(commands) == 1 and first(commands[0], "tarvino.dst.ip") == facts["ip"],
          "one DropBear request, addressed to the device's IPv4 record")
    check(9 in acks, "the DropBear command's reply")
    for code, matches in acks.get(9, []):
        check(code == facts["dropBearAck"] and matches in ("True", "1"),
              f"DropBear acknowledged with 0x{facts['dropBearAck']:04X} (got 0x{code:04X})")
    check(facts["dropBearResult"] == 1, "the program took the DropBear reply as its acknowledgement")
    check(5 in acks and 6 in acks, "the configuration read starts and stops the updater")

    # Controller bus: the chunk, the configuration read, and the frame with the broken CRC.
    chunk = bytes.fromhex(facts["chunk"])
    writes = [f for _, f in bus if first(f, "tarvinobus.function") == "0x6f"]
    write_requests = [f for f in writes if first(f, "tarvinobus.direction") == "Request"]
    check(len(write_requests) == 1, "one firmware chunk written")
    for f in write_requests:
        check(int(first(f, "tarvinobus.address"), 16) == 0, "the chunk goes to address 0")
        check(int(first(f, "tarvinobus.count")) == len(chunk), "the chunk's count")
        data = next((v for n, _, v in f if n == "tarvinobus.data"), "")
        check(bytes.fromhex(data) == chunk, "the chunk's data")
    check(any(first(f, "tarvinobus.direction") == "Reply" for f in writes), "the chunk acknowledged")
    subs = [first(f, "tarvinobus.subcommand") for _, f in bus if first(f, "tarvinobus.direction") == "Request"]
    check("0xd2" in subs and "0xd3" in subs, f"GetConfigStart and GetConfigStop sent (got {subs})")
    area = {}
    for _, f in bus:
        if first(f, "tarvinobus.function") == "0x6e" and first(f, "tarvinobus.direction") == "Reply":
            data = next((v for n, _, v in f if n == "tarvinobus.data"), "")
            area[int(first(f, "tarvinobus.address"), 16)] = bytes.fromhex(data)
    joined = b"".join(area[a] for a in sorted(area))
    config = bytes.fromhex(facts["config"])
    check(config == CONFIG_TEXT, "the program read the configuration the simulator holds")
    check(joined[4:4 + len(config)] == config and int.from_bytes(joined[:4], "big") == len(config),
          "the read replies' data carry the length word and the configuration text")
    invalid = [f for _, f in bus if first(f, "tarvinobus.crc.valid") not in ("True", "1")]
    check(len(invalid) == 1, f"exactly one frame with a bad CRC (got {len(invalid)})")
    check(len(bus) - len(invalid) >= 8, "every other bus frame's CRC checked valid")
    for f in invalid:
        check(first(f, "tarvinobus.subcommand") == "0x00" and first(f, "tarvinobus.direction") == "Request",
              "the bad CRC is the broken reset frame")

    print(f"{len(failures)} failures")
    if failures:
        print(f"capture kept for a look: {capture}")
    else:
        subprocess.run(["rm", "-rf", work])
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
