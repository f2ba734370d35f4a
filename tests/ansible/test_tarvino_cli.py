#!/usr/bin/python3
"""The collection's shared call of tarvino-cli (ansible/plugins/module_utils/tarvino_cli.py): the
command line made from a module's selection, the reading of the JSON lines, the masks and diffs of
configurations; then the config and backup modules run as Ansible runs them, against a made-up
tarvino-cli that records what it was asked (no devices, no network)."""

import importlib.util
import json
import os
import subprocess
import sys
import tempfile
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


class SnapshotStem(unittest.TestCase):
    ROWS = [
        ('MAC address as tarvino-cli writes it', dict(ip='198.18.1.1', mac='00:50:c2:02:5c:c1'), '00-50-C2-02-5C-C1'),
        ('dashes and capitals already', dict(ip='198.18.1.1', mac='00-50-C2-02-5C-C1'), '00-50-C2-02-5C-C1'),
        ('no MAC address: the IP address', dict(ip='198.18.1.9', mac=None), '198.18.1.9'),
        ('the all-zero MAC address is none', dict(ip='198.18.1.9', mac='00:00:00:00:00:00'), '198.18.1.9'),
    ]

    def test_rows(self):
        for row, device, expected in self.ROWS:
            with self.subTest(row):
                self.assertEqual(tarvino_cli.snapshot_stem(device), expected)

    def test_twins_keep_a_file_each(self):
        # Two cloned boards answer with one MAC address: tarvino-cli names their files by their
        # addresses too, and a backup of one is never taken for the other's.
        devices = [dict(ip='198.18.1.2', mac='00:50:c2:02:5c:c1'), dict(ip='198.18.1.7', mac='00-50-C2-02-5C-C1'),
                   dict(ip='198.18.1.3', mac='00:50:c2:02:5c:c3')]
        shared = tarvino_cli.shared_macs(devices)
        self.assertEqual([tarvino_cli.snapshot_stem(d, shared) for d in devices],
                         ['00-50-C2-02-5C-C1_198.18.1.2', '00-50-C2-02-5C-C1_198.18.1.7', '00-50-C2-02-5C-C3'])


class Masks(unittest.TestCase):
    TEXT = '[site]\nname = North\npassword = hunter2\napi_key=abc123 # rotated\n'
    ROWS = [
        ('nothing to mask', [], TEXT),
        ('a group hides the value, keeps the key', [r'^password\s*=\s*(.*)$'],
         '[site]\nname = North\npassword = ********\napi_key=abc123 # rotated\n'),
        ('without a group the whole match', [r'abc\d+'],
         '[site]\nname = North\npassword = hunter2\napi_key=******** # rotated\n'),
        ('several, and a group that took no part', [r'^password = (\S+)', r'api_key=(\w+)( #x)?'],
         '[site]\nname = North\npassword = ********\napi_key=******** # rotated\n'),
        ('nested groups hidden once', [r'key=((abc)123)'],
         '[site]\nname = North\npassword = hunter2\napi_key=******** # rotated\n'),
    ]

    def test_rows(self):
        for row, patterns, expected in self.ROWS:
            with self.subTest(row):
                masked = tarvino_cli.mask_secrets(self.TEXT, tarvino_cli.compile_masks(patterns))
                self.assertEqual(masked, expected)

    def test_not_a_regex(self):
        with self.assertRaises(ValueError) as raised:
            tarvino_cli.compile_masks(['password=(', 'ok'])
        self.assertIn("'password=('", str(raised.exception))


class ConfigurationDiff(unittest.TestCase):
    BEFORE = 'name = North\npassword = old-secret\nsetpoint = 20\n'
    AFTER = 'name = North\npassword = new-secret\nsetpoint = 21.5\n'

    def test_lines_marked(self):
        diff = tarvino_cli.configuration_diff(self.BEFORE, self.AFTER, 'ctl: on it', 'ctl: desired')
        self.assertIn('--- before: ctl: on it\n+++ after: ctl: desired\n', diff['prepared'])
        self.assertIn('-setpoint = 20\n+', diff['prepared'].replace('-password = old-secret\n', ''))
        self.assertIn('+setpoint = 21.5\n', diff['prepared'])
        self.assertNotIn(' name = North\n' + self.AFTER, diff['prepared'])

    def test_secrets_masked_on_both_sides(self):
        masks = tarvino_cli.compile_masks([r'^password = (.*)$'])
        prepared = tarvino_cli.configuration_diff(self.BEFORE, self.AFTER, 'a', 'b', masks)['prepared']
        self.assertNotIn('secret', prepared)
        # The same on both sides once masked: a line of context, no differing line.
        self.assertIn('\n password = ********\n', prepared)
        self.assertNotIn('-password', prepared)
        self.assertNotIn('+password', prepared)
        self.assertIn('+setpoint = 21.5\n', prepared)

    def test_masked_parts_only(self):
        masks = tarvino_cli.compile_masks([r'^password = (.*)$'])
        before = 'password = old\n'
        prepared = tarvino_cli.configuration_diff(before, 'password = new\n', 'a', 'b', masks)['prepared']
        self.assertIn('differ in masked parts only', prepared)
        self.assertNotIn('old', prepared.replace('before', ''))

    @unittest.skipUnless(importlib.util.find_spec('ansible'), 'ansible-core is not installed')
    def test_survives_the_no_log_of_the_desired_text(self):
        # Ansible blanks every no_log value out of a module's result: the desired configuration
        # (content) must not appear whole in the diff, or --diff would show nothing of it.
        from ansible.module_utils.common.parameters import remove_values
        diff = tarvino_cli.configuration_diff(self.BEFORE, self.AFTER, 'a', 'b')
        kept = remove_values(diff, {self.AFTER})
        self.assertEqual(kept, diff)
        self.assertIn('+setpoint = 21.5', kept['prepared'])


# A made-up tarvino-cli: the devices of devices.json beside it, each with the configuration it
# holds; it records each command line in calls.log and writes what config get reads.
FAKE_CLI = r'''#!/usr/bin/python3
import json, os, sys
here = os.path.dirname(os.path.abspath(__file__))
with open(os.path.join(here, 'calls.log'), 'a') as log:
    log.write(json.dumps(sys.argv[1:]) + '\n')
devices = json.load(open(os.path.join(here, 'devices.json')))
args = sys.argv[1:]
def line(**fields):
    fields['schema'] = 1
    print(json.dumps(fields))
if args[0] == 'info':
    for d in devices:
        line(ip=d['ip'], mac=d['mac'], name=d['name'], type='Palimor P4-S')
elif args[:2] == ['config', 'get']:
    folder = args[args.index('-o') + 1]
    os.makedirs(folder, exist_ok=True)
    for d in devices:
        path = os.path.join(folder, d['mac'].replace(':', '-').upper() + '.cfg')
        open(path, 'w').write(d['config'])
        line(ip=d['ip'], mac=d['mac'], name=d['name'], result='succeeded', file=path)
elif args[:2] == ['config', 'put']:
    for d in devices:
        if d['ip'] in args:
            line(ip=d['ip'], mac=d['mac'], name=d['name'], result='succeeded')
'''

COLLECTION = os.path.normpath(os.path.join(HERE, '..', '..', 'ansible'))


@unittest.skipUnless(importlib.util.find_spec('ansible'), 'ansible-core is not installed')
class ModulesInCheckMode(unittest.TestCase):
    """config and backup as Ansible runs them on a site host, in check mode: what they ask
    tarvino-cli, what they compare with, and what their result shows."""

    DEVICES = [
        dict(ip='198.18.1.1', mac='00:50:c2:02:5c:c1', name='North', config='name = North\npassword = old\n'),
        dict(ip='198.18.1.2', mac='00:50:c2:02:5c:c2', name='South', config='name = South\npassword = old\n'),
        dict(ip='198.18.1.3', mac='00:50:c2:02:5c:c3', name='East', config='name = East\n'),
    ]
    DESIRED = 'name = North\npassword = s3cr3t-Pa55\n'

    def setUp(self):
        self.work = tempfile.TemporaryDirectory(prefix='tarvino-ansible-test-')
        root = self.work.name
        self.cli = os.path.join(root, 'tarvino-cli')
        with open(self.cli, 'w') as fake:
            fake.write(FAKE_CLI)
        os.chmod(self.cli, 0o755)
        with open(os.path.join(root, 'devices.json'), 'w') as devices:
            json.dump(self.DEVICES, devices)
        collections = os.path.join(root, 'collections', 'ansible_collections', 'tarvino')
        os.makedirs(collections)
        os.symlink(COLLECTION, os.path.join(collections, 'fleet'))
        self.snapshots = os.path.join(root, 'snapshots')
        os.makedirs(self.snapshots)
        # The latest snapshots: North's is the desired text, South's differs, East has none.
        for stem, text in (('00-50-C2-02-5C-C1', self.DESIRED), ('00-50-C2-02-5C-C2', 'name = South\npassword = old\n')):
            with open(os.path.join(self.snapshots, stem + '.cfg'), 'w') as snapshot:
                snapshot.write(text)

    def tearDown(self):
        self.work.cleanup()

    def run_module(self, name, args, check_mode=True, diff=True):
        arguments = dict(args, cli=self.cli, _ansible_check_mode=check_mode, _ansible_diff=diff,
                         _ansible_remote_tmp=self.work.name, _ansible_tmpdir=self.work.name)
        path = os.path.join(self.work.name, 'args.json')
        with open(path, 'w') as stored:
            json.dump(dict(ANSIBLE_MODULE_ARGS=arguments), stored)
        env = dict(os.environ, PYTHONPATH=os.path.join(self.work.name, 'collections'), PYTHONDONTWRITEBYTECODE='1')
        done = subprocess.run([sys.executable, os.path.join(COLLECTION, 'plugins', 'modules', name + '.py'), path],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, universal_newlines=True,
                              timeout=60, check=False)
        self.assertTrue(done.stdout.strip(), done.stderr)
        return json.loads(done.stdout)

    def verbs(self):
        with open(os.path.join(self.work.name, 'calls.log')) as log:
            return [' '.join(json.loads(call)[:2]) for call in log]

    def test_config_compares_with_the_latest_snapshots(self):
        result = self.run_module('config', dict(content=self.DESIRED, snapshot_dir=self.snapshots,
                                                diff_mask=[r'^password = (.*)$']))
        self.assertNotIn('config get', self.verbs())  # no controller read
        self.assertEqual(result['compared_with'], 'backup')
        self.assertIn('read no controller', result['msg'])
        self.assertEqual([(d['ip'], d['result']) for d in result['devices']],
                         [('198.18.1.1', 'unchanged'), ('198.18.1.2', 'would change'), ('198.18.1.3', 'unknown')])
        self.assertEqual(result['devices'][1]['compared_file'], os.path.join(self.snapshots, '00-50-C2-02-5C-C2.cfg'))
        self.assertTrue(result['changed'])
        self.assertTrue(any('198.18.1.3' in warning for warning in result.get('warnings', [])), result)
        self.assertEqual(len(result['diff']), 1)
        self.assertIn('+name = North', result['diff'][0]['prepared'])
        self.assertNotIn('s3cr3t', json.dumps(result))

    def test_config_reads_when_asked(self):
        result = self.run_module('config', dict(content=self.DESIRED, snapshot_dir=self.snapshots, read_in_check_mode=True))
        self.assertEqual(self.verbs(), ['config get'])
        self.assertEqual(result['compared_with'], 'controller')
        self.assertEqual([d['result'] for d in result['devices']], ['would change'] * 3)

    def test_config_content_never_logged(self):
        rows = [
            ('content', dict(content=self.DESIRED)),
            ('content_base64', dict(content_base64='bmFtZSA9IE5vcnRoCnBhc3N3b3JkID0gczNjcjN0LVBhNTUK')),
        ]
        for row, args in rows:
            with self.subTest(row):
                result = self.run_module('config', dict(args, snapshot_dir=self.snapshots), diff=False)
                logged = result['invocation']['module_args']
                self.assertEqual(logged[row], 'VALUE_SPECIFIED_IN_NO_LOG_PARAMETER')
                self.assertNotIn('s3cr3t', json.dumps(result))
                self.assertEqual(result['diff'], [])  # no --diff: no configuration text in the result

    def test_config_diff_mask_refused(self):
        result = self.run_module('config', dict(content=self.DESIRED, diff_mask=['password=(']))
        self.assertTrue(result.get('failed'))
        self.assertIn('no regular expression', result['msg'])
        self.assertFalse(os.path.exists(os.path.join(self.work.name, 'calls.log')))

    def test_backup_looks_up_its_snapshots(self):
        result = self.run_module('backup', dict(dest=self.snapshots))
        self.assertNotIn('config get', self.verbs())
        self.assertEqual(result['compared_with'], 'backup')
        self.assertEqual([(f['ip'], f['changed'], f['backup_time'] is not None) for f in result['files']],
                         [('198.18.1.1', False, True), ('198.18.1.2', False, True), ('198.18.1.3', True, False)])
        self.assertTrue(result['changed'])
        self.assertEqual(sorted(os.listdir(self.snapshots)), ['00-50-C2-02-5C-C1.cfg', '00-50-C2-02-5C-C2.cfg'])

    def test_backup_reads_when_asked(self):
        result = self.run_module('backup', dict(dest=self.snapshots, read_in_check_mode=True))
        self.assertEqual(self.verbs(), ['config get'])
        self.assertEqual(result['compared_with'], 'controller')
        self.assertEqual([f['changed'] for f in result['files']], [True, False, True])
        self.assertEqual(sorted(os.listdir(self.snapshots)), ['00-50-C2-02-5C-C1.cfg', '00-50-C2-02-5C-C2.cfg'])


if __name__ == '__main__':
    result = unittest.main(exit=False, verbosity=1).result
    sys.exit(0 if result.wasSuccessful() else 1)
