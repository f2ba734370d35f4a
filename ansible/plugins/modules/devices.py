# -*- coding: utf-8 -*-
# Copyright: 2026 The Tarvino developers

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: devices
short_description: List the Tarvino devices a site host reaches
version_added: 1.0.0
description:
  - Scans the site host's device network with C(tarvino-cli) (the discovery broadcast, or a
    sweep of I(ranges)) and returns every device that answers, or the selected ones, as facts.
  - Changes nothing on any device; check mode runs it as usual.
extends_documentation_fragment:
  - tarvino.fleet.selection
  - tarvino.fleet.ranges
options:
  expect:
    description:
      - Fail when fewer than this many devices answer (only with I(targets=all) and no I(type)).
    type: int
  site:
    description:
      - A site file on the site host (CSV or JSON, the devices the site is expected to have, as
        C(tarvino-cli check --site) reads it). The devices that answer are compared with it; the
        result then tells each one's C(state) and lists I(missing), I(unexpected), I(moved) and
        I(different_firmware).
      - Only with I(targets=all), no I(type) and no I(ranges).
    type: path
  fail_on_missing:
    description:
      - With I(site), fail when an expected device did not answer.
    type: bool
    default: false
author:
  - The Tarvino developers (!UNKNOWN)
'''

EXAMPLES = r'''
- name: Every device of the site
  tarvino.fleet.devices:
    wait: 2
  register: site

- name: The chillers
  tarvino.fleet.devices:
    type: 'Palimor P4*'

- name: Fail when a device of the site stays silent
  tarvino.fleet.devices:
    expect: 12

- name: The site against its site file, failing when a device is missing
  tarvino.fleet.devices:
    site: /etc/tarvino/site.csv
    fail_on_missing: true
  register: site

- name: The devices behind the site's router
  tarvino.fleet.devices:
    ranges: [198.19.4.0/24]
'''

RETURN = r'''
devices:
  description:
    - One object per device, with the fields of C(tarvino-cli scan --json) (C(name), C(type),
      C(version), C(ip), C(mac), C(bootstrap), C(firmwareVersion) and the rest of the
      discovery record).
  returned: always
  type: list
  elements: dict
  sample: [{"name": "Chiller-South-0", "type": "Palimor P4-S", "ip": "198.18.1.1",
            "mac": "00:50:c2:02:5c:c1", "firmwareVersion": "3.0.5"}]
missing:
  description: With I(site), the expected devices that did not answer (C(name), C(expectedIp), C(mac), C(type), C(line)).
  returned: when site is given
  type: list
  elements: dict
unexpected:
  description: With I(site), the devices that answered and are not in the site file.
  returned: when site is given
  type: list
  elements: dict
moved:
  description: With I(site), the expected devices found at another IP address.
  returned: when site is given
  type: list
  elements: dict
different_firmware:
  description: With I(site), the expected devices whose versions differ from the site file's (C(differences)).
  returned: when site is given
  type: list
  elements: dict
summary:
  description: With I(site), the comparison's summary line and counts.
  returned: when site is given
  type: dict
  sample: {"summary": "2 of 3 expected devices found, 1 missing, 0 unexpected", "expected": 3, "found": 2, "missing": 1}
count:
  description: How many devices were listed (that answered).
  returned: always
  type: int
ansible_facts:
  description: The same list as the fact C(tarvino_devices).
  returned: always
  type: dict
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.tarvino.fleet.plugins.module_utils.tarvino_cli import (
    EXIT_DEVICE_FAILED, EXIT_NOTHING_MATCHED, EXIT_OK, SelectionError, number_text, run_cli, selection_argument_spec, selection_args)


def main():
    arguments = selection_argument_spec()
    arguments.update(expect=dict(type='int'), site=dict(type='path'), fail_on_missing=dict(type='bool', default=False))
    module = AnsibleModule(argument_spec=arguments, supports_check_mode=True, mutually_exclusive=[('expect', 'site')])
    params = module.params
    targets = [t.lower() for t in params['targets'] or []]
    everything = targets in ([], ['all']) and not params['type']
    if params['expect'] is not None and not everything:
        module.fail_json(msg='expect counts the devices of a whole scan: give it without targets or type')
    if params['site'] is not None:
        if not everything or params['ranges']:
            module.fail_json(msg='site compares the devices of a whole broadcast scan: give it without targets, type or ranges')
        compare_with_site(module)

    try:
        if everything:
            # The broadcast as tarvino-cli scan sends it; scan takes no targets.
            args = ['scan']
            for address_range in params['ranges'] or []:
                args += ['--range', address_range]
            if params['wait'] is not None:
                args += ['--wait', number_text(params['wait'])]
            if params['expect'] is not None:
                args += ['--expect', str(params['expect'])]
        else:
            args = ['info'] + selection_args(params, operation_options=False)
    except SelectionError as error:
        module.fail_json(msg=str(error))

    run = run_cli(module, args, accept=(EXIT_OK, EXIT_NOTHING_MATCHED))
    devices = run.objects
    result = dict(changed=False, devices=devices, count=len(devices), cmd=run.command,
                  ansible_facts=dict(tarvino_devices=devices))
    if run.rc == EXIT_NOTHING_MATCHED:
        module.fail_json(msg=run.summary(), **result)
    module.exit_json(**result)


def compare_with_site(module):
    """tarvino-cli check --site: a line per device with its state, then the summary."""
    params = module.params
    args = ['check', '--site', params['site']]
    if params['wait'] is not None:
        args += ['--wait', number_text(params['wait'])]
    run = run_cli(module, args, accept=(EXIT_OK, EXIT_DEVICE_FAILED))
    states = [o for o in run.objects if 'state' in o]
    summary = ([o for o in run.objects if 'summary' in o] or [{}])[-1]
    summary = dict((key, value) for key, value in summary.items() if key != 'schema')
    devices = [o for o in states if o['state'] != 'missing']

    def of_state(state):
        return [o for o in states if o['state'] == state]

    result = dict(changed=False, devices=devices, count=len(devices), cmd=run.command, summary=summary,
                  missing=of_state('missing'), unexpected=of_state('unexpected'), moved=of_state('moved'),
                  different_firmware=of_state('differentFirmware'), ansible_facts=dict(tarvino_devices=devices))
    if result['missing'] and params['fail_on_missing']:
        module.fail_json(msg=summary.get('summary') or '%d expected devices missing' % len(result['missing']),
                         **result)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
