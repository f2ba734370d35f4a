# -*- coding: utf-8 -*-
# Copyright: 2026 The Tarvino developers

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: backup
short_description: Snapshot the configuration of Tarvino controllers on the site host
version_added: 1.0.0
description:
  - Reads the configuration of each selected controller with C(tarvino-cli config get) and
    keeps it in I(dest) on the site host as C(MAC.cfg) (the controller's MAC address, dashes
    between the pairs; its IP address when the MAC address is not known), bytes exactly as the
    controller holds them.
  - A snapshot file is written only when the controller's configuration differs from the
    file already there, so a second run reports C(changed=false).
  - With I(fetch_to) each snapshot is also copied to the Ansible controller.
  - In check mode nothing is written, and by default nothing is read from a controller either (a
    read takes the controller out of service while it lasts); each selected controller is looked
    up in I(dest), the site host's latest backup, and the result says so (I(compared_with=backup)).
    A controller without a snapshot there would get one (C(changed)); whether an existing snapshot
    is still the controller's configuration is not known without a read
    (I(read_in_check_mode=true)).
  - When one controller fails, the others are still kept and the task fails for the host with
    every controller's result in I(files) and I(failed_devices).
extends_documentation_fragment:
  - tarvino.fleet.selection
  - tarvino.fleet.ranges
options:
  dest:
    description:
      - The folder on the site host that keeps the snapshot files (made when missing).
    type: path
    required: true
  fetch_to:
    description:
      - A folder on the Ansible controller; each snapshot is copied to
        C(FETCH_TO/INVENTORY_HOSTNAME/MAC.cfg), written only when it differs from the copy there.
      - Not in check mode.
    type: path
  read_in_check_mode:
    description:
      - In check mode, read each controller's configuration and compare it with its snapshot, as
        a run does. A read takes the controller out of service while it lasts.
    type: bool
    default: false
author:
  - The Tarvino developers (!UNKNOWN)
'''

EXAMPLES = r'''
- name: Keep every controller's configuration on the site host and at the office
  tarvino.fleet.backup:
    dest: /var/lib/tarvino/config-snapshots
    fetch_to: "{{ playbook_dir }}/snapshots"
'''

RETURN = r'''
files:
  description:
    - One object per controller read, with C(ip), C(mac), C(name), C(path) (the snapshot on the
      site host), C(sha256), C(bytes) and C(changed) (whether this run wrote it).
    - In check mode without a read, one per selected controller with C(ip), C(mac), C(name),
      C(path), C(changed) (true when it has no snapshot yet) and C(backup_time) (when its
      snapshot was written; null without one).
  returned: always
  type: list
  elements: dict
compared_with:
  description:
    - C(controller) when the controllers were read, C(backup) in check mode without
      I(read_in_check_mode), when only the snapshots already in I(dest) were looked at.
  returned: always
  type: str
  sample: backup
failed_devices:
  description: The controllers whose configuration could not be read, with C(message) and C(detail).
  returned: always
  type: list
  elements: dict
fetched:
  description: The paths of the copies on the Ansible controller (with I(fetch_to)).
  returned: when fetch_to is given
  type: list
  elements: str
'''

import os
import shutil
import tempfile

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.tarvino.fleet.plugins.module_utils.tarvino_cli import (
    SelectionError, device_summary, failure_text, latest_backup, list_selected, read_configurations,
    selection_argument_spec, selection_args, shared_macs, snapshot_stem)


def bytes_of(path):
    if not os.path.isfile(path):
        return None
    with open(path, 'rb') as stored:
        return stored.read()


def look_up_backups(module, dest):
    """Check mode without a read: which selected controllers have a snapshot in DEST already."""
    listed = list_selected(module, selection_args(module.params, operation_options=False))
    files = []
    shared = shared_macs(listed.objects)
    for device in listed.objects:
        backup = latest_backup(dest, device, shared)
        files.append(device_summary(device, path=backup[0] if backup else os.path.join(dest, snapshot_stem(device, shared) + '.cfg'),
                                    changed=backup is None, backup_time=backup[2] if backup else None))
    return dict(changed=any(f['changed'] for f in files), files=files, failed_devices=[], cmd=listed.command,
                compared_with='backup',
                msg='Check mode read no controller: it looked up their latest snapshots in %s only '
                    '(read_in_check_mode: true reads them)' % dest)


def main():
    arguments = selection_argument_spec()
    arguments.update(dest=dict(type='path', required=True), fetch_to=dict(type='path'),
                     read_in_check_mode=dict(type='bool', default=False))
    module = AnsibleModule(argument_spec=arguments, supports_check_mode=True)
    params = module.params
    try:
        selection = selection_args(params)
    except SelectionError as error:
        module.fail_json(msg=str(error))
    dest = params['dest']
    if module.check_mode and not params['read_in_check_mode']:
        module.exit_json(**look_up_backups(module, dest))

    work = tempfile.mkdtemp(prefix='tarvino-backup-')
    try:
        run, readings = read_configurations(module, selection, work)
        files = []
        failed = []
        for outcome, data in readings:
            if data is None:
                failed.append(device_summary(outcome, message=outcome.get('message'), detail=outcome.get('detail')))
                continue
            path = os.path.join(dest, os.path.basename(outcome['file']))
            changed = bytes_of(path) != data
            if changed and not module.check_mode:
                if not os.path.isdir(dest):
                    os.makedirs(dest, 0o700)
                # Moved in whole from the same file system's temporary name: never half written.
                staged = path + '.new'
                shutil.copyfile(outcome['file'], staged)
                os.rename(staged, path)
            files.append(device_summary(outcome, path=path, sha256=outcome.get('sha256'), bytes=len(data),
                                        changed=changed))
    except (IOError, OSError) as error:
        module.fail_json(msg='Cannot keep the snapshot in %s: %s' % (dest, error))
    finally:
        shutil.rmtree(work, ignore_errors=True)

    result = dict(changed=any(f['changed'] for f in files), files=files, failed_devices=failed, cmd=run.command,
                  compared_with='controller')
    if failed:
        result['msg'] = 'Backup failed on %d of %d controllers: %s' % (
            len(failed), len(readings), '; '.join(failure_text(d) for d in failed))
        module.fail_json(**result)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
