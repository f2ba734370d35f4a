# -*- coding: utf-8 -*-
# Copyright: 2026 The Tarvino developers

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: firmware
short_description: Bring the firmware of Tarvino devices up to date from a firmware library
version_added: 1.0.0
description:
  - Compares each selected device with the firmware library on the site host
    (C(tarvino-cli plan --library)) and upgrades the ones that are behind it
    (C(tarvino-cli apply --library --yes)), through the same upgrades as the window's (the board's
    firmware over FTP, the controller's over its bus with every byte read back).
  - The library's manifest says which device types each image is for; an image is never sent to
    a device of another type, and a device whose type has no image is skipped and told.
  - In check mode only the plan is made (the scan is all that is sent), telling which device
    would go from which version to which, and C(changed) when any would.
  - A device already at the library's version is left alone, so a second run reports
    C(changed=false).
  - When one device fails, the others are still done and the task fails for the host with every
    device's result in I(devices); Ansible's C(max_fail_percentage) and C(serial) then count
    hosts (sites) as usual.
extends_documentation_fragment:
  - tarvino.fleet.selection
options:
  library:
    description:
      - The firmware library's folder on the site host (the folder with C(library.json) and the
        images, as C(tarvino-cli library add) makes it).
    type: path
    required: true
  components:
    description:
      - Which firmware to bring up to date; each component the library has images of when not
        given.
    type: list
    elements: str
    choices: [board, controller]
author:
  - The Tarvino developers (!UNKNOWN)
'''

EXAMPLES = r'''
- name: Every device of the site up to date with the library
  tarvino.fleet.firmware:
    library: /srv/tarvino/library

- name: Only the boards of the chillers, two at a time
  tarvino.fleet.firmware:
    library: /srv/tarvino/library
    type: 'Palimor P4*'
    components: [board]
    jobs: 2
'''

RETURN = r'''
devices:
  description:
    - One object per device and component of the plan, with C(ip), C(mac), C(name),
      C(component), C(current) (the version the device has), C(target) (the library's), C(file)
      (the image) and C(result) (C(upgraded), C(unchanged), C(skipped) with C(reason),
      C(would upgrade) in check mode, or C(failed) with C(message) and C(detail)).
  returned: always
  type: list
  elements: dict
  sample: [{"ip": "198.18.1.1", "name": "Chiller-South-0", "component": "board", "current": "3.0.5",
            "target": "3.4.1", "file": "p4-board-3.4.1.bin", "result": "upgraded"}]
diff:
  description: With C(--diff), the version of each device and component upgraded (or that would be), before and after.
  returned: when a device is or would be upgraded
  type: dict
changed_devices:
  description: The addresses of the devices upgraded (or that would be, in check mode).
  returned: always
  type: list
  elements: str
failed_devices:
  description: The addresses of the devices that failed.
  returned: always
  type: list
  elements: str
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.tarvino.fleet.plugins.module_utils.tarvino_cli import (
    SelectionError, device_label, device_summary, failure_text, run_cli, selection_argument_spec, selection_args)


def main():
    arguments = selection_argument_spec(ranges=False)  # plan and apply scan by broadcast only
    arguments.update(
        library=dict(type='path', required=True),
        components=dict(type='list', elements='str', choices=['board', 'controller']),
    )
    module = AnsibleModule(argument_spec=arguments, supports_check_mode=True)
    params = module.params
    library = params['library']
    try:
        selection = selection_args(params)
    except SelectionError as error:
        module.fail_json(msg=str(error))
    components = ['--components', ','.join(sorted(set(params['components'])))] if params['components'] else []

    if module.check_mode:
        run = run_cli(module, ['plan', '--library', library] + selection + components)
        devices = [planned(entry) for entry in run.objects]
    else:
        run = run_cli(module, ['apply', '--library', library] + selection + components + ['--yes'])
        devices = [applied(entry) for entry in run.objects]

    changing = ('would upgrade', 'upgraded')
    result = dict(
        changed=any(d['result'] in changing for d in devices),
        devices=devices,
        changed_devices=sorted(set(d['ip'] for d in devices if d['result'] in changing)),
        failed_devices=sorted(set(d['ip'] for d in devices if d['result'] == 'failed')),
        cmd=run.command,
    )
    diff = versions_diff(devices)
    if diff:
        result['diff'] = diff
    failed = [d for d in devices if d['result'] == 'failed']
    if failed or run.rc != 0:
        result['msg'] = 'Firmware failed on %d of %d devices: %s' % (
            len(failed), len(devices), '; '.join(failure_text(d) for d in failed) or run.summary())
        module.fail_json(**result)
    module.exit_json(**result)


def versions_diff(devices):
    """The upgrades as a diff of versions, one line per device and component, for --diff."""
    changing = [d for d in devices if d['result'] in ('would upgrade', 'upgraded')]
    if not changing:
        return None
    line = '%s %s: %s\n'
    return dict(before_header='firmware on the devices', after_header='firmware from the library',
                before=''.join(line % (device_label(d), d['component'], d['current'] or 'unknown') for d in changing),
                after=''.join(line % (device_label(d), d['component'], d['target']) for d in changing))


def versions(entry):
    """The component and versions of a plan line (current, target) or an apply line (previousVersion,
    version), under the same names."""
    current = entry.get('current', entry.get('previousVersion'))
    target = entry.get('target', entry.get('version'))
    return dict(component=entry.get('component'), current=current, target=target, file=entry.get('file'))


def planned(entry):
    """A line of tarvino-cli plan --json (action upgrade, unchanged or skipped) as this module returns it."""
    action = entry.get('action')
    if action == 'upgrade':
        return device_summary(entry, result='would upgrade', **versions(entry))
    if action == 'unchanged':
        return device_summary(entry, result='unchanged', reason=entry.get('reason'), **versions(entry))
    return device_summary(entry, result='skipped', reason=entry.get('reason'), **versions(entry))


def applied(entry):
    """A line of tarvino-cli apply --json (result succeeded, unchanged, skipped, or a failure) as this
    module returns it."""
    outcome = entry.get('result')
    if outcome == 'succeeded':
        return device_summary(entry, result='upgraded', **versions(entry))
    if outcome in ('unchanged', 'skipped'):
        return device_summary(entry, result=outcome, reason=entry.get('message'), **versions(entry))
    return device_summary(entry, result='failed', message=entry.get('message'), detail=entry.get('detail'),
                          **versions(entry))


if __name__ == '__main__':
    main()
