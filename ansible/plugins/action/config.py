# -*- coding: utf-8 -*-
# Copyright: 2026 The Tarvino developers

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import base64

from ansible.errors import AnsibleError
from ansible.plugins.action import ActionBase


class ActionModule(ActionBase):
    """tarvino.fleet.config: src is a file on the Ansible controller, sent to the site host as
    content_base64 so that its bytes arrive exactly (a configuration need not be UTF-8)."""

    TRANSFERS_FILES = False

    def run(self, tmp=None, task_vars=None):
        result = super(ActionModule, self).run(tmp, task_vars)
        del tmp
        args = dict(self._task.args)
        src = args.pop('src', None)
        if src is not None:
            if args.get('content') is not None or args.get('content_base64') is not None:
                result.update(failed=True, msg='give one of src, content and content_base64')
                return result
            try:
                path = self._find_needle('files', src)
                with open(path, 'rb') as desired:
                    args['content_base64'] = base64.b64encode(desired.read()).decode('ascii')
            except (AnsibleError, IOError, OSError) as error:
                result.update(failed=True, msg='Cannot read src %s: %s' % (src, error))
                return result
        result.update(self._execute_module(module_name='tarvino.fleet.config', module_args=args,
                                           task_vars=task_vars))
        return result
