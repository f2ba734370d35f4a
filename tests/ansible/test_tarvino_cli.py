#!/usr/bin/python3
"""The collection's shared call of tarvino-cli (ansible/plugins/module_utils/tarvino_cli.py): the
command line made from a module's selection, and the reading of the JSON lines, without Ansible
and without devices."""

import importlib.util
import os
import sys
import unittest

sys.dont_write_bytecode = True  # no __pycache__ left in the collection's source folder
HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.join(HERE, '..', '..', 'ansible', 'plugins', 'module_utils', 'tarvino_cli.py')
loader_spec = importlib.util.spec_from_file_location('tarvino_cli', SOURCE)
tarvino_cli = importlib.util.module_from_spec(loader_spec)
loader_spec.loader.exec_module(tarvino_cli)


class SelectionArgs(unittest.TestCase):
    ROWS = [
        # (row, params, operation_options, expected arguments)
        ('all', dict(targets=['all']), True, ['--all']),
        ('all in capitals', dict(targets=['ALL']), True, ['--all']),
        ('nothing named is all', dict(targets=[]), True, ['--all']),
        ('all narrowed by type', dict(targets=['all'], type='Palimor P3'), True, ['--type', 'Palimor P3']),
        ('names and addresses kept in order', dict(targets=['Pump-7', '198.18.1.2', '00:50:c2:02:5c:c1']), True,
         ['Pump-7', '198.18.1.2', '00:50:c2:02:5c:c1']),
        ('blank targets dropped', dict(targets=[' 198.18.1.2 ', '']), True, ['198.18.1.2']),
        ('named targets and a type', dict(targets=['Pump-7'], type='XR*'), True, ['Pump-7', '--type', 'XR*']),
        ('wait and timeout as numbers', dict(targets=['all'], wait=1.0, timeout=0.25), True,
         ['--all', '--wait', '1', '--timeout', '0.25']),
        ('jobs', dict(targets=['all'], jobs=8), True, ['--all', '--jobs', '8']),
        ('ranges swept, each its own option', dict(targets=['all'], ranges=['198.19.4.0/24', '198.19.5.10-20']), True,
         ['--range', '198.19.4.0/24', '--range', '198.19.5.10-20', '--all']),
        ('info takes no timeout or jobs', dict(targets=['all'], wait=2.5, timeout=1, jobs=8), False,
         ['--all', '--wait', '2.5']),
    ]

    def test_rows(self):
        for row, params, operation_options, expected in self.ROWS:
            with self.subTest(row):
                self.assertEqual(tarvino_cli.selection_args(params, operation_options), expected)

    REFUSED = [
        ('all beside a name', ['all', 'Pump-7'], "'all' stands alone"),
        ('an option as a target', ['--all'], "'--all' is neither"),
        ('a dash first', ['-o/tmp/x'], "'-o/tmp/x' is neither"),
    ]

    def test_refused(self):
        for row, targets, words in self.REFUSED:
            with self.subTest(row):
                with self.assertRaises(tarvino_cli.SelectionError) as raised:
                    tarvino_cli.selection_args(dict(targets=targets))
                self.assertIn(words, str(raised.exception))


class ParseLines(unittest.TestCase):
    def test_objects_in_order(self):
        stdout = ('{"schema":1,"ip":"198.18.1.1","result":"succeeded"}\n\n'
                  '{"schema":1,"ip":"198.18.1.2","result":"failed","message":"Read Config Failed"}\n')
        objects = tarvino_cli.parse_lines(stdout)
        self.assertEqual([o['ip'] for o in objects], ['198.18.1.1', '198.18.1.2'])
        self.assertEqual(objects[1]['message'], 'Read Config Failed')

    def test_nothing(self):
        self.assertEqual(tarvino_cli.parse_lines(''), [])

    REFUSED = [
        ('a table line', '{"schema":1}\nDEVICE  NAME  RESULT\n', 'line 2 that is not JSON'),
        ('a list', '[1, 2]\n', 'line 1 that is not a JSON object'),
        ('another schema', '{"schema":2,"ip":"198.18.1.1"}\n', 'schema 2; this collection reads schema 1'),
        ('no schema', '{"ip":"198.18.1.1"}\n', 'schema None'),
    ]

    def test_refused(self):
        for row, stdout, words in self.REFUSED:
            with self.subTest(row):
                with self.assertRaises(tarvino_cli.CliOutputError) as raised:
                    tarvino_cli.parse_lines(stdout)
                self.assertIn(words, str(raised.exception))


class Messages(unittest.TestCase):
    ROWS = [
        ('name and detail', dict(ip='198.18.1.3', name='Gate-3', message='Read Config Failed', detail='no answer'),
         '198.18.1.3 (Gate-3): Read Config Failed (no answer)'),
        ('address alone', dict(ip='198.18.1.3', result='busy'), '198.18.1.3: busy'),
    ]

    def test_failure_text(self):
        for row, result, expected in self.ROWS:
            with self.subTest(row):
                self.assertEqual(tarvino_cli.failure_text(result), expected)

    def test_exit_status_summary(self):
        run = tarvino_cli.CliRun(['tarvino-cli'], 3, [], 'tarvino-cli: UDP port 52389 is held by tarvino (4711)\n')
        self.assertEqual(run.summary(), 'tarvino-cli exited with 3 (the site host cannot do it (port held, no adapter, '
                                        'a file that cannot be read or written)): tarvino-cli: UDP port 52389 is held '
                                        'by tarvino (4711)')
        self.assertIn('stopped by a signal', tarvino_cli.CliRun([], 143, [], '').summary())


if __name__ == '__main__':
    result = unittest.main(exit=False, verbosity=1).result
    sys.exit(0 if result.wasSuccessful() else 1)
