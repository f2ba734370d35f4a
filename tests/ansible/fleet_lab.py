#!/usr/bin/python3
"""The tarvino.fleet collection end to end: an office runs ansible-playbook over real OpenSSH to two
sites, each a host running sshd and tarvino-cli beside its own simulated device segment.

  tvfleet-office  198.19.250.1/30 to site 1, 198.19.250.5/30 to site 2 (nothing else)
  tvfleet-site1   198.19.250.2/30 to the office, 198.18.0.1/16 on its device segment
  tvfleet-dev1    the devices of site 1: 198.18.1.1 upward (tarvino-devsim)
  tvfleet-site2, tvfleet-dev2  the same for site 2 (its own 198.18.0.0/16: sites do not see
                  each other, as real sites do not)

Nothing is routed between the namespaces and none has a link to the machine's own network. sshd
gets a host key and an authorized key made here for this run. The simulators' journals prove
what the devices received.

Runs: the collection built and installed with ansible-galaxy (offline); ansible-doc of every module;
the example playbook's syntax; the playbook in check mode with --diff (plans and diffs reported,
nothing changed on any device); the real run (both sites changed, the device whose bus is silent
reported and the others done); the same run again (changed=0 everywhere).
"""

import argparse
import glob
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ANSIBLE_PLAYBOOK = '/usr/bin/ansible-playbook'
ANSIBLE_DOC = '/usr/bin/ansible-doc'
ANSIBLE_GALAXY = '/usr/bin/ansible-galaxy'
SSHD = '/usr/sbin/sshd'
MODULES = ('devices', 'config', 'backup', 'firmware')
OFFICE = 'tvfleet-office'

# Site name: (its namespace, its devices' namespace, office side, site side, devsim seed, faults).
SITES = {
    'site1': ('tvfleet-site1', 'tvfleet-dev1', '198.19.250.1', '198.19.250.2', 1, ['198.18.1.3:silent@52390']),
    'site2': ('tvfleet-site2', 'tvfleet-dev2', '198.19.250.5', '198.19.250.6', 2, []),
}
# The devices' types, the same at both sites; the library has images for the second type only.
P4 = 'Palimor P4-S'
P3 = 'Palimor P3'
TYPES = {'198.18.1.1': P4, '198.18.1.2': P3, '198.18.1.3': P3}
BOARD_IMAGE = ('p3-board-3.4.1.bin', 'board', '3.4.1', 4096)
CONTROLLER_IMAGE = ('p3-controller-2.4.bin', 'controller', '2.4', 1024)
# A device site 1's site file lists and its network lacks.
MISSING_AT = 'site1'
MISSING = ['Pump-9,198.18.1.9,00:50:c2:aa:bb:09,Palimor P3']
SITE_SEGMENT = '198.18.0.1/16'
DEVICES_PER_SITE = 3
SILENT_BUS = ('site1', '198.18.1.3')

# What on the wire changes a device: a bus block write, the configuration write's begin and end,
# update mode, SystemUpgrade (command 11), an FTP upload.
WRITE_BLOCK = 0x6F
CHANGING_SUBS = (0xD0, 0xD1, 0xFE)
SYSTEM_UPGRADE = 11


class Failure(Exception):
    pass


def check(condition, text):
    if not condition:
        raise Failure(text)


def run(command, **kwargs):
    return subprocess.run(command, check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=kwargs.pop('timeout', 60), **kwargs)


def ns_run(ns, command, **kwargs):
    return run(['ip', 'netns', 'exec', ns] + command, **kwargs)


class Lab:
    """The five namespaces and what runs in them, all removed at the end (processes by id)."""

    def __init__(self, work):
        self.work = work
        self.processes = []
        self.namespaces = []

    def namespace(self, name):
        if os.path.exists('/run/netns/' + name):
            subprocess.run(['ip', 'netns', 'delete', name], check=False)
        run(['ip', 'netns', 'add', name])
        self.namespaces.append(name)
        run(['ip', '-n', name, 'link', 'set', 'lo', 'up'])
        ns_run(name, ['sysctl', '-qw', 'net.ipv6.conf.all.disable_ipv6=1', 'net.ipv6.conf.default.disable_ipv6=1',
                      'net.ipv4.ip_forward=0'])

    def link(self, ns_a, name_a, address_a, ns_b, name_b, address_b):
        run(['ip', '-n', ns_a, 'link', 'add', name_a, 'type', 'veth', 'peer', 'name', name_b, 'netns', ns_b])
        for ns, name, address in ((ns_a, name_a, address_a), (ns_b, name_b, address_b)):
            if address:
                run(['ip', '-n', ns, 'addr', 'add', address, 'dev', name])
            run(['ip', '-n', ns, 'link', 'set', name, 'up'])

    def start(self, ns, command, log, ready=None):
        output = open(log, 'w')
        process = subprocess.Popen(['ip', 'netns', 'exec', ns] + command, stdout=output, stderr=subprocess.STDOUT)
        self.processes.append(process)
        if ready:
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline:
                with open(log) as text:
                    if ready in text.read():
                        return process
                check(process.poll() is None, '%s ended at start: %s' % (command[0], open(log).read()[-2000:]))
                time.sleep(0.05)
            raise Failure('%s did not get ready: %s' % (command[0], open(log).read()[-2000:]))
        return process

    def close(self):
        for process in self.processes:
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
        for process in self.processes:
            try:
                process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        for name in reversed(self.namespaces):
            subprocess.run(['ip', 'netns', 'delete', name], check=False)


def make_keys(work):
    keys = {}
    run(['ssh-keygen', '-q', '-t', 'ed25519', '-N', '', '-C', 'tarvino fleet lab office', '-f',
         os.path.join(work, 'office_key')])
    shutil.copyfile(os.path.join(work, 'office_key.pub'), os.path.join(work, 'authorized_keys'))
    known = []
    for site, (ns, dev_ns, office_ip, site_ip, seed, faults) in SITES.items():
        key = os.path.join(work, site, 'host_key')
        run(['ssh-keygen', '-q', '-t', 'ed25519', '-N', '', '-C', 'tarvino fleet lab ' + site, '-f', key])
        with open(key + '.pub') as public:
            known.append('%s %s' % (site_ip, public.read().strip()))
        keys[site] = key
    with open(os.path.join(work, 'known_hosts'), 'w') as text:
        text.write('\n'.join(known) + '\n')
    return keys


def sshd_config(work, site, site_ip, host_key):
    path = os.path.join(work, site, 'sshd_config')
    with open(path, 'w') as text:
        text.write('\n'.join([
            'ListenAddress %s:22' % site_ip,
            'HostKey %s' % host_key,
            'AuthorizedKeysFile %s' % os.path.join(work, 'authorized_keys'),
            'PidFile %s' % os.path.join(work, site, 'sshd.pid'),
            'PermitRootLogin prohibit-password',
            'PasswordAuthentication no',
            'KbdInteractiveAuthentication no',
            'UsePAM no',
            'StrictModes no',
            'Subsystem sftp internal-sftp',
            '']))
    return path


def write_inventory(work, cli):
    empty = os.path.join(work, 'empty')
    open(empty, 'w').close()
    lines = ['[sites]']
    for site, (ns, dev_ns, office_ip, site_ip, seed, faults) in SITES.items():
        home = os.path.join(work, site, 'home')
        environment = json.dumps({'HOME': home, 'XDG_DATA_HOME': home + '/data', 'XDG_CACHE_HOME': home + '/cache',
                                  'XDG_CONFIG_HOME': home + '/config'})
        lines.append("%s ansible_host=%s site_library=%s site_backups=%s site_snapshots=%s site_file=%s "
                     "site_environment='%s'" % (site, site_ip, os.path.join(work, site, 'library'),
                                                os.path.join(work, site, 'previous'), os.path.join(work, site, 'snapshots'),
                                                os.path.join(work, site, 'site.csv'), environment))
    lines += [
        '[sites:vars]',
        'ansible_user=root',
        'ansible_python_interpreter=/usr/bin/python3',
        'ansible_ssh_private_key_file=%s' % os.path.join(work, 'office_key'),
        # An empty configuration file of its own: none of the machine's ssh settings or known hosts.
        "ansible_ssh_common_args='-F %s -o UserKnownHostsFile=%s -o GlobalKnownHostsFile=%s "
        "-o StrictHostKeyChecking=yes'" % (empty, os.path.join(work, 'known_hosts'), empty),
        'tarvino_cli=%s' % cli,
        'office_snapshots=%s' % os.path.join(work, 'office', 'snapshots'),
        '']
    path = os.path.join(work, 'inventory')
    with open(path, 'w') as text:
        text.write('\n'.join(lines))
    return path


def make_site_file(devsim, seed, folder, extra):
    """The site file: the site's simulated devices as tarvino-devsim lists them, and EXTRA (devices
    the site should have and has not)."""
    listed = run([devsim, '--devices', str(DEVICES_PER_SITE), '--seed', str(seed), '--list']).stdout
    lines = ['name,ip,mac,type']
    for line in listed.splitlines():
        ip, name, generated_type, record = line.split('\t')
        mac = ':'.join(record[-12:][i:i + 2] for i in range(0, 12, 2))
        lines.append('%s,%s,%s,%s' % (name, ip, mac, TYPES[ip]))
    lines += extra
    with open(os.path.join(folder, 'site.csv'), 'w') as text:
        text.write('\n'.join(lines) + '\n')


def make_library(ns, cli, folder):
    """The site's firmware library: a board and a controller image for Palimor P3 (tarvino-cli library
    add, in the site's namespace: it sends nothing to any device)."""
    images = os.path.join(folder, 'images')
    os.makedirs(images)
    for name, component, version, size in (BOARD_IMAGE, CONTROLLER_IMAGE):
        path = os.path.join(images, name)
        with open(path, 'wb') as image:
            image.write(bytes((i * 7 + len(name)) & 0xFF for i in range(size)))
        ns_run(ns, [cli, 'library', 'add', path, '--component', component, '--type', P3, '--version', version,
                    '--library', os.path.join(folder, 'library')], env=dict(os.environ, HOME=os.path.join(folder, 'home')))


class Office:
    def __init__(self, work, collection):
        self.work = work
        self.home = os.path.join(work, 'office')
        os.makedirs(os.path.join(self.home, 'snapshots'), exist_ok=True)
        self.environment = dict(os.environ, HOME=self.home, ANSIBLE_COLLECTIONS_PATH=os.path.join(work, 'collections'),
                                ANSIBLE_LOCAL_TEMP=os.path.join(self.home, 'tmp'), ANSIBLE_PIPELINING='true',
                                ANSIBLE_SSH_CONTROL_PATH_DIR=os.path.join(self.home, 'cp'),
                                ANSIBLE_REMOTE_TEMP='/tmp/.tvfleet-ansible', ANSIBLE_NOCOLOR='1',
                                ANSIBLE_STDOUT_CALLBACK='fleet_json',
                                ANSIBLE_CALLBACK_PLUGINS=os.path.join(HERE, 'callback_plugins'), ANSIBLE_HOST_KEY_CHECKING='true',
                                ANSIBLE_RETRY_FILES_ENABLED='false', ANSIBLE_FORCE_COLOR='0',
                                PYTHONDONTWRITEBYTECODE='1')
        for variable in ('PYTHONPATH', 'PYTHONHOME', 'VIRTUAL_ENV'):
            self.environment.pop(variable, None)
        self.install(collection)

    def install(self, collection):
        """The collection as a user gets it: built into its archive and installed from that file (offline)."""
        run([ANSIBLE_GALAXY, 'collection', 'build', collection, '--output-path', self.work], env=self.environment)
        archive, = glob.glob(os.path.join(self.work, 'tarvino-fleet-*.tar.gz'))  # whatever galaxy.yml's version
        run([ANSIBLE_GALAXY, 'collection', 'install', '--offline', '-p', os.path.join(self.work, 'collections'), archive],
            env=self.environment)

    def syntax_check(self, collection):
        examples = os.path.join(collection, 'examples')
        done = subprocess.run([ANSIBLE_PLAYBOOK, '--syntax-check', '-i', os.path.join(examples, 'inventory.yml'),
                               os.path.join(examples, 'site.yml')], env=dict(self.environment, ANSIBLE_STDOUT_CALLBACK='default'),
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True, timeout=60)
        check(done.returncode == 0, 'the example playbook does not pass --syntax-check: ' + done.stdout[-2000:])

    def playbook(self, inventory, *options):
        command = ['ip', 'netns', 'exec', OFFICE, ANSIBLE_PLAYBOOK, '-i', inventory, '-f', '2',
                   os.path.join(HERE, 'fleet_lab.yml')] + list(options)
        started = time.monotonic()
        done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
                              env=self.environment, timeout=240)
        seconds = time.monotonic() - started
        try:
            report = json.loads(done.stdout)
        except ValueError:
            raise Failure('ansible-playbook %s wrote no JSON report (exit %d): %s %s'
                          % (' '.join(options), done.returncode, done.stdout[-3000:], done.stderr[-3000:]))
        run = PlaybookRun(report, done.returncode, seconds, done.stderr)
        for task in run.report['plays'][0]['tasks']:
            times = ['%s %.1f s' % (host, result.get('seconds', 0)) for host, result in sorted(task['hosts'].items())]
            print('  %-50s %s' % (task['task']['name'], ' '.join(times)))
        return run

    def doc(self):
        done = subprocess.run([ANSIBLE_DOC, '--json'] + ['tarvino.fleet.' + m for m in MODULES], env=self.environment,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=60)
        check(done.returncode == 0, 'ansible-doc failed: ' + done.stderr[-2000:])
        return json.loads(done.stdout)


class PlaybookRun:
    def __init__(self, report, rc, seconds, stderr):
        self.report, self.rc, self.seconds, self.stderr = report, rc, seconds, stderr

    def task(self, name, host):
        for play in self.report['plays']:
            for task in play['tasks']:
                if task['task']['name'] == name:
                    check(host in task['hosts'], 'task %r did not run on %s' % (name, host))
                    return task['hosts'][host]
        raise Failure('no task %r in the report' % name)

    def tasks(self):
        return [task['task']['name'] for play in self.report['plays'] for task in play['tasks']]

    def stats(self, host):
        return self.report['stats'][host]


class Journal:
    """What the simulated devices of one site received, read from the point last marked."""

    def __init__(self, path):
        self.path = path
        self.offset = 0

    def mark(self):
        self.offset = os.path.getsize(self.path) if os.path.exists(self.path) else 0

    def since_mark(self):
        with open(self.path) as text:
            text.seek(self.offset)
            return [json.loads(line) for line in text if line.strip()]


def changing_requests(entries):
    changing = []
    for entry in entries:
        if entry.get('event') == 'state' or entry.get('refused') or entry.get('ignored'):
            continue
        if entry.get('fn') == WRITE_BLOCK or entry.get('cmd') == SYSTEM_UPGRADE:
            changing.append(entry)
        elif entry.get('fn') == 0x64 and entry.get('sub') in CHANGING_SUBS:
            changing.append(entry)
        elif str(entry.get('ftp', '')).upper().startswith('STOR'):
            changing.append(entry)
    return changing


def configuration_writes(entries):
    """The devices that stored a configuration (the end of a configuration write)."""
    return sorted(set(e['device'] for e in entries if e.get('fn') == 0x64 and e.get('sub') == 0xD1
                      and not e.get('refused') and 'configurationLength' in e))


def p3_devices():
    return sorted(ip for ip in TYPES if TYPES[ip] == P3)


def firmware_sent(entries):
    """The devices that received a board image (an FTP upload) or took a controller image (update mode)."""
    board = sorted(set(e['device'] for e in entries if str(e.get('ftp', '')).upper().startswith('STOR')))
    controller = sorted(set(e['device'] for e in entries if e.get('fn') == 0x64 and e.get('sub') == 0xFE
                            and not e.get('refused')))
    return board, controller


def check_docs(office):
    docs = office.doc()
    for module in MODULES:
        entry = docs.get('tarvino.fleet.' + module)
        check(entry and entry.get('doc', {}).get('options'), 'ansible-doc shows no options for ' + module)
        check('targets' in entry['doc']['options'], module + ': the selection options are missing from its doc')
        check(entry.get('examples') and entry.get('return'), module + ': examples or return values missing')


def check_run(office, inventory, journals, sites_devices):
    journals_mark = [journal.mark() for journal in journals.values()]
    del journals_mark
    result = office.playbook(inventory, '--check', '--diff')
    print('check run: %.1f s' % result.seconds)
    for site in SITES:
        listed = result.task('The devices of the site', site)
        check(not listed.get('failed') and listed['count'] == DEVICES_PER_SITE
              and sorted(d['ip'] for d in listed['devices']) == sorted(TYPES),
              '%s: devices listed %r' % (site, listed.get('msg') or listed.get('devices')))
        missing = [d['name'] for d in listed['missing']]
        check(missing == (['Pump-9'] if site == MISSING_AT else []) and not listed['unexpected'],
              '%s: missing %r, unexpected %r' % (site, missing, listed['unexpected']))
        config = result.task("The site's configuration on its controllers", site)
        check(config.get("changed"), "%s: check mode reported no configuration change: %r" % (site, config))
        would = [d for d in config['devices'] if d['result'] == 'would change']
        check(len(config.get('diff', [])) == len(would) and would, '%s: one diff per controller that would change' % site)
        for diff in config['diff']:
            check('name = %s\n' % site in diff.get('prepared', '') and '\n+' in diff['prepared'],
                  '%s: the diff does not show the site configuration: %r' % (site, diff))
        if site == SILENT_BUS[0]:
            failed = [d for d in config['devices'] if d['result'] == 'failed']
            check(config.get('failed') and [d['ip'] for d in failed] == [SILENT_BUS[1]],
                  '%s: the silent controller is not the one reported failed: %r' % (site, config['devices']))
        firmware = result.task("Firmware from the site's library", site)
        planned = sorted((d['ip'], d['component'], d['result']) for d in firmware['devices'])
        expected = sorted([(ip, component, 'would upgrade') for ip in p3_devices() for component in ('board', 'controller')]
                          + [(ip, component, 'skipped') for ip in TYPES if TYPES[ip] == P4
                             for component in ('board', 'controller')])
        check(firmware.get('changed') and not firmware.get('failed') and planned == expected,
              '%s: the plan %r, expected %r' % (site, planned, expected))
        versions = firmware.get('diff', {})
        check(all('%s (' % ip in versions.get('after', '') for ip in p3_devices())
              and versions['after'].count(': ' + BOARD_IMAGE[2]) == len(p3_devices()),
              '%s: the diff of the planned versions: %r' % (site, versions))
        changed = journals[site].since_mark()
        check(not changing_requests(changed), '%s: check mode sent changing requests: %r'
              % (site, changing_requests(changed)[:3]))
    return result


def real_run(office, inventory, journals):
    for journal in journals.values():
        journal.mark()
    result = office.playbook(inventory)
    print('real run: %.1f s' % result.seconds)
    for site in SITES:
        entries = journals[site].since_mark()
        firmware = result.task("Firmware from the site's library", site)
        board, controller = firmware_sent(entries)
        upgraded = sorted((d['ip'], d['component']) for d in firmware['devices'] if d['result'] == 'upgraded')
        reachable = [ip for ip in p3_devices() if (site, ip) != SILENT_BUS]
        check(upgraded == sorted((ip, c) for ip in reachable for c in ('board', 'controller')),
              '%s: upgraded %r' % (site, upgraded))
        check(board == reachable and controller == reachable,
              '%s: images reached %r (board) and %r (controller), only %r should have' % (site, board, controller, reachable))
        if site == SILENT_BUS[0]:
            check(firmware.get('failed') and firmware['failed_devices'] == [SILENT_BUS[1]],
                  '%s: the firmware task did not report the silent controller: %r' % (site, firmware.get('msg')))
        else:
            check(not firmware.get('failed'), '%s: firmware failed: %r' % (site, firmware.get('msg')))
        config = result.task("The site's configuration on its controllers", site)
        written = configuration_writes(entries)
        expected = sorted(d['ip'] for d in config['devices'] if d['result'] == 'changed')
        check(config.get('changed') and written == expected and expected,
              '%s: controllers written %r, reported changed %r' % (site, written, expected))
        for device in config['devices']:
            if device['result'] == 'changed':
                check(os.path.isfile(device.get('backup_file', '')), '%s: no previous configuration kept for %s'
                      % (site, device['ip']))
        if site == SILENT_BUS[0]:
            check(config.get('failed') and SILENT_BUS[1] in config['failed_devices']
                  and SILENT_BUS[1] not in written and len(written) == DEVICES_PER_SITE - 1,
                  '%s: the silent controller: failed %r, written %r' % (site, config.get('failed_devices'), written))
            check(SILENT_BUS[1] in config['msg'], 'the failure message does not name the silent controller')
        else:
            check(not config.get('failed') and len(written) == DEVICES_PER_SITE, '%s: %r' % (site, config))
        backup = result.task('A snapshot of every controller at the office', site)
        fetched = backup.get('fetched', [])
        for path in fetched:
            with open(path) as snapshot:
                check('name = %s' % site in snapshot.read(), '%s: the fetched snapshot %s is not the new configuration'
                      % (site, path))
        kept = len(written)
        check(len(fetched) == kept, '%s: %d snapshots fetched, %d controllers answered' % (site, len(fetched), kept))
    return result


def second_run(office, inventory):
    result = office.playbook(inventory)
    print('second run: %.1f s' % result.seconds)
    for site in SITES:
        check(result.stats(site)['changed'] == 0, '%s: the second run changed %d tasks'
              % (site, result.stats(site)['changed']))
        config = result.task("The site's configuration on its controllers", site)
        check(all(d['result'] in ('unchanged', 'failed') for d in config['devices']), '%s: %r' % (site, config))
        firmware = result.task("Firmware from the site's library", site)
        check(not any(d['result'] == 'upgraded' for d in firmware['devices']), '%s: %r' % (site, firmware))
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--cli', required=True)
    parser.add_argument('--devsim', required=True)
    parser.add_argument('--collection', required=True)
    parser.add_argument('--keep', action='store_true', help='keep the work folder (its path is printed)')
    args = parser.parse_args()
    if os.geteuid() != 0:
        print('SKIP: needs root (network namespaces)')
        return 0

    work = tempfile.mkdtemp(prefix='tvfleet-')
    lab = Lab(work)
    started = time.monotonic()
    made_sshd_dir = not os.path.isdir('/run/sshd')
    try:
        if made_sshd_dir:
            os.makedirs('/run/sshd', 0o755)  # sshd's privilege separation folder
        for site in SITES:
            os.makedirs(os.path.join(work, site, 'home'))
        keys = make_keys(work)
        lab.namespace(OFFICE)
        journals = {}
        for number, (site, (ns, dev_ns, office_ip, site_ip, seed, faults)) in enumerate(SITES.items(), 1):
            lab.namespace(ns)
            lab.namespace(dev_ns)
            lab.link(OFFICE, 'to-%s' % site, office_ip + '/30', ns, 'office0', site_ip + '/30')
            lab.link(ns, 'lab0', SITE_SEGMENT, dev_ns, 'lab0', None)
            run(['ip', '-n', ns, 'route', 'add', '255.255.255.255/32', 'dev', 'lab0'])
            batch = ''.join('address add 198.18.1.%d/16 dev lab0\n' % (i + 1) for i in range(DEVICES_PER_SITE))
            run(['ip', '-n', dev_ns, '-batch', '-'], input=batch)
            journal = os.path.join(work, site, 'journal.jsonl')
            command = [args.devsim, '--devices', str(DEVICES_PER_SITE), '--seed', str(seed), '--journal', journal,
                       '--broadcast-prefix', '16', '--restart-ms', '3000']
            for fault in faults:
                command += ['--fault', fault]
            for address, device_type in TYPES.items():
                command += ['--type', '%s=%s' % (address, device_type)]
            lab.start(dev_ns, command, os.path.join(work, site, 'devsim.log'), ready='ready')
            journals[site] = Journal(journal)
            lab.start(ns, [SSHD, '-D', '-e', '-f', sshd_config(work, site, site_ip, keys[site])],
                      os.path.join(work, site, 'sshd.log'), ready='Server listening')
            make_library(ns, args.cli, os.path.join(work, site))
            make_site_file(args.devsim, seed, os.path.join(work, site), MISSING if site == MISSING_AT else [])
        inventory = write_inventory(work, args.cli)
        office = Office(work, os.path.abspath(args.collection))

        check_docs(office)
        office.syntax_check(os.path.abspath(args.collection))
        check_run(office, inventory, journals, None)
        real_run(office, inventory, journals)
        second_run(office, inventory)
        print('fleet lab: passed in %.1f s' % (time.monotonic() - started))
        return 0
    except (Failure, subprocess.CalledProcessError, subprocess.TimeoutExpired) as error:
        print('FAIL: %s' % error, file=sys.stderr)
        if isinstance(error, subprocess.CalledProcessError):
            print(error.stderr, file=sys.stderr)
        return 1
    finally:
        lab.close()
        if made_sshd_dir:
            shutil.rmtree('/run/sshd', ignore_errors=True)
        if args.keep:
            print('work folder: ' + work)
        else:
            shutil.rmtree(work, ignore_errors=True)
        shutil.rmtree('/tmp/.tvfleet-ansible', ignore_errors=True)


if __name__ == '__main__':
    sys.exit(main())
