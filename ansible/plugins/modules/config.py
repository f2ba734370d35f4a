# -*- coding: utf-8 -*-
# Copyright: 2026 The Tarvino developers

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: config
short_description: Keep the configuration of Tarvino controllers as desired
version_added: 1.0.0
description:
  - Reads the configuration of each selected controller with C(tarvino-cli config get),
    compares it byte for byte with the desired one, and writes it with
    C(tarvino-cli config put) only to the controllers whose configuration differs; the program
    reads each write back and compares it.
  - A second run with the same configuration changes nothing and reports C(changed=false).
  - In check mode the configurations are read and compared, nothing is written; with
    C(--diff) each differing controller's lines are shown as a diff.
  - When one controller fails (it does not answer its bus, say), the others are still done
    and the task fails for the host with every controller's result in I(devices). Ansible shows
    no diff of a failed task; the diffs of the other controllers are in its result (C(diff)).
extends_documentation_fragment:
  - tarvino.fleet.selection
  - tarvino.fleet.ranges
options:
  src:
    description:
      - A file on the Ansible controller (searched as C(copy) searches, in the role's or
        playbook's C(files) folder too) whose bytes are the desired configuration.
      - Exactly one of I(src), I(content) and I(content_base64) is given.
    type: path
  content:
    description:
      - The desired configuration as text (written as UTF-8); a template can make one per
        device or per site with the template lookup (see the examples).
    type: str
  content_base64:
    description:
      - The desired configuration's bytes, base64-encoded, for a configuration that is no
        UTF-8 text. I(src) is sent this way.
    type: str
  backup:
    description:
      - Before writing a controller, keep the configuration it had as a file in I(backup_dir)
        on the site host (named by the controller's MAC address and the time).
    type: bool
    default: false
  backup_dir:
    description:
      - Where I(backup=true) keeps the previous configurations on the site host.
    type: path
    default: ~/tarvino-backups
author:
  - The Tarvino developers (!UNKNOWN)
'''

EXAMPLES = r'''
- name: One configuration for every controller of the site
  tarvino.fleet.config:
    src: controller.cfg
    type: 'Palimor P4*'
    backup: true

- name: A configuration made from a template for one controller
  tarvino.fleet.config:
    targets: [Chiller-South-0]
    content: "{{ lookup('template', 'chiller.cfg.j2') }}"
'''

RETURN = r'''
devices:
  description:
    - One object per selected controller with C(ip), C(mac), C(name) and C(result) (C(unchanged),
      C(changed), C(would change) in check mode, or C(failed)); a failed one has C(message) and
      C(detail) from C(tarvino-cli); with I(backup=true) a written one has C(backup_file).
  returned: always
  type: list
  elements: dict
  sample: [{"ip": "198.18.1.1", "mac": "00:50:c2:02:5c:c1", "name": "Chiller-South-0",
            "result": "changed", "backup_file": "/home/tech/tarvino-backups/00-50-C2-02-5C-C1.20261208-170212.cfg"}]
changed_devices:
  description: The addresses of the controllers written (or that would be, in check mode).
  returned: always
  type: list
  elements: str
failed_devices:
  description: The addresses of the controllers that failed.
  returned: always
  type: list
  elements: str
'''

import base64
import os
import shutil
import tempfile
import time

from ansible.module_utils.basic import AnsibleModule
from ansible.module_utils.common.text.converters import to_bytes, to_text
from ansible_collections.tarvino.fleet.plugins.module_utils.tarvino_cli import (
    SelectionError, device_label, device_summary, failure_text, read_configurations, run_cli,
    selection_argument_spec, selection_args, succeeded)


def desired_bytes(module):
    params = module.params
    if params['content_base64'] is not None:
        try:
            return base64.b64decode(params['content_base64'], validate=True)
        except (TypeError, ValueError) as error:
            module.fail_json(msg='content_base64 is not base64: %s' % error)
    return to_bytes(params['content'], errors='surrogate_or_strict')


def text_of(data):
    return to_text(data, errors='surrogate_or_replace')


def keep_backup(module, folder, stem, data):
    """The controller's configuration before the write, as FOLDER/STEM.TIME.cfg on the site host."""
    try:
        if not os.path.isdir(folder):
            os.makedirs(folder, 0o700)
        path = os.path.join(folder, '%s.%s.cfg' % (stem, time.strftime('%Y%m%d-%H%M%S')))
        with open(path, 'wb') as kept:
            kept.write(data)
        return path
    except (IOError, OSError) as error:
        module.fail_json(msg='Cannot keep the previous configuration in %s: %s' % (folder, error))


def main():
    arguments = selection_argument_spec()
    arguments.update(
        src=dict(type='path'),
        content=dict(type='str'),
        content_base64=dict(type='str'),
        backup=dict(type='bool', default=False),
        backup_dir=dict(type='path', default='~/tarvino-backups'),
    )
    module = AnsibleModule(argument_spec=arguments, supports_check_mode=True,
                           required_one_of=[('src', 'content', 'content_base64')],
                           mutually_exclusive=[('src', 'content', 'content_base64')])
    params = module.params
    if params['src'] is not None:
        # The action plugin reads src on the controller and sends its bytes as content_base64.
        module.fail_json(msg='src is read on the Ansible controller: run the module through the '
                             'tarvino.fleet.config action (as a task), or give content')
    desired = desired_bytes(module)
    try:
        selection = selection_args(params)
    except SelectionError as error:
        module.fail_json(msg=str(error))

    work = tempfile.mkdtemp(prefix='tarvino-config-')
    try:
        result = converge(module, selection, desired, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    if result['failed_devices']:
        failed = [d for d in result['devices'] if d['result'] == 'failed']
        result['msg'] = 'Configuration failed on %d of %d controllers: %s' % (
            len(failed), len(result['devices']), '; '.join(failure_text(d) for d in failed))
        module.fail_json(**result)
    module.exit_json(**result)


def converge(module, selection, desired, work):
    params = module.params
    read_run, readings = read_configurations(module, selection, os.path.join(work, 'read'))
    devices = []
    differing = []
    diffs = []
    for outcome, current in readings:
        if current is None:
            devices.append(device_summary(outcome, result='failed', message=outcome.get('message'),
                                          detail=outcome.get('detail')))
            continue
        if current == desired:
            devices.append(device_summary(outcome, result='unchanged'))
            continue
        summary = device_summary(outcome, result='would change' if module.check_mode else 'changed')
        devices.append(summary)
        differing.append((summary, outcome, current))
        diffs.append(dict(before=text_of(current), after=text_of(desired),
                          before_header='%s: configuration on the controller' % device_label(outcome),
                          after_header='%s: desired configuration' % device_label(outcome)))

    if differing and not module.check_mode:
        if params['backup']:
            folder = params['backup_dir']
            for summary, outcome, current in differing:
                stem = os.path.splitext(os.path.basename(outcome['file']))[0]
                summary['backup_file'] = keep_backup(module, folder, stem, current)
        write(module, differing, desired, work)

    return dict(
        changed=any(d['result'] in ('changed', 'would change') for d in devices),
        devices=devices,
        changed_devices=[d['ip'] for d in devices if d['result'] in ('changed', 'would change')],
        failed_devices=[d['ip'] for d in devices if d['result'] == 'failed'],
        diff=diffs,
        cmd=read_run.command,
    )


def write(module, differing, desired, work):
    """config put to the differing controllers only, each by its address (no second scan)."""
    path = os.path.join(work, 'desired.cfg')
    with open(path, 'wb') as stored:
        stored.write(desired)
    addresses = [outcome['ip'] for summary, outcome, current in differing]
    options = selection_args(dict(targets=addresses, timeout=module.params['timeout'], jobs=module.params['jobs']))
    run = run_cli(module, ['config', 'put'] + options + [path, '--yes'])
    by_ip = dict((result.get('ip'), result) for result in run.objects)
    for summary, outcome, current in differing:
        written = by_ip.get(outcome['ip'])
        if written is None or not succeeded(written):
            written = written or dict(outcome, message='tarvino-cli config put reported nothing for it')
            summary.update(result='failed', message=written.get('message'), detail=written.get('detail'))


if __name__ == '__main__':
    main()
