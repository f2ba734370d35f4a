# -*- coding: utf-8 -*-
# Copyright: 2026 The Tarvino developers
"""The one way the tarvino.fleet modules reach devices: tarvino-cli --json on the site host.

The modules never speak the device protocol. They build a tarvino-cli command line from the
module's selection options, run it, and read its JSON lines (one object per device, each with
"schema": 1, documented in tarvino-cli --help and README.md).
"""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import difflib
import json
import os
import re
import time

# The JSON lines' format version this collection reads; tarvino-cli raises it only when a field
# changes meaning or goes.
SCHEMA = 1

# tarvino-cli's exit statuses.
EXIT_OK = 0
EXIT_DEVICE_FAILED = 1
EXIT_USAGE = 2
EXIT_ENVIRONMENT = 3
EXIT_NOTHING_MATCHED = 4

EXIT_MEANINGS = {
    EXIT_OK: 'every device succeeded',
    EXIT_DEVICE_FAILED: 'at least one device failed',
    EXIT_USAGE: 'usage error, nothing was sent',
    EXIT_ENVIRONMENT: 'the site host cannot do it (port held, no adapter, a file that cannot be read or written)',
    EXIT_NOTHING_MATCHED: 'no device matched the selection, nothing was sent',
}


def selection_argument_spec(ranges=True):
    """The options every module takes to choose devices (documented in the selection fragment),
    and ranges (the ranges fragment) for the modules whose verbs sweep them."""
    arguments = dict(
        targets=dict(type='list', elements='str', default=['all']),
        type=dict(type='str'),
        wait=dict(type='float', default=3.0),
        timeout=dict(type='float'),
        jobs=dict(type='int'),
        cli=dict(type='str', default='tarvino-cli'),
    )
    if ranges:
        arguments['ranges'] = dict(type='list', elements='str')
    return arguments


class SelectionError(ValueError):
    pass


def selection_args(params, operation_options=True):
    """tarvino-cli's targets and selection options for the module's parameters.

    targets ['all'] (or empty) means every device that answers the scan, narrowed by type when
    given; otherwise the targets are passed as they are (addresses are reached at once, names
    and MAC addresses after a scan). operation_options=False leaves out --timeout and --jobs,
    which only the verbs that work on devices take (not info).
    """
    targets = [t.strip() for t in (params.get('targets') or []) if t and t.strip()]
    args = []
    everything = not targets or [t.lower() for t in targets] == ['all']
    if not everything:
        if 'all' in [t.lower() for t in targets]:
            raise SelectionError("targets: 'all' stands alone, not beside other targets")
        for target in targets:
            # A target that starts with '-' would be read as an option.
            if target.startswith('-'):
                raise SelectionError("targets: '%s' is neither an address nor a name" % target)
        args.extend(targets)
    for address_range in params.get('ranges') or []:
        args.extend(['--range', address_range])
    if params.get('type'):
        args.extend(['--type', params['type']])
    elif everything:
        args.append('--all')
    if params.get('wait') is not None:
        args.extend(['--wait', number_text(params['wait'])])
    if operation_options and params.get('timeout') is not None:
        args.extend(['--timeout', number_text(params['timeout'])])
    if operation_options and params.get('jobs') is not None:
        args.extend(['--jobs', str(params['jobs'])])
    return args


def number_text(value):
    text = ('%f' % float(value)).rstrip('0').rstrip('.')
    return text or '0'


class CliRun:
    """One tarvino-cli run: its command line, exit status, JSON objects and standard error."""

    def __init__(self, command, rc, objects, stderr):
        self.command = command
        self.rc = rc
        self.objects = objects
        self.stderr = stderr

    @property
    def meaning(self):
        return EXIT_MEANINGS.get(self.rc, 'stopped by a signal' if self.rc >= 128 else 'unknown exit status')

    def summary(self):
        """A one-line account of a run that did not end with 0 or 1, for fail_json."""
        text = 'tarvino-cli exited with %d (%s)' % (self.rc, self.meaning)
        tail = self.stderr.strip().splitlines()
        if tail:
            text += ': ' + '; '.join(line.strip() for line in tail[-3:])
        return text


class CliOutputError(RuntimeError):
    pass


def parse_lines(stdout):
    """The JSON objects of tarvino-cli's standard output, one per non-empty line.

    A line that is no JSON object, or carries another schema than this collection reads, is an
    error: the modules would otherwise act on output they do not understand.
    """
    objects = []
    for number, line in enumerate(stdout.splitlines(), 1):
        line = line.strip()
        if not line:
            continue
        try:
            value = json.loads(line)
        except ValueError as error:
            raise CliOutputError('tarvino-cli wrote line %d that is not JSON (%s): %s' % (number, error, line[:200]))
        if not isinstance(value, dict):
            raise CliOutputError('tarvino-cli wrote line %d that is not a JSON object: %s' % (number, line[:200]))
        if value.get('schema') != SCHEMA:
            raise CliOutputError('tarvino-cli wrote line %d with schema %r; this collection reads schema %d'
                                 % (number, value.get('schema'), SCHEMA))
        objects.append(value)
    return objects


def run_cli(module, args, accept=(EXIT_OK, EXIT_DEVICE_FAILED)):
    """Runs tarvino-cli ARGS --json; fails the module on an exit status outside `accept`.

    A changing verb never waits on a question here: the caller passes --yes.
    """
    program = module.params.get('cli') or 'tarvino-cli'
    if '/' not in program:
        program = module.get_bin_path(program, required=True)
    command = [program] + list(args) + ['--json']
    rc, stdout, stderr = module.run_command(command, encoding='utf-8', errors='replace')
    try:
        objects = parse_lines(stdout)
    except CliOutputError as error:
        module.fail_json(msg=str(error), cmd=command, rc=rc, stderr=stderr)
    run = CliRun(command, rc, objects, stderr)
    if rc not in accept:
        module.fail_json(msg=run.summary(), cmd=command, rc=rc, stderr=stderr, results=objects)
    return run


def succeeded(result):
    return result.get('result') == 'succeeded'


def device_label(result):
    """'198.18.1.7 (Gate-7)' for messages."""
    ip = result.get('ip') or '?'
    name = result.get('name')
    return '%s (%s)' % (ip, name) if name else ip


def failure_text(result):
    """One line for a device that did not succeed."""
    parts = [device_label(result) + ':', result.get('message') or result.get('result') or 'failed']
    if result.get('detail'):
        parts.append('(%s)' % result['detail'])
    return ' '.join(parts)


def failures_message(verb, failed, total):
    lines = [failure_text(result) for result in failed]
    return '%s failed on %d of %d devices: %s' % (verb, len(failed), total, '; '.join(lines))


def read_configurations(module, selection, folder):
    """Reads the selected controllers' configurations into FOLDER (tarvino-cli config get -o).

    Returns (run, readings): one reading per device, the JSON object of its outcome with the
    bytes read under 'data' (None when the read failed). Nothing matched fails the module.
    """
    run = run_cli(module, ['config', 'get'] + selection + ['-o', folder.rstrip('/') + '/'],
                  accept=(EXIT_OK, EXIT_DEVICE_FAILED))
    readings = []
    for result in run.objects:
        data = None
        if succeeded(result) and result.get('file'):
            with open(result['file'], 'rb') as stored:
                data = stored.read()
        readings.append((result, data))
    return run, readings


def device_summary(outcome, **fields):
    """The part of a tarvino-cli outcome a module returns for its device, with FIELDS added."""
    summary = dict((key, outcome.get(key)) for key in ('ip', 'mac', 'name'))
    summary.update(fields)
    return summary


def _mac_digits(device):
    return (device.get('mac') or '').replace(':', '').replace('-', '').replace('.', '').lower()


def shared_macs(devices):
    """The MAC addresses (as twelve digits) that several of the devices answered with: cloned boards,
    whose files tarvino-cli names by their IP address too."""
    seen, shared = set(), set()
    for device in devices:
        mac = _mac_digits(device)
        (shared if mac in seen else seen).add(mac)
    return shared


def snapshot_stem(device, shared=frozenset()):
    """The name tarvino-cli gives a device's file: its MAC address in capitals with dashes between
    the pairs ('00-50-C2-02-5C-C1'), or its IP address when the MAC address is not known; a MAC
    address that several devices share (SHARED) is followed by the IP address
    ('00-50-C2-02-5C-C1_198.18.1.7'), so that two devices never share a file."""
    mac = _mac_digits(device)
    if len(mac) == 12 and mac.strip('0'):
        stem = '-'.join(mac[i:i + 2] for i in range(0, 12, 2)).upper()
        return stem + '_' + (device.get('ip') or '?') if mac in shared else stem
    return device.get('ip') or '?'


def latest_backup(folder, device, shared=frozenset()):
    """The site host's latest backup of the device's configuration in FOLDER (the snapshot that
    tarvino.fleet.backup keeps as STEM.cfg): (path, bytes, time it was written), or None."""
    if not folder:
        return None
    path = os.path.join(os.path.expanduser(folder), snapshot_stem(device, shared) + '.cfg')
    try:
        with open(path, 'rb') as stored:
            data = stored.read()
        written = os.stat(path).st_mtime
    except (IOError, OSError):
        return None
    return path, data, time.strftime('%Y-%m-%dT%H:%M:%S%z', time.localtime(written))


def list_selected(module, selection):
    """The devices the selection names, from tarvino-cli info: what a scan or a discovery request
    tells, nothing read from a controller (which a configuration read takes out of service for its
    duration). Nothing matched fails the module."""
    return run_cli(module, ['info'] + selection, accept=(EXIT_OK, EXIT_DEVICE_FAILED))


# What a masked part of a configuration shows in a diff.
MASK = '********'


def compile_masks(patterns):
    """The diff_mask regular expressions, each line of a configuration matched on its own (^ and $
    are a line's ends); ValueError naming the one that is not a regular expression."""
    masks = []
    for pattern in patterns or []:
        try:
            masks.append(re.compile(pattern, re.MULTILINE))
        except re.error as error:
            raise ValueError('diff_mask: %r is no regular expression: %s' % (pattern, error))
    return masks


def _mask_groups(match):
    """The match with each of its groups that took part replaced by MASK."""
    text = match.group(0)
    start = match.start(0)
    pieces = []
    done = 0
    for group in range(1, (match.re.groups or 0) + 1):
        if match.start(group) < 0 or match.start(group) - start < done:
            continue  # not part of this match, or inside a group already masked
        pieces.extend([text[done:match.start(group) - start], MASK])
        done = match.end(group) - start
    pieces.append(text[done:])
    return ''.join(pieces)


def mask_secrets(text, masks):
    """TEXT with what each mask matches hidden: the groups of a mask that has groups (so
    'password\\s*=\\s*(\\S+)' keeps the key and hides its value), else the whole match."""
    for mask in masks:
        text = mask.sub(_mask_groups if mask.groups else (lambda match: MASK), text)
    return text


def configuration_diff(before, after, before_header, after_header, masks=()):
    """The diff of two configuration texts for --diff, secrets masked, as a prepared unified diff.

    Prepared rather than as before and after texts: the desired configuration is a no_log value,
    which Ansible would blank out of the result wherever it appears whole; the lines of a diff,
    each marked, show it.
    """
    masked_before = mask_secrets(before, masks)
    masked_after = mask_secrets(after, masks)
    header = '--- before: %s\n+++ after: %s\n' % (before_header, after_header)
    if masked_before == masked_after:
        return dict(prepared=header + '(the configurations differ in masked parts only)\n')
    lines = []
    for line in difflib.unified_diff(masked_before.splitlines(True), masked_after.splitlines(True),
                                     'before: ' + before_header, 'after: ' + after_header):
        lines.append(line if line.endswith('\n') else line + '\n\\ No newline at end of file\n')
    return dict(prepared=''.join(lines))
