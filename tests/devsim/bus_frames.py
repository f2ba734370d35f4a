#!/usr/bin/python3
"""The simulator's controller bus, checked from the lab's PC namespace with Debian's
crcmod as the independent CRC-16/MODBUS: the example frames get a device's answers,
and random writes read back byte for byte, every reply with a valid CRC."""

import argparse
import os
import random
import select
import signal
import socket
import subprocess
import sys
import time

import crcmod.predefined

CRC = crcmod.predefined.mkCrcFun("modbus")
PC = "198.18.0.1"
DEVICE = "198.18.1.2"
DEVICE_PORT = 52389
BUS_PORT = 52390


def with_crc(body):
    value = CRC(body)
    return body + bytes([value & 0xFF, value >> 8])


def start_simulator(devsim):
    process = subprocess.Popen(
        ["ip", "netns", "exec", "tarvino-dev", devsim, "--devices", "3", "--exit-with-parent"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    deadline = time.monotonic() + 15
    line = b""
    while time.monotonic() < deadline:
        ready, _, _ = select.select([process.stdout], [], [], 0.2)
        if ready:
            line = process.stdout.readline()
            if line.strip() == b"ready":
                return process
        if process.poll() is not None:
            break
    process.kill()
    sys.exit("tarvino-devsim did not get ready: %r %r" % (line, process.stderr.read()))


def exchange(sock, data, port=BUS_PORT, timeout=1.0):
    sock.sendto(data, (DEVICE, port))
    sock.settimeout(timeout)
    try:
        reply, sender = sock.recvfrom(8192)
    except socket.timeout:
        return None
    assert sender[0] == DEVICE, "reply from %s" % sender[0]
    return reply


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--devsim", required=True)
    options = parser.parse_args()

    # The example frames as the program sends them carry crcmod's CRC.
    examples = {
        "ff64006b30": "ff6400",
        "ff64d2eb6d": "ff64d2",
        "ff6e06000000049542": "ff6e0600000004",
    }
    for frame, body in examples.items():
        check(with_crc(bytes.fromhex(body)) == bytes.fromhex(frame), "example %s" % frame)
    check(CRC(b"123456789") == 0x4B37, "check value")

    simulator = start_simulator(options.devsim)
    failures = 0
    try:
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.bind((PC, 0))
        check(exchange(sock, bytes.fromhex("ff64006b30"), timeout=0.5) is None,
              "the bus answers while the updater is stopped")
        start_updater = bytes.fromhex("0002c6120102cca5" "0000000000000000" "0001" "1156" "00000000" "05" "ffff")
        ack = exchange(sock, start_updater, port=DEVICE_PORT)
        check(ack is not None and ack[24:27] == bytes.fromhex("05fffd"), "StartUpdater: %r" % ack)

        for frame, body in examples.items():
            reply = exchange(sock, bytes.fromhex(frame))
            check(reply is not None, "no reply to %s" % frame)
            check(CRC(reply) == 0, "reply to %s: CRC residue %04x" % (frame, CRC(reply)))
            check(reply == with_crc(reply[:-2]), "reply to %s: CRC bytes" % frame)
            check(reply[:len(body) // 2] == bytes.fromhex(body), "reply to %s: %s" % (frame, reply.hex()))
            if frame.startswith("ff6e"):
                check(len(reply) == 4 + 9, "read of 4: %d bytes" % len(reply))

        check(exchange(sock, bytes.fromhex("ff64006b31"), timeout=0.5) is None, "a bad CRC got an answer")
        check(exchange(sock, with_crc(bytes.fromhex("ff6400")))[:3] == bytes.fromhex("ff6400"), "reset")

        rng = random.Random(52390)
        for _ in range(40):
            address = rng.randrange(0, 1 << 24)
            data = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 129)))
            head = bytes([0xFF, 0x6F, 0x06, address >> 16, (address >> 8) & 0xFF, address & 0xFF, len(data)])
            reply = exchange(sock, with_crc(head + data))
            check(reply == with_crc(head), "write at %06x: %r" % (address, reply))
            readable = min(len(data), (1 << 24) - address)
            head = bytes([0xFF, 0x6E, 0x06, address >> 16, (address >> 8) & 0xFF, address & 0xFF, readable])
            reply = exchange(sock, with_crc(head))
            check(reply is not None and CRC(reply) == 0, "read at %06x" % address)
            check(reply[:7] == head and reply[7:-2] == data[:readable], "read back at %06x" % address)
    except AssertionError as error:
        print("FAIL:", error)
        failures += 1
    finally:
        os.kill(simulator.pid, signal.SIGTERM)
        try:
            simulator.wait(5)
        except subprocess.TimeoutExpired:
            simulator.kill()
    print("PASS" if failures == 0 else "FAILED")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
