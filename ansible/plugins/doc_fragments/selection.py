# -*- coding: utf-8 -*-
# Copyright: 2026 The Tarvino developers

from __future__ import absolute_import, division, print_function
__metaclass__ = type


class ModuleDocFragment(object):
    # The device selection every tarvino.fleet module takes; module_utils/tarvino_cli.py turns
    # it into tarvino-cli's targets and options.
    DOCUMENTATION = r'''
options:
  targets:
    description:
      - The devices to work on, as C(tarvino-cli) takes them, each an IPv4 address, a MAC
        address (six hexadecimal pairs separated by C(:), C(-) or C(.), or twelve hexadecimal
        digits) or a device name (case ignored).
      - C(all) alone means every device that answers the scan on the site host's device network.
      - An address is reached at once; names and MAC addresses are looked up by a scan first.
        A name or MAC address that matches no device, or several, fails the task with nothing
        sent to any device.
    type: list
    elements: str
    default: [all]
  type:
    description:
      - The devices whose type matches this pattern (the type text the devices report, such as
        C(Palimor P4-S); C(*) any text, C(?) one character, case ignored).
      - With I(targets=all) only these devices are taken; beside named targets, the devices of
        this type are taken too (as C(tarvino-cli --type) adds to the targets it is given).
    type: str
  wait:
    description:
      - How many seconds the discovery scan listens for replies, when a scan is needed.
    type: float
    default: 3.0
  timeout:
    description:
      - How many seconds each reply of a device is waited for before the request is sent again
        or given up (C(tarvino-cli --timeout)); the program's default when not given.
    type: float
  jobs:
    description:
      - How many devices of the site are worked on at once (C(tarvino-cli --jobs), at most 64);
        the program's default when not given.
    type: int
  cli:
    description:
      - The C(tarvino-cli) program on the site host, a name looked up on the C(PATH) or a path.
    type: str
    default: tarvino-cli
notes:
  - The module runs on the site host (the PC or gateway on the device network) and calls
    C(tarvino-cli --json) there; it never speaks the device protocol itself.
  - The site host needs Tarvino installed (the C(tarvino) Debian package) and the right to bind
    the program's ports (UDP and TCP 52389).
requirements:
  - tarvino-cli on the site host
'''
