# -*- coding: utf-8 -*-
# Copyright: 2026 The Tarvino developers

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import base64
import os

from ansible.plugins.action import ActionBase


class ActionModule(ActionBase):
    """tarvino.fleet.backup: the snapshot is made on the site host by the module; with fetch_to
    each snapshot file is then copied to FETCH_TO/INVENTORY_HOSTNAME/ on the Ansible controller,
    written only when its bytes differ from the copy already there."""

    TRANSFERS_FILES = False

    def run(self, tmp=None, task_vars=None):
        result = super(ActionModule, self).run(tmp, task_vars)
        del tmp
        task_vars = task_vars or {}
        result.update(self._execute_module(module_name='tarvino.fleet.backup', module_args=dict(self._task.args),
                                           task_vars=task_vars))
        fetch_to = self._task.args.get('fetch_to')
        # The snapshots kept are fetched even when another controller of the site failed.
        if not result.get('files') or not fetch_to or self._play_context.check_mode:
            return result
        folder = os.path.join(os.path.expanduser(fetch_to), task_vars.get('inventory_hostname', 'site'))
        fetched = []
        for snapshot in result.get('files', []):
            read = self._execute_module(module_name='ansible.legacy.slurp', module_args=dict(src=snapshot['path']),
                                        task_vars=task_vars)
            if read.get('failed'):
                result.update(failed=True, msg='Cannot fetch %s: %s' % (snapshot['path'], read.get('msg')))
                break
            data = base64.b64decode(read['content'])
            local = os.path.join(folder, os.path.basename(snapshot['path']))
            if not os.path.isdir(folder):
                os.makedirs(folder)
            if _bytes_of(local) != data:
                with open(local, 'wb') as stored:
                    stored.write(data)
                result['changed'] = True
            fetched.append(local)
        result['fetched'] = fetched
        return result


def _bytes_of(path):
    if not os.path.exists(path):
        return None
    with open(path, 'rb') as stored:
        return stored.read()
