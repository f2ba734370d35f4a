# -*- coding: utf-8 -*-
# Copyright: 2026 The Tarvino developers
"""The fleet lab test's report: at the end of the playbook one JSON document on standard output
with every task's result per host and the recap's counts (Debian's ansible-core has no json
callback of its own)."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import json
import time

from ansible.plugins.callback import CallbackBase

DOCUMENTATION = '''
    name: fleet_json
    type: stdout
    short_description: every task's result per host, as one JSON document
    description: Written at the end of the playbook, for the fleet lab test.
'''


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = 'stdout'
    CALLBACK_NAME = 'fleet_json'

    def __init__(self):
        super(CallbackModule, self).__init__()
        self.tasks = []

    def v2_playbook_on_task_start(self, task, is_conditional):
        self.tasks.append({'task': {'name': task.get_name()}, 'hosts': {}, 'started': time.monotonic()})

    def _record(self, result, **extra):
        outcome = dict(self._clean_results_copy(result._result))
        outcome.update(extra)
        outcome['seconds'] = round(time.monotonic() - self.tasks[-1]['started'], 2)
        self.tasks[-1]['hosts'][result._host.get_name()] = outcome

    def _clean_results_copy(self, result):
        return dict((key, value) for key, value in result.items() if not key.startswith('_ansible'))

    def v2_runner_on_ok(self, result):
        self._record(result)

    def v2_runner_on_failed(self, result, ignore_errors=False):
        self._record(result, failed=True)

    def v2_runner_on_skipped(self, result):
        self._record(result, skipped=True)

    def v2_runner_on_unreachable(self, result):
        self._record(result, unreachable=True)

    def v2_playbook_on_stats(self, stats):
        hosts = sorted(stats.processed.keys())
        report = {'plays': [{'tasks': self.tasks}],
                  'stats': dict((host, stats.summarize(host)) for host in hosts)}
        self._display.display(json.dumps(report, sort_keys=True))
