# -*- coding: utf-8 -*-
# Copyright: 2026 The Tarvino developers

from __future__ import absolute_import, division, print_function
__metaclass__ = type


class ModuleDocFragment(object):
    # Address ranges swept instead of the broadcast (tarvino-cli --range).
    DOCUMENTATION = r'''
options:
  ranges:
    description:
      - Address ranges to sweep instead of broadcasting, for devices behind a router or a VPN that
        a broadcast does not reach (C(tarvino-cli --range)); each a network (C(198.19.0.0/24)),
        two addresses (C(198.19.4.10-198.19.4.250)) or one address, at most a /16.
      - A range holding a broadcast, network or multicast address, or an address of the site host,
        is refused by C(tarvino-cli) before anything is sent.
    type: list
    elements: str
'''
