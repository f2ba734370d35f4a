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
  - In check mode nothing is written, and by default nothing is read from a controller either (a
    read takes the controller out of service while it lasts); the desired configuration is
    compared with the site host's latest backup of each controller, its snapshot in
    I(snapshot_dir), and the result says so (I(compared_with=backup)). A controller without a
    snapshot there is reported C(unknown). With I(read_in_check_mode=true) the controllers are
    read and compared as a run would.
  - With C(--diff) each differing controller's lines are shown as a diff; I(diff_mask) hides the
    secrets of a configuration in it (the task keyword C(diff) set to false shows none).
  - The desired configuration (I(content), I(content_base64), the bytes of I(src)) is never logged.
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
      - Never logged, as it may hold the site's passwords.
    type: str
  content_base64:
    description:
      - The desired configuration's bytes, base64-encoded, for a configuration that is no
        UTF-8 text. I(src) is sent this way.
      - Never logged.
    type: str
  diff_mask:
    description:
      - Regular expressions of the secrets in a configuration, hidden as C(********) in the diff
        (C(--diff)) on both sides. A line is matched on its own (C(^) and C($) are its ends). When
        the expression has groups only the groups are hidden, so C(password\s*=\s*(\S+)) keeps the
        key and hides its value; else the whole match is.
      - A change in a hidden part alone shows no differing line; the result still says the
        controller changed.
    type: list
    elements: str
    default: []
  read_in_check_mode:
    description:
      - In check mode, read each controller's configuration and compare it, as a run does. A read
        takes the controller out of service while it lasts.
      - When false, check mode reads nothing from the controllers and compares with their
        snapshots in I(snapshot_dir).
    type: bool
    default: false
  snapshot_dir:
    description:
      - The folder on the site host where M(tarvino.fleet.backup) keeps the controllers'
        snapshots (its I(dest)); check mode compares with them unless I(read_in_check_mode=true).
    type: path
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

- name: A configuration made from a template for one controller, its password out of the diff
  tarvino.fleet.config:
    targets: [Chiller-South-0]
    content: "{{ lookup('template', 'chiller.cfg.j2') }}"
    diff_mask: ['^password\s*=\s*(.*)$']
    snapshot_dir: /var/lib/tarvino/config-snapshots
'''

RETURN = r'''
devices:
  description:
    - One object per selected controller with C(ip), C(mac), C(name) and C(result) (C(unchanged),
      C(changed), C(would change) in check mode, C(unknown) in check mode without a snapshot to
      compare with, or C(failed)); a failed one has C(message) and C(detail) from C(tarvino-cli);
      with I(backup=true) a written one has C(backup_file).
    - Compared with a snapshot (check mode, I(compared_with=backup)), C(compared_file) and
      C(compared_time) name the snapshot and when it was written.
  returned: always
  type: list
  elements: dict
  sample: [{"ip": "198.18.1.1", "mac": "00:50:c2:02:5c:c1", "name": "Chiller-South-0",
            "result": "changed", "backup_file": "/home/tech/tarvino-backups/00-50-C2-02-5C-C1.20261208-170212.cfg"}]
compared_with:
  description:
    - What the desired configuration was compared with, C(controller) (read from it) or
      C(backup) (the site host's latest snapshot of it; check mode without I(read_in_check_mode)).
  returned: always
  type: str
  sample: backup
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
    SelectionError, compile_masks, configuration_diff, device_label, device_summary, failure_text,
    latest_backup, list_selected, shared_macs, read_configurations, run_cli, selection_argument_spec, selection_args,
    succeeded)


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
        content=dict(type='str', no_log=True),
        content_base64=dict(type='str', no_log=True),
        backup=dict(type='bool', default=False),
        backup_dir=dict(type='path', default='~/tarvino-backups'),
        diff_mask=dict(type='list', elements='str', default=[]),
        read_in_check_mode=dict(type='bool', default=False),
        snapshot_dir=dict(type='path'),
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
        masks = compile_masks(params['diff_mask'])
    except (SelectionError, ValueError) as error:
        module.fail_json(msg=str(error))

    if module.check_mode and not params['read_in_check_mode']:
        result = compare_with_backups(module, desired, masks)
    else:
        work = tempfile.mkdtemp(prefix='tarvino-config-')
        try:
            result = converge(module, selection, desired, work, masks)
        finally:
            shutil.rmtree(work, ignore_errors=True)
    if result['failed_devices']:
        failed = [d for d in result['devices'] if d['result'] == 'failed']
        result['msg'] = 'Configuration failed on %d of %d controllers: %s' % (
            len(failed), len(result['devices']), '; '.join(failure_text(d) for d in failed))
        module.fail_json(**result)
    module.exit_json(**result)


def diff_of(outcome, current, desired, masks, before_what):
    label = device_label(outcome)
    return configuration_diff(text_of(current), text_of(desired), '%s: %s' % (label, before_what),
                              '%s: desired configuration' % label, masks)


def outcome_lists(devices, diffs, command, compared_with):
    changing = ('changed', 'would change')
    return dict(
        changed=any(d['result'] in changing for d in devices),
        devices=devices,
        changed_devices=[d['ip'] for d in devices if d['result'] in changing],
        failed_devices=[d['ip'] for d in devices if d['result'] == 'failed'],
        diff=diffs,
        cmd=command,
        compared_with=compared_with,
    )


def compare_with_backups(module, desired, masks):
    """Check mode without a read: each selected controller's latest snapshot on the site host
    stands for its configuration."""
    listed = list_selected(module, selection_args(module.params, operation_options=False))
    folder = module.params['snapshot_dir']
    devices = []
    diffs = []
    shared = shared_macs(listed.objects)
    for outcome in listed.objects:
        if outcome.get('result') not in (None, 'succeeded'):
            devices.append(device_summary(outcome, result='failed', message=outcome.get('message'),
                                          detail=outcome.get('detail')))
            continue
        backup = latest_backup(folder, outcome, shared)
        if backup is None:
            devices.append(device_summary(outcome, result='unknown', compared_file=None, compared_time=None,
                                          message='no snapshot of it on the site host%s to compare with'
                                                  % (' in %s' % folder if folder else ' (snapshot_dir not given)')))
            continue
        path, current, written = backup
        result = 'unchanged' if current == desired else 'would change'
        devices.append(device_summary(outcome, result=result, compared_file=path, compared_time=written))
        if result == 'would change' and module._diff:
            diffs.append(diff_of(outcome, current, desired, masks, 'its snapshot of %s' % written))
    unknown = [d for d in devices if d['result'] == 'unknown']
    if unknown:
        module.warn('%d of %d controllers have no snapshot to compare with; read_in_check_mode: true reads them: %s'
                    % (len(unknown), len(devices), ', '.join(device_label(d) for d in unknown)))
    result = outcome_lists(devices, diffs, listed.command, 'backup')
    result['msg'] = ('Check mode read no controller: the desired configuration was compared with the site '
                     "host's latest snapshots (read_in_check_mode: true reads the controllers)")
    return result


def converge(module, selection, desired, work, masks):
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
        if module._diff:
            diffs.append(diff_of(outcome, current, desired, masks, 'configuration on the controller'))

    if differing and not module.check_mode:
        if params['backup']:
            folder = params['backup_dir']
            for summary, outcome, current in differing:
                stem = os.path.splitext(os.path.basename(outcome['file']))[0]
                summary['backup_file'] = keep_backup(module, folder, stem, current)
        write(module, differing, desired, work)

    return outcome_lists(devices, diffs, read_run.command, 'controller')


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
