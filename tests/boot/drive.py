#!/usr/bin/env python3
"""drive.py: the host half of the boot test.

Usage: drive.py --log-dir DIR --qmp SOCKET -- QEMU-COMMAND...

Starts QEMU, reads the guest's serial line, reads the LPT1 data register
through QMP every 25 ms, and goes through the checks in order: the switch at
boot and its journal line, the service's credentials, restart and crash,
Ctrl+C on tty8, a hung process and the watchdog, an upgrade, Scroll Lock on
tty8, F5 typed on tty8, a process stopped for 5 s and journald stopped
while entries switch, a refused re-read and the status line, Escape typed
on tty8, the port appearing, the port's modules loaded as the start
begins, a timetable with a refused line, a wrong port, removal and purge.
Then it boots the same system on the same machine without its parallel
port: the boot must not wait long for it, and the service must say why it
did not run. A third boot, again without the port, has a USB relay board
plugged in at boot (bench.relay): the service drives it from boot, gets it
back after an unplug, and is started by a board plugged in; with the journal
and the service's state folder on a disk (bench.disk), that boot ends in a
power cut a few seconds after two switchings, and a fourth boot follows:
from the disk alone the host draws the week as switched, the switchings
before the cut made, the cut and the poweroff at the end told apart. Commands reach the guest through its bench agent on the serial
line; keys through QMP's sendkey, as from the machine's keyboard. Exit
status 0 only when every check passed.
"""
import argparse
import base64
import ctypes
import os
import queue
import re
import shlex
import shutil
import signal
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'qemu'))
from drive import LPT1, RELAYS_AFTER, Monitor, board_log, hexes, sample_lpt1, transitions  # noqa: E402  the LPT1 bench's QMP client and board logs

PRESET = 0x5A           # never written by the program: its first write shows
BOOT_LIMIT_S = 300      # TCG on two shared cores: a cold page cache, a busy host
SWITCH_LATE_S = 0.6     # one 300 ms pass, and the emulation's slack
CLOCK_SLACK_S = 0.05
KEY_LATE_S = 1.0        # from sendkey to the port following the re-read
HOLD_S = 1.5            # the port is watched this long where it must not change
UPGRADE_LEAD_S = 30     # entry ahead of the upgrade: dpkg -i and the restart took 13-17 s under TCG
SCROLL_GAP_S = 8        # the next entry, with tty8 stopped meanwhile
NO_STALL_S = 45         # the program's own wait for a missing port costs 10 s; one for the device, its 90 s timeout
WATCHDOG_LIMIT_S = 60   # WatchdogSec=15s, RestartSec=2s and a start under TCG: about 18 s
STOP_LEAD_S = 8         # from the edit to the 5 s stop: F5 and the port following it come first
KEPT_ENTRY_S = 18       # from the stop to the entry that must outlive a refused re-read
LATE_BY_S = (2.0, 6.0)  # the entry in force 2 s into the 5 s stop: recorded late by about 3 s
ESCAPE_GAP_S = 0.3      # a second Escape this soon after the first, as a person answers the question
CUT_AFTER_S = 4         # the power cut this long after the last switching: journald has not written it
REPLUG_LATE_S = 1.0     # from a relay board's return to the state in force on it
APPEAR_LIMIT_S = 10     # from a relay board plugged in to the stopped service running
RELAY_LOG = '/var/log/relay-board.log'  # guest/bench-relay.service's board
# journald with every socket that would start it again at the next datagram.
JOURNALD = 'systemd-journald.socket systemd-journald-dev-log.socket systemd-journald-audit.socket systemd-journald.service'
# Shell: sleeps until the given second of the guest's clock, and says when
# that second had already gone by, which would spoil what is measured.
UNTIL = ('until_s() { local w=$(( $1 * 1000 - $(date +%s%3N) )); '
         'if [ $w -gt 0 ]; then sleep $(( w / 1000 )).$(printf %03d $(( w % 1000 ))); '
         'elif [ $w -lt -200 ]; then echo "late $1 by ${w#-} ms"; fi; }; ')
# Appends one timetable line for each shell word "EPOCH VALUE" (the guest runs in UTC).
ENTRY_LINES = ('for e in %s; do set -- $e; echo "$(date -u -d @$1 "+%%a %%H:%%M:%%S") $2"; '
               'done >>/etc/weekswitch/week.txt; ')
# tty8 in front, and whether its output is stopped (Scroll Lock): KDGKBLED
# on tty8, whose lowest bit is that console's Scroll Lock.
TTY8_STATE = ('echo active=$(cat /sys/class/tty/tty0/active) stopped=$(perl -e \'open(my $t, "<", "/dev/tty8") '
              'or die "$!"; my $f = "\\0"; ioctl($t, 0x4B64, $f) or die "$!"; print ord($f) & 1\')')


class Guest:
    def __init__(self, qemu_cmd, qmp_path, log_dir, tag='', sample=True):
        self.log_dir = log_dir
        self.tag = tag          # of the log files: serial{tag}.log
        self.samples = []
        self.lines = queue.Queue()
        self.clock = []         # (guest time, host time)
        self.lock = threading.Lock()
        self.stop = threading.Event()
        self.agent_up = threading.Event()
        self.cmd_id = 0
        self.t0 = time.monotonic()
        libc = ctypes.CDLL(None, use_errno=True)
        self.err = open(os.path.join(log_dir, 'qemu-stderr%s.log' % tag), 'wb')
        self.proc = subprocess.Popen(qemu_cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=self.err, bufsize=0,
                                     preexec_fn=lambda: libc.prctl(1, signal.SIGKILL))
        self.mon = Monitor(qmp_path)
        self.threads = [threading.Thread(target=f, daemon=True)
                        for f in (self.read_serial, self.sample_port)[:2 if sample else 1]]
        for t in self.threads:
            t.start()

    def close(self):
        self.stop.set()
        if self.proc.poll() is None:
            try:
                with self.lock:
                    self.mon.hmp('quit')
            except (OSError, EOFError, RuntimeError, ValueError):
                pass
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        for t in self.threads:
            t.join(5)
        self.mon.close()
        self.err.close()

    def read_serial(self):
        raw = open(os.path.join(self.log_dir, 'serial%s.log' % self.tag), 'wb')
        buf = b''
        while True:
            chunk = os.read(self.proc.stdout.fileno(), 65536)
            if not chunk:
                break
            t = time.monotonic()
            raw.write(chunk)
            raw.flush()
            buf += chunk
            *parts, buf = re.split(rb'\r\n|\n|\r', buf)
            for part in parts:
                text = part.decode(errors='replace')
                m = re.search(r'(?:clock|now)=(\d+\.\d+)', text)
                if m and '@@' in text:
                    self.clock.append((float(m.group(1)), t))
                if '@@ AGENT' in text:
                    self.agent_up.set()
                self.lines.put((t, text))
        raw.close()
        self.lines.put((time.monotonic(), None))

    def sample_port(self):
        sample_lpt1(self.mon, self.lock, self.stop, self.samples)

    def hmp(self, command):
        with self.lock:
            return self.mon.hmp(command)

    def preset(self):
        with self.lock:  # no sample of the old value after this moment
            self.mon.hmp('o /b 0x%x 0x%x' % (LPT1, PRESET))
            return time.monotonic()

    def key(self, name):
        self.hmp('sendkey ' + name)
        return time.monotonic()

    def expect(self, pattern, timeout):
        """The first serial line matching pattern, as (host time, match), or None."""
        end = time.monotonic() + timeout
        while True:
            try:
                t, text = self.lines.get(timeout=max(0.01, end - time.monotonic()))
            except queue.Empty:
                return None
            if text is None:
                return None
            m = re.search(pattern, text)
            if m:
                return t, m

    def run(self, command, timeout=60):
        """Runs command in the guest; returns (status, output lines)."""
        self.cmd_id += 1
        cid = 'c%d' % self.cmd_id
        self.proc.stdin.write(('@cmd %s %s\n' % (cid, command)).encode())
        self.proc.stdin.flush()
        out = []
        end = time.monotonic() + timeout
        while True:
            got = self.expect(r'@@ (OUT|DONE) %s(?: |$)(.*)' % cid, max(0.01, end - time.monotonic()))
            if got is None:
                return None, out
            kind, rest = got[1].group(1), got[1].group(2)
            if kind == 'DONE':
                return int(re.search(r'rc=(\d+)', rest).group(1)), out
            out.append(rest)

    def host_time(self, guest):
        """Guest clock to host time: the serial line only ever delays a mark."""
        return guest + min(h - g for g, h in self.clock)

    def props(self, names, before='', timeout=60):
        """systemctl show of the service: {property: value}, after the shell
        command before (which may print lines of its own, returned too)."""
        rc, out = self.run('%s systemctl show -p %s weekswitch' % (before, ','.join(names)), timeout)
        got = dict(line.split('=', 1) for line in out if re.match(r'[A-Za-z]+=', line))
        return got, [line for line in out if not re.match(r'[A-Za-z]+=', line)]

    def port(self, t_from, t_to):
        return transitions(self.samples, t_from, t_to)

    def wait_until(self, t):
        while time.monotonic() < t:
            time.sleep(0.05)


class Checks:
    def __init__(self):
        self.failed = []

    def check(self, ok, name, detail=''):
        print('%s %s%s' % ('PASS' if ok else 'FAIL', name, (': ' + detail) if detail else ''))
        sys.stdout.flush()
        if not ok:
            self.failed.append(name)
        return ok


def steady(g, c, name, t_from, t_to, value):
    seq = g.port(t_from, t_to)
    return c.check([v for _, v, _ in seq] == [value], name,
                   'port %s from %.1f s to %.1f s' % (hexes(v for _, v, _ in seq), t_from - g.t0, t_to - g.t0))


def switched(g, c, name, t_from, in_force, values):
    """The port went through values from t_from on, the last change within
    one pass of in_force (host time)."""
    g.wait_until(in_force + HOLD_S)
    seq = g.port(t_from, time.monotonic())
    got = [v for _, v, _ in seq]
    late = seq[-1][0] - in_force if len(seq) > 1 else None
    return c.check(got == values and -CLOCK_SLACK_S <= late <= SWITCH_LATE_S, name,
                   'port %s, the change %s the entry coming into force' % (
                       hexes(got), 'missing at' if late is None else '%+.3f s from' % late))


def hms(epoch):
    """An entry's day and time as the timetable and the journal show it (UTC guest)."""
    return time.strftime('%a %H:%M:%S', time.gmtime(epoch))


def journal(g, pattern):
    """The program's own records (not systemd's lines about the unit) that
    match the extended regular expression pattern."""
    return g.run('journalctl -b -u weekswitch -t weekswitch -o cat --no-pager | grep -E %s' % shlex.quote(pattern))[1]


def copy_journal(g, folder):
    """The guest's journal files (under /var/log/journal once journald has
    flushed to it, else under /run/log/journal) copied to folder on the host
    through the serial line; True when at least one arrived."""
    # journald goes on writing while tar reads: tar's "file changed as we
    # read it" on the shared line would be decoded as base64 and spoil the
    # whole copy. What tar took is whole up to the size it saw, which is all
    # a journal reader needs.
    rc, out = g.run('journalctl --sync; cd / && find var/log/journal run/log/journal -name "*.journal" 2>/dev/null '
                    '| tar --warning=no-file-changed -cf - -T - 2>/dev/null | gzip -1 | base64 -w 76', timeout=180)
    # A run before this one left its guest's files (another machine id) in
    # the same log folder: drawn with them, every record would count twice.
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    try:
        blob = base64.b64decode(''.join(out))
        subprocess.run(['tar', '-C', folder, '-xzf', '-'], input=blob, check=True)
    except (ValueError, subprocess.CalledProcessError):
        return False
    files = [f for _, _, names in os.walk(folder) for f in names if f.endswith('.journal')]
    print('    %d journal files, %d kB through the serial line' % (len(files), len(''.join(out)) * 3 // 4 // 1024))
    return rc == 0 and len(files) > 0


def week_actual(g, c, week_tool, entries, late_at, refused_f5):
    """The host draws the guest's record beside a plan of the entries the
    checks above switched (entries: (time, value)); what it says must be what
    the test did: the entry at late_at switched late, the ends, the refused
    F5s."""
    folder = os.path.join(g.log_dir, 'guest-journal')
    if not c.check(copy_journal(g, folder), 'the guest\'s journal copied to the host'):
        return
    plan = os.path.join(g.log_dir, 'plan.txt')
    with open(plan, 'w') as f:
        f.write(''.join('%s %d\n' % (hms(t), v) for t, v in entries))
    files = sorted(os.path.join(d, f) for d, _, names in os.walk(folder) for f in names if f.endswith('.journal'))
    res = subprocess.run([week_tool, '--week', '2026-12-07', plan] + [x for f in files for x in ('--file', f)],
                         capture_output=True,
                         text=True, env=dict(os.environ, TZ='UTC', LC_ALL='C', COLUMNS='120'))
    with open(os.path.join(g.log_dir, 'week-actual.txt'), 'w') as f:
        f.write(res.stdout + res.stderr)
    text = res.stdout
    events = re.findall(r'^  Mon \d\d:\d\d:\d\d  (.*)$', text.split('Events:')[-1].split('Differences')[0], re.M)
    ended = [e for e in events if e.startswith('Ended: ')]
    print('    weekswitch-week --actual on the guest\'s journal: %s' % ' | '.join(
        l for l in text.splitlines() if l.startswith(('Planned', 'Record:'))))
    print('    ends: ' + ', '.join(sorted(set('%s x%d' % (e, ended.count(e)) for e in ended))))
    first = '%s On' % hms(late_at)
    late = re.search(r'^  L Mon \S+  late by (\d+\.\d) s: %s, the program was held up$' % first, text, re.M)
    c.check(res.returncode == 0 and late is not None and LATE_BY_S[0] <= float(late.group(1)) <= LATE_BY_S[1],
            'drawn on the host, the record shows the switching late from the 5 s stop',
            late.group(0).strip() if late else 'status %d, no late %s' % (res.returncode, first))
    c.check(ended.count('Ended: signal SIGABRT') == 1 and ended.count('Ended: Escape key') == 1
            and ended.count('Ended: the timetable was refused (1 line)') == 1,
            'and its ends: the watchdog once, Escape once, the refused start once')
    c.check(sum(e.startswith('ERROR:  Re-read refused, the timetable in force stays') for e in events) == refused_f5,
            'and the refused F5, with the timetable in force kept')
    c.check('could not be read' not in text, 'and every record of the service could be read')


def scenario(g, c, found, week_tool=None):
    # 1. At boot: the sync puts the entry in force (off) over the preset, and
    # the "on" entry a few seconds ahead reaches the port within one pass.
    if not c.check(g.expect(r'@@ PRESET', BOOT_LIMIT_S) is not None, 'guest booted'):
        return
    preset_t = g.preset()
    got = g.expect(r'@@ TIMETABLE at=(\d+)', 30)
    if not c.check(got is not None, 'guest wrote the test timetable'):
        return
    print('    timetable written %.1f s after power-on' % (got[0] - g.t0))
    at = int(got[1].group(1))
    if not c.check(g.agent_up.wait(60), 'bench agent answers on the serial line'):
        return
    g.key('alt-f8')  # the service's console in front, for the keys and screen dumps
    # So far the guest's clock is known only from marks sent while it booted,
    # which the busy serial line can hold up by more than the slack allowed
    # (once 51 ms): a few marks from an idle guest first.
    for _ in range(3):
        g.run('true', 10)
    in_force = g.host_time(at + 1)
    g.wait_until(in_force + HOLD_S)
    seq = g.port(preset_t, time.monotonic())
    values = [v for _, v, _ in seq]
    if c.check(values == [PRESET, 0x00, 0xFF], 'sync at boot then the switch',
               'port went %s, expected %s; first write %+.2f s from the entry coming into force'
               % (hexes(values), hexes([PRESET, 0x00, 0xFF]), seq[1][0] - in_force if len(seq) > 1 else 0)):
        sync_t = seq[1][0]
        change_t, _, change_prev = seq[2]
        late = change_t - in_force
        c.check(sync_t < in_force and -CLOCK_SLACK_S <= late <= SWITCH_LATE_S, 'switch on time',
                'sync %.1f s before the entry came into force; change within (%+.3f, %+.3f] s of it'
                % (in_force - sync_t, change_prev - in_force, late))
    g.hmp('screendump %s/vt8-running.ppm' % g.log_dir)
    out = journal(g, '^(Started|In force|Switched):')
    print('    ' + '\n    '.join(out))
    c.check('Switched: %s On, port 0xFF' % hms(at) in out, 'the switch is in the journal with its entry\'s time')

    # 5. Credentials and open files of the running service, seen in /proc.
    rc, out = g.run('p=$(systemctl show -P MainPID weekswitch); echo pid=$p; '
                    'grep -E "^(Uid|Gid|Groups|CapInh|CapPrm|CapEff|CapBnd|CapAmb|NoNewPrivs|Seccomp):" /proc/$p/status; '
                    'for f in /proc/$p/fd/*; do echo "fd $(readlink $f)"; done; '
                    'echo sessions=$(who | wc -l)')
    print('    ' + '\n    '.join(out))
    st = dict(re.split(r':\s*', line, 1) for line in out if re.match(r'\w+:', line))
    fds = sorted(set(line[3:] for line in out if line.startswith('fd ')))
    ids = (st.get('Uid', '0') + ' ' + st.get('Gid', '0')).split()
    c.check(rc == 0 and '0' not in ids and len(ids) == 8, 'service runs without root', 'Uid %s Gid %s' % (st.get('Uid'), st.get('Gid')))
    # lp (7) for the port, plugdev (46) for a relay board: base-passwd's ids.
    c.check(set(st.get('Groups', '').split()) == {'7', '46', ids[4:5] and ids[4]}, 'only groups lp and plugdev besides its own',
            'Groups: %s' % st.get('Groups'))
    caps = [st.get(k) for k in ('CapInh', 'CapPrm', 'CapEff', 'CapBnd', 'CapAmb')]
    c.check(caps == ['0000000000000000'] * 5, 'no capabilities', str(caps))
    c.check(st.get('NoNewPrivs') == '1' and st.get('Seccomp') == '2', 'no new privileges, system call filter on',
            'NoNewPrivs %s Seccomp %s' % (st.get('NoNewPrivs'), st.get('Seccomp')))
    # The record on disk, and the pipe to the thread that writes it.
    allowed = {'/dev/tty8', '/dev/tty', '/dev/parport0', '/var/lib/private/weekswitch/record'}
    c.check('/dev/parport0' in fds and all(f in allowed or f.startswith(('socket:', 'pipe:')) for f in fds),
            'holds only the port, its console, the journal and its record on disk', ' '.join(fds))
    c.check('sessions=0' in out, 'nobody logged in')
    # The guest has no manuals to look up the man: link in.
    rc, out = g.run('systemd-analyze verify --man=no weekswitch.service')
    c.check(rc == 0 and not out, 'systemd-analyze verify is clean', ' | '.join(out))
    rc, out = g.run('systemd-analyze security weekswitch.service --no-pager | tail -1')
    print('    systemd-analyze security: %s' % ' '.join(out))
    # Enabled for the boot and for the target the port pulls in (run.sh
    # fails if enabling warned); when the boot was done, to compare with the
    # boot without a port.
    rc, out = g.run('cd /etc/systemd/system && ls -d */weekswitch.service; timeout 120 systemctl is-system-running --wait; '
                    'echo multiuser=$(systemctl show -P ActiveEnterTimestampMonotonic multi-user.target)')
    c.check(sorted(x for x in out if x.endswith('/weekswitch.service'))
            == ['multi-user.target.wants/weekswitch.service', 'weekswitch-port.target.wants/weekswitch.service'],
            'enabled by multi-user.target and by weekswitch-port.target, without a warning', ' '.join(out[:-1]))
    m = re.match(r'multiuser=(\d+)', out[-1] if out else '')
    if m:
        found['multi_user_s'] = int(m.group(1)) / 1e6
        print('    multi-user.target reached %.1f s after the kernel started' % found['multi_user_s'])

    # 4. Restart, then a crash: the "on" entry is in force, and a clearing of
    # the port anywhere on the way would show as 0x00.
    before = g.run('systemctl show -P MainPID weekswitch')[1]
    t1 = time.monotonic()
    rc, after = g.run('systemctl restart weekswitch && sleep 1 && systemctl show -P MainPID weekswitch')
    t2 = time.monotonic() + HOLD_S
    g.wait_until(t2)
    c.check(rc == 0 and after and after != before, 'systemctl restart starts a new process', '%s -> %s' % (before, after))
    steady(g, c, 'no wrong value on the port across the restart', t1, t2, 0xFF)
    t1 = time.monotonic()
    g.run('systemctl kill --signal=SIGSEGV weekswitch')
    p, _ = g.props(['ActiveState', 'NRestarts', 'MainPID'], 'sleep 4;')
    t2 = time.monotonic()
    c.check(p.get('ActiveState') == 'active' and p.get('NRestarts') == '1' and p.get('MainPID') not in after,
            'a crash starts it again', str(p))
    steady(g, c, 'no wrong value on the port across the crash', t1, t2, 0xFF)

    # 7. Keys that a terminal turns into signals are ordinary keys on tty8.
    pid = p.get('MainPID')
    t1 = time.monotonic()
    g.key('alt-f8')
    for k in ('ctrl-c', 'ctrl-backslash', 'ctrl-z'):
        g.key(k)
    p, _ = g.props(['ActiveState', 'MainPID', 'NRestarts'], 'sleep 2;')
    c.check(p == dict(ActiveState='active', MainPID=pid, NRestarts='1'),
            'Ctrl+C, Ctrl+\\ and Ctrl+Z on tty8 leave it running', str(p))
    steady(g, c, 'no wrong value on the port after those keys', t1, time.monotonic(), 0xFF)

    # A process that hangs, stopped here and left so, stops telling systemd
    # it is alive: the watchdog ends it and a new one starts, which puts the
    # entry in force over whatever the port got meanwhile (the preset).
    t1 = time.monotonic()
    rc, out = g.run('p=$(systemctl show -P MainPID weekswitch); kill -STOP $p && echo "$p $(date +%s%3N)"')
    hung, stopped_ms = (out + ['0 0'])[0].split()
    preset_t = g.preset()
    p, out = g.props(['ActiveState', 'MainPID', 'NRestarts'],
                     'for i in $(seq %d); do q=$(systemctl show -P MainPID weekswitch); '
                     '[ "$q" != 0 ] && [ "$q" != %s ] && systemctl -q is-active weekswitch && break; sleep 0.25; done; '
                     'echo $(( $(date +%%s%%3N) - %s )); journalctl -b -u weekswitch -o cat --no-pager | '
                     'grep -E "Watchdog timeout|Ended: signal|result .watchdog";'
                     % (WATCHDOG_LIMIT_S * 4, hung, stopped_ms), timeout=WATCHDOG_LIMIT_S + 30)
    g.wait_until(time.monotonic() + HOLD_S)
    print('    ' + '\n    '.join(out))
    took = int(out[0]) / 1e3 if out and out[0].isdigit() else None
    c.check(p.get('ActiveState') == 'active' and p.get('MainPID') not in ('0', hung, None) and p.get('NRestarts') == '2'
            and took is not None and took <= WATCHDOG_LIMIT_S,
            'the watchdog ends a stopped process and a new one starts',
            '%s, %s s after the stop' % (p, '%.1f' % took if took is not None else 'no answer'))
    c.check('Ended: signal SIGABRT' in out, 'the stopped process\'s end is in the journal')
    seq = g.port(t1, time.monotonic())
    c.check([v for _, v, _ in seq] == [0xFF, PRESET, 0xFF] and seq[-1][0] > preset_t,
            'the new process puts the entry in force back on the port',
            'port %s%s' % (hexes(v for _, v, _ in seq), ', %.1f s after the preset' % (seq[-1][0] - preset_t) if len(seq) > 2 else ''))
    pid = p.get('MainPID')

    # 1. An upgrade with the service running: restarted from the new files,
    # the edited timetable kept, and its next entry switched. Two entries
    # ahead: off, then on with tty8 stopped.
    t1 = time.monotonic()
    rc, out = g.run('e1=$(( $(date +%%s) + %d )); e2=$(( e1 + %d )); echo at=$e1 $e2; '
                    'for e in "$e1 0" "$e2 1"; do set -- $e; echo "$(date -u -d @$1 "+%%a %%H:%%M:%%S") $2"; '
                    'done >>/etc/weekswitch/week.txt; '
                    'dpkg -i /var/tmp/weekswitch-upgrade.deb >/dev/null 2>&1; echo dpkg=$?; '
                    "dpkg-query -W -f 'version=${Version}\\n' weekswitch; "
                    'echo state=$(systemctl is-active weekswitch); systemctl show -p MainPID,NRestarts weekswitch'
                    % (UPGRADE_LEAD_S, SCROLL_GAP_S), timeout=120)
    upgraded_t = time.monotonic()
    print('    ' + '\n    '.join(out))
    e1, e2 = (int(x) for x in re.search(r'at=(\d+) (\d+)', ' '.join(out) + ' at=0 0').groups())
    in1, in2 = g.host_time(e1 + 1), g.host_time(e2 + 1)
    print('    the upgrade took %.1f s, done %.1f s before the next entry came into force'
          % (upgraded_t - t1, in1 - upgraded_t))
    kv = dict(x.split('=', 1) for x in out if '=' in x)
    c.check(kv.get('dpkg') == '0' and kv.get('version', '').endswith('+upgrade') and kv.get('state') == 'active'
            and kv.get('MainPID') not in (None, pid), 'an upgrade restarts the running service', ' '.join(out))
    switched(g, c, 'after the upgrade the next entry switches on time', t1, in1, [0xFF, 0x00])

    # 3. Scroll Lock on tty8 stops its output; switching goes on regardless.
    g.key('alt-f8')
    g.key('scroll_lock')
    t1 = time.monotonic()
    rc, out = g.run(TTY8_STATE)
    c.check(out == ['active=tty8 stopped=1'], 'Scroll Lock stops the output of tty8', ' '.join(out))
    switched(g, c, 'with tty8 stopped the next entry switches on time', t1, in2, [0x00, 0xFF])
    g.key('scroll_lock')
    rc, out = g.run(TTY8_STATE)
    c.check(out == ['active=tty8 stopped=0'], 'Scroll Lock again lets tty8 go on', ' '.join(out))
    out = journal(g, '^Switched:')
    print('    ' + '\n    '.join(out[-2:]))
    c.check(out[-2:] == ['Switched: %s Off, port 0x00' % hms(e1), 'Switched: %s On, port 0xFF' % hms(e2)],
            'both switchings are in the journal with their entries\' times')
    g.hmp('screendump %s/vt8-scroll-lock.ppm' % g.log_dir)

    # 3. F5 on tty8 re-reads the edited timetable. The edit brings an entry
    # in force at once, and the entries ahead that the checks below switch.
    rc, out = g.run('w=$(date +%%s); s=$(( w + %d )); echo $s; ' % STOP_LEAD_S
                    + ENTRY_LINES % ('"$(( w - 1 )) 0" "$(( s + 1 )) 1" "$(( s + 5 )) 0" "$(( s + 8 )) 1" "$(( s + %d )) 0"'
                                     % KEPT_ENTRY_S))
    s = int((out + ['0'])[0])
    t1 = time.monotonic()
    g.wait_until(t1 + HOLD_S)
    g.key('alt-f8')
    key_t = g.key('f5')
    g.wait_until(key_t + KEY_LATE_S + 0.5)
    steady(g, c, 'an edit alone changes nothing', t1, key_t, 0xFF)
    seq = g.port(key_t, time.monotonic())
    c.check([v for _, v, _ in seq] == [0xFF, 0x00] and seq[1][0] - key_t <= KEY_LATE_S,
            'F5 re-reads the timetable and the port follows',
            'port %s%s' % (hexes(v for _, v, _ in seq), ', %.2f s after the key' % (seq[1][0] - key_t) if len(seq) > 1 else ''))
    g.hmp('screendump %s/vt8-reread.ppm' % g.log_dir)

    # The process stopped (SIGSTOP) for 5 s across the time of an entry,
    # which comes into force 2 s into the stop: switched when the process
    # goes on, recorded as late, and no restart (the watchdog allows 15 s).
    # Around that stop journald is down for 11 s, while that entry and the
    # next two switch. It is stopped with all its sockets: with the service
    # alone stopped, the next datagram to one of them (the program's next
    # record, say) starts it again at once. A SIGSTOP of journald would
    # leave the sockets open and the records waiting in the kernel; closed,
    # they refuse the records, which then wait in the program's own queue.
    pid = g.run('systemctl show -P MainPID weekswitch')[1]
    rc, out = g.run(UNTIL + 'until_s %d; systemctl stop %s; off=$(date +%%s%%3N); until_s %d; kill -STOP %s; '
                    'until_s %d; kill -CONT %s; until_s %d; systemctl start %s; echo "journald off $(( $(date +%%s%%3N) - off )) ms"'
                    % (s - 1, JOURNALD, s, ' '.join(pid), s + 5, ' '.join(pid), s + 10, JOURNALD), timeout=60)
    print('    ' + '\n    '.join(out))
    a_in, b_in, c_in = g.host_time(s + 2), g.host_time(s + 6), g.host_time(s + 9)
    seq = g.port(a_in - 1, c_in + HOLD_S)
    got = [v for _, v, _ in seq]
    late = [t - in_force for (t, _, _), in_force in zip(seq[1:], (a_in, b_in, c_in))]
    c.check(got == [0x00, 0xFF, 0x00, 0xFF] and all(-CLOCK_SLACK_S <= x <= SWITCH_LATE_S for x in late[1:])
            and not any(x.startswith('late') for x in out),
            'stopped and without journald the switching goes on: the next two entries on time',
            'port %s, the changes %s s from their entries coming into force' % (hexes(got), ' '.join('%+.3f' % x for x in late)))
    rc, out = g.run('for i in $(seq 40); do journalctl -b -u weekswitch -o cat --no-pager | grep -qF "Switched: %s" && break; '
                    'sleep 0.25; done; logger -t weekswitch-bench "journal back $$"; sleep 0.5; '
                    'journalctl -b -t weekswitch-bench -o cat --no-pager | grep -c "journal back $$"; '
                    'systemctl is-active %s | sort | uniq -c | sed "s/^ *//"; '
                    'echo $(systemctl show -P MainPID weekswitch) $(systemctl show -P NRestarts weekswitch)'
                    % (hms(s + 8), JOURNALD))
    print('    ' + '\n    '.join(out))
    c.check(out[:2] == ['1', '4 active'], 'journald and its sockets are back and the guest logs again', ' '.join(out))
    was = ' '.join(pid + [kv.get('NRestarts', '')])
    c.check(out[2:] == [was], 'the stop ended no process, none was restarted',
            'MainPID and NRestarts %s, were %s' % (' '.join(out[2:]), was))
    out = journal(g, '^Switched: (%s) ' % '|'.join((hms(s + 1), hms(s + 5), hms(s + 8))))
    print('    ' + '\n    '.join(out))
    m = re.match(r'Switched: %s On, port 0xFF, late by (\d+\.\d) s$' % hms(s + 1), out[0] if out else '')
    c.check(m is not None and LATE_BY_S[0] <= float(m.group(1)) <= LATE_BY_S[1],
            'the entry that came during the stop is recorded late by %g to %g s' % LATE_BY_S, out[0] if out else 'not in the journal')
    c.check(out[1:] == ['Switched: %s Off, port 0x00' % hms(s + 5), 'Switched: %s On, port 0xFF' % hms(s + 8)],
            'the switchings made without journald are in the journal')

    # F5 on a timetable with a refused line: the same process goes on with
    # the timetable in force, whose next entry still switches on time, and
    # the journal says why.
    g.run('echo "zz 12:00:00 1" >>/etc/weekswitch/week.txt')
    g.key('alt-f8')
    key_t = g.key('f5')
    kept_in = g.host_time(s + KEPT_ENTRY_S + 1)
    print('    F5 typed %.1f s before the next entry came into force' % (kept_in - key_t))
    switched(g, c, 'after F5 on a refused line the timetable in force switches on time', key_t, kept_in, [0xFF, 0x00])
    p, out = g.props(['ActiveState', 'MainPID', 'StatusText'],
                     'journalctl -b -u weekswitch -t weekswitch -o cat --no-pager | grep -E "^ERROR" | tail -2;')
    print('    ' + '\n    '.join(out))
    c.check(p.get('ActiveState') == 'active' and [p.get('MainPID')] == pid, 'a refused re-read leaves the same process running', str(p))
    c.check(out == ["ERROR:  Bad day:  'zz'",
                    "ERROR:  Re-read refused, the timetable in force stays:  '/etc/weekswitch/week.txt'"],
            'the refused line and the kept timetable are in the journal')
    status = 'In force: %s Off, port 0x00; next: Mon 00:00:00 Off' % hms(s + KEPT_ENTRY_S)
    c.check(p.get('StatusText') == status, 'systemctl status shows the entry in force and the next one',
            '%r, expected %r' % (p.get('StatusText'), status))

    # Escape on tty8 only asks; any other key takes the question back; only
    # a second Escape after it ends the service, for good.
    g.key('alt-f8')
    g.key('esc')
    p, out = g.props(['ActiveState', 'MainPID'], 'sleep 0.5; journalctl -b -u weekswitch -t weekswitch -o cat --no-pager | tail -1;')
    c.check(p.get('ActiveState') == 'active' and [p.get('MainPID')] == pid
            and out == ['Escape pressed: a second one within 5 s ends the switching'],
            'one Escape leaves it running and asks', '%s, %s' % (p, ' '.join(out)))
    g.key('spc')
    esc_t = g.key('esc')
    g.wait_until(esc_t + ESCAPE_GAP_S)
    g.key('esc')
    p, _ = g.props(['ActiveState', 'Result', 'ExecMainStatus', 'NRestarts'], 'sleep 3;')
    c.check(p == dict(ActiveState='inactive', Result='success', ExecMainStatus='0', NRestarts=kv.get('NRestarts')),
            'Escape twice ends the service and it stays ended', str(p))
    out = journal(g, '^(Escape|Ended)')
    print('    ' + '\n    '.join(out[-4:]))
    c.check(out[-4:] == ['Escape pressed: a second one within 5 s ends the switching',
                         'Escape not repeated (another key): switching goes on',
                         'Escape pressed: a second one within 5 s ends the switching', 'Ended: Escape key'],
            'the question, the key that took it back and the end are in the journal')
    steady(g, c, 'the port keeps its value after Escape', esc_t, time.monotonic(), 0x00)

    # 6. The port appearing starts the stopped service, as a module loaded or
    # a card added after boot would: ppdev unloaded and loaded again. Its
    # timetable holds today on (a dated day), the week off.
    t1 = time.monotonic()
    p, _ = g.props(['ActiveState', 'StatusText'], 'printf "mo 00:00:00 0\\n$(date +%F) 1\\n" >/etc/weekswitch/week.txt; '
                   'modprobe -r ppdev; sleep 1; echo before=$(systemctl is-active weekswitch); modprobe ppdev; '
                   'for i in $(seq 40); do systemctl -q is-active weekswitch && break; sleep 0.25; done;')
    g.wait_until(time.monotonic() + HOLD_S)
    seq = g.port(t1, time.monotonic())
    held = p.pop('StatusText', '')
    c.check(p == dict(before='inactive', ActiveState='active') and [v for _, v, _ in seq] == [0x00, 0xFF],
            'the port appearing starts the service', '%s, port %s' % (p, hexes(v for _, v, _ in seq)))
    c.check(held.startswith('In force: Mon 2026-12-07 00:00:00 On (held), port 0xFF; next: Mon 2026-12-14 00:00:00 Off'),
            'a date held on keeps the port on, and systemctl status says why', held)

    # The port's modules loaded only as the start begins, as when they load
    # late at boot: the start waits for the kernel's port and then its node.
    g.run('systemctl stop weekswitch; modprobe -r ppdev parport_pc')
    t1 = g.preset()
    p, _ = g.props(['ActiveState'], 'echo nodes=$(ls /dev/parport* 2>/dev/null | wc -l); t=$(date +%s%3N); '
                     'systemctl start weekswitch & sleep 1; modprobe -a parport_pc ppdev; wait $!; echo start=$?; '
                     'echo ms=$(( $(date +%s%3N) - t ));')
    g.wait_until(time.monotonic() + HOLD_S)
    seq = g.port(t1, time.monotonic())
    print('    systemctl start returned %.1f s after it began, the modules loaded 1 s after it began'
          % (int(p.get('ms') or 0) / 1e3))
    c.check(dict(p, ms=None) == dict(nodes='0', start='0', ActiveState='active', ms=None),
            'modules loaded as the start begins: the start waits for the port', str(p))
    c.check(len(seq) > 1 and seq[0][1] == PRESET and seq[-1][1] == 0xFF,
            'then the port gets the entry in force', 'port %s' % hexes(v for _, v, _ in seq))

    # 2. A refused line: the start fails, the line is in the journal, and the
    # port keeps the preset.
    g.run('systemctl stop weekswitch')
    t1 = g.preset()
    p, out = g.props(['ActiveState', 'Result'],
                     'printf "mo 00:00:00 1\\nxx 12:00:00 1\\n" >/etc/weekswitch/week.txt; '
                     'r=$(journalctl -b -u weekswitch -o cat --no-pager | grep -c "Scheduled restart job"); '
                     'systemctl start weekswitch 2>/dev/null; echo start=$?; sleep 3; '
                     'journalctl -b -u weekswitch -t weekswitch -o cat --no-pager | grep -E "Bad day|^Ended" | tail -2; '
                     'echo restarts=$(( $(journalctl -b -u weekswitch -o cat --no-pager | grep -c "Scheduled restart job") - r ));')
    t2 = time.monotonic()
    print('    ' + '\n    '.join(out))
    c.check(p == dict(start='1', restarts='0', ActiveState='failed', Result='exit-code'),
            'a refused line fails systemctl start, the service stays failed, no restart', str(p))
    c.check(out == ["ERROR:  Bad day:  'xx'", 'Ended: the timetable was refused (1 line)'],
            'the refused line and the end are in the journal')
    steady(g, c, 'the port is untouched by the refused start', t1, t2, PRESET)

    # 5. A wrong port through a drop-in: failed at once, the address in the
    # journal, the real port untouched.
    t1 = g.preset()
    p, _ = g.props(['ActiveState', 'Result', 'ExecMainStatus'],
                   'mkdir -p /etc/systemd/system/weekswitch.service.d; '
                   'printf "[Service]\\nExecStart=\\nExecStart=/usr/bin/weekswitch -port:0x278 /etc/weekswitch/week.txt\\n" '
                   '>/etc/systemd/system/weekswitch.service.d/port.conf; '
                   'echo "mo 00:00:00 1" >/etc/weekswitch/week.txt; systemctl daemon-reload; '
                   'systemctl restart weekswitch 2>/dev/null; echo restart=$?;')
    out = journal(g, '0x278')
    print('    ' + '\n    '.join(out))
    c.check(p.get('restart', '0') != '0' and dict(p, restart=None) == dict(ActiveState='failed', Result='exit-code',
                                                                          ExecMainStatus='255', restart=None),
            'a wrong port fails systemctl restart and the service', str(p))
    c.check(any('Cannot access port:  0x278' in x for x in out), 'the wrong address is in the journal')
    steady(g, c, 'the port is untouched with a wrong port', t1, time.monotonic(), PRESET)

    if week_tool:
        week_actual(g, c, week_tool, [(s, 0), (s + 1, 1), (s + 5, 0), (s + 8, 1), (s + KEPT_ENTRY_S, 0)], s + 1, 1)

    # 2. Removal stops the running service first. What the package installed
    # is listed before, for the purge.
    p, _ = g.props(['ActiveState'], 'rm -r /etc/systemd/system/weekswitch.service.d; systemctl daemon-reload; '
                   'systemctl start weekswitch; echo before=$(systemctl is-active weekswitch); '
                   'dpkg -L weekswitch | while read -r f; do [ -d "$f" ] || echo "$f"; done >/var/tmp/weekswitch.files; '
                   'dpkg -r weekswitch >/dev/null 2>&1; echo remove=$?; '
                   'echo left=$(grep -lx weekswitch /proc/[0-9]*/comm 2>/dev/null | wc -l);')
    c.check(p == dict(before='active', remove='0', left='0', ActiveState='inactive'),
            'dpkg -r stops the service, no weekswitch process left', str(p))

    # Purge: no file of the package is left, no user either; the folders it
    # shares with systemd stay.
    rc, out = g.run('dpkg --purge weekswitch >/dev/null 2>&1; echo purge=$?; '
                    'ls -d /etc/weekswitch /lib/systemd/system/weekswitch.service '
                    '/etc/systemd/system/*/weekswitch.service /var/lib/systemd/deb-systemd-helper-*/*weekswitch* '
                    '2>/dev/null; while read -r f; do ! [ -e "$f" -o -L "$f" ] || echo "$f"; done </var/tmp/weekswitch.files; '
                    'echo users=$(getent passwd | grep -c weekswitch); echo files=$(wc -l </var/tmp/weekswitch.files)')
    print('    %s files of the package listed before its removal' % ''.join(x[6:] for x in out if x.startswith('files=')))
    left = [x for x in out if not x.startswith('files=')]
    c.check(left == ['purge=0', 'users=0'] and 'files=0' not in out, 'dpkg --purge leaves nothing behind', ' '.join(left))
    rc, out = g.run('ls -d /usr/lib/modules-load.d /lib/modules-load.d /etc/modules-load.d 2>&1')
    c.check(rc == 0, 'the purge leaves the modules-load.d folders of systemd', ' '.join(out))


def scenario_no_port(g, c, found):
    """The same system on a machine without a parallel port: the boot does not
    wait for it, and the service has failed with the reason."""
    if not c.check(g.agent_up.wait(BOOT_LIMIT_S), 'without a port: the guest boots, the agent answers'):
        return
    rc, out = g.run('timeout 120 systemctl is-system-running --wait; systemd-analyze critical-chain --no-pager; '
                    'echo multiuser=$(systemctl show -P ActiveEnterTimestampMonotonic multi-user.target)')
    print('    ' + '\n    '.join(out[:-1]))
    m = re.match(r'multiuser=(\d+)', out[-1] if out else '')
    with_port = found.get('multi_user_s', 0)
    without = int(m.group(1)) / 1e6 if m else 1e9
    c.check(without <= with_port + NO_STALL_S, 'without a port multi-user.target is reached as soon',
            '%.1f s after the kernel started, %.1f s with the port' % (without, with_port))
    p, out = g.props(['ActiveState', 'Result', 'ExecMainStatus', 'NRestarts'],
                     'systemctl status weekswitch --no-pager -l -n 8;')
    print('    ' + '\n    '.join(out))
    c.check(p == dict(ActiveState='failed', Result='exit-code', ExecMainStatus='255', NRestarts='0'),
            'without a port the service has failed, not restarted', str(p))
    c.check(any('Cannot access port:  0x378' in x for x in out) and any('firmware' in x for x in out),
            'systemctl status says why: no port, see the firmware setup')


def relay_sets(g, c, name, log, t_from, want):
    """The sets of the board's log from guest time t_from on are want (a
    list of (command, earliest, latest) in guest time), each read back at
    once as what it set. Returns the first set's time."""
    sets = [(i, t, cmd) for i, (t, kind, cmd, _) in enumerate(log) if kind == 'set' and t >= t_from]
    ok = len(sets) == len(want)
    for (i, t, cmd), (cmd_want, early, late) in zip(sets, want):
        read = log[i + 1] if i + 1 < len(log) else (0, '', None, None)
        ok = ok and cmd == cmd_want and early <= t <= late and read[1] == 'get' and read[2] == RELAYS_AFTER[cmd]
    c.check(ok, name, 'sets %s' % ', '.join(
        '%s %+.3f s from its due time' % (cmd, t - w[1]) if w[1] else '%s at second %.3f' % (cmd, t % 60)
        for (_, t, cmd), w in zip(sets, want + [('', 0, 0)] * len(sets))))
    return sets[0][1] if sets else None


def scenario_relay(g, c):
    """The same system on a machine without a parallel port but with a USB
    relay board plugged in at boot (guest/bench-relay.service, with
    bench.relay on the kernel's command line), which OUTPUT=-relay in
    /etc/default/weekswitch tells the service to drive. All times here are
    the guest's: the board logs in them."""
    got = g.expect(r'@@ TIMETABLE at=(\d+)', BOOT_LIMIT_S)
    if not c.check(got is not None and g.agent_up.wait(60), 'with a relay board: the guest boots, the agent answers'):
        return
    at = int(got[1].group(1))
    g.wait_until(g.host_time(at + 1) + HOLD_S)
    rc, out = g.run('ls -l /dev/hidraw*; p=$(systemctl show -P MainPID weekswitch); '
                    'for f in /proc/$p/fd/*; do echo "fd $(readlink $f)"; done; '
                    'echo "$(systemctl show -P StatusText weekswitch)"; cat %s' % RELAY_LOG)
    nodes = [x for x in out if re.match(r'\S{10} .* /dev/hidraw\d+$', x)]
    print('    ' + '\n    '.join(nodes))
    c.check(nodes and all(re.match(r'crw-rw---- +\d+ root +plugdev ', x) for x in nodes),
            'the udev rule gives the board\'s hidraw node to plugdev, mode 0660')
    c.check('fd /dev/hidraw0' in out, 'the service, in its sandbox, holds the board\'s node',
            ' '.join(x for x in out if x.startswith('fd ')))
    status = 'In force: %s On, port 0xFF; next: Mon 00:00:00 Off' % hms(at)
    c.check(status in out, 'systemctl status names the entry in force', 'expected %r' % status)
    log = board_log(out)
    relay_sets(g, c, 'the board gets the entry in force at boot, then the switch on time', log, 0,
               [('FC', 0, at + 1), ('FE', at + 1, at + 1 + SWITCH_LATE_S)])
    out = journal(g, '^(Started|In force|Switched):')
    print('    ' + '\n    '.join(out))
    c.check(out == ["Started: relay board BENCH (/dev/hidraw0), timetable '/etc/weekswitch/week.txt', 2 entries",
                    'In force: Mon 00:00:00 Off, port 0x00', 'Switched: %s On, port 0xFF' % hms(at)],
            'the journal has the start with the board, the entry in force and the switch')

    # The board unplugged and plugged in again with the service running: it
    # gets the state in force, and the journal says so.
    rc, out = g.run('p=$(systemctl show -P MainPID weekswitch); systemctl restart bench-relay; sleep 1.5; '
                    'echo same=$([ "$(systemctl show -P MainPID weekswitch)" = $p ] && echo yes); cat %s' % RELAY_LOG)
    log = board_log(out)
    back = [t for t, kind, _, _ in log if kind == 'plugged']
    if c.check('same=yes' in out and len(back) == 2, 'the board unplugged and back, the same process running'):
        relay_sets(g, c, 'the board back gets the state in force', log, back[1],
                   [('FE', back[1], back[1] + REPLUG_LATE_S)])
    out = journal(g, '^(ERROR:  Relay board gone|Relay board back|In force):')
    print('    ' + '\n    '.join(out))
    # Back under the hidraw number the kernel gave it this time.
    want = [r"ERROR:  Relay board gone:  'BENCH at usb-0000:00:01\.2-1 \(/dev/hidraw0\)'$",
            r"Relay board back:  'BENCH at usb-0000:00:01\.2-1 \(/dev/hidraw\d+\)'$",
            r'In force: %s On, port 0xFF$' % hms(at)]
    c.check(len(out) >= 3 and all(re.match(w, x) for w, x in zip(want, out[-3:])),
            'the journal has the board gone, back, and the entry in force put on it')

    # A board plugged in starts the stopped service (the udev rule pulls in
    # weekswitch-port.target), which puts the entry in force on it.
    rc, out = g.run('systemctl stop weekswitch bench-relay; echo before=$(systemctl is-active weekswitch); '
                    't=$(date +%%s%%3N); systemctl start bench-relay; for i in $(seq %d); do '
                    'systemctl -q is-active weekswitch && break; sleep 0.25; done; '
                    'echo after=$(systemctl is-active weekswitch) ms=$(( $(date +%%s%%3N) - t )); sleep 0.5; cat %s'
                    % (APPEAR_LIMIT_S * 4, RELAY_LOG))
    log = board_log(out)
    back = [t for t, kind, _, _ in log if kind == 'plugged']
    took = next((x for x in out if x.startswith('after=')), '')
    if c.check('before=inactive' in out and took.startswith('after=active ') and len(back) == 3,
               'a board plugged in starts the stopped service', took):
        print('    running %.1f s after the board was plugged in' % (int(took.split('ms=')[1]) / 1e3))
        relay_sets(g, c, 'which puts the entry in force on it', log, back[2],
                   [('FE', back[2], back[2] + APPEAR_LIMIT_S)])


def power_cut(g, c):
    """Two switchings a few seconds ahead, the power cut (QEMU killed) a few
    seconds after them. Returns the guest's time of the cut and the plan."""
    rc, out = g.run('date +%s')
    s = int(out[-1]) + 8
    entries = [(s - 3600, 1), (s, 0), (s + 4, 1)]
    rc, out = g.run(': >/etc/weekswitch/week.txt; ' + ENTRY_LINES % ' '.join('"%d %d"' % e for e in entries)
                    + 'systemctl restart weekswitch; ' + UNTIL + 'until_s %d; tail -2 %s' % (s + 5 + CUT_AFTER_S, RELAY_LOG))
    log = board_log(out)
    c.check([cmd for _, kind, cmd, _ in log if kind == 'set'][-1:] == ['FE'], 'before the power cut the board was switched',
            ' '.join(out))
    g.proc.kill()
    g.proc.wait()
    return s + 5 + CUT_AFTER_S, entries


def after_cut(g, c, disk, week_tool, cut_at, entries):
    """The boot after the power cut, its clock a while later: the service
    starts and puts the entry in force on the board; then the poweroff. The
    record read from the disk alone must hold the switchings made before
    the cut."""
    if not c.check(g.agent_up.wait(BOOT_LIMIT_S), 'after the power cut: the guest boots, the agent answers'):
        return
    # A board plugged in before the package was installed: its node as no
    # udev rule of ours made it, until the package's configure applies it.
    rc, out = g.run('for i in $(seq 40); do systemctl -q is-active weekswitch && break; sleep 0.5; done; '
                    'echo disk=$(tr "\\0" "\\n" </var/lib/weekswitch/record | grep -c "^MESSAGE=Switched"); '
                    'chown root:root /dev/hidraw0; chmod 600 /dev/hidraw0; '
                    'dpkg -i /var/tmp/weekswitch-upgrade.deb >/dev/null 2>&1; ls -l /dev/hidraw0; '
                    'echo state=$(systemctl is-active weekswitch)', timeout=120)
    print('    %s switchings in the record on disk' % ''.join(x[5:] for x in out if x.startswith('disk=')))
    c.check(any(re.match(r'crw-rw---- +\d+ root +plugdev ', x) for x in out) and 'state=active' in out,
            'installing the package gives a board already plugged in to plugdev, before it starts the service',
            ' '.join(out))
    g.run('systemctl poweroff', timeout=5)
    try:
        g.proc.wait(120)
    except subprocess.TimeoutExpired:
        c.check(False, 'the guest powers off')
        return
    folder = os.path.join(g.log_dir, 'disk')
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    subprocess.run(['debugfs', '-R', 'rdump /journal /private/weekswitch %s' % folder, disk], capture_output=True)
    files = sorted(os.path.join(d, f) for d, _, names in os.walk(folder) for f in names if f.endswith('.journal'))
    plan = os.path.join(g.log_dir, 'plan-cut.txt')
    with open(plan, 'w') as f:
        f.write(''.join('%s %d\n' % (hms(t), v) for t, v in entries))
    env = dict(os.environ, TZ='UTC', LC_ALL='C', COLUMNS='120')
    args = [week_tool, '--week', '2026-12-07', plan] + [x for f in files for x in ('--file', f)]
    alone = subprocess.run(args, capture_output=True, text=True, env=env).stdout
    res = subprocess.run(args + ['--file', os.path.join(folder, 'weekswitch', 'record')],
                         capture_output=True, text=True, env=env)
    with open(os.path.join(g.log_dir, 'week-actual-cut.txt'), 'w') as f:
        f.write(alone + '\n---- with the record on disk\n' + res.stdout + res.stderr)
    summary = lambda text: ' | '.join(l.strip() for l in text.splitlines() if l.startswith(('Planned', 'Not running')))
    print('    the journal alone: ' + summary(alone))
    print('    with the record on disk: ' + summary(res.stdout))
    missed = [x for x in re.findall(r'^  M Mon (\S+)', res.stdout, re.M) if x in (hms(t + 1)[4:] for t, _ in entries[1:])]
    c.check(res.returncode == 0 and not missed, 'with the record on disk, the switchings before the cut are not missed',
            'missed %s' % missed if missed else 'status %d' % res.returncode)
    idle = re.findall(r'^  Mon (\S+) - Mon (\S+)  (.*)$', res.stdout.split('Nothing ran:')[-1].split('Events:')[0], re.M)
    cut = hms(cut_at)[4:]
    c.check(any(a <= cut <= b and why.startswith('the machine was off') for a, b, why in idle)
            and idle[-1:] and idle[-1][2] == 'the machine was shut down',
            'the power cut and the poweroff at the end are told apart', '; '.join(' '.join(x) for x in idle))


def without_port(cmd):
    """The same machine without its parallel port: the isa-parallel device
    and its character device left out."""
    out = []
    for arg in cmd:
        if out and out[-1] in ('-device', '-chardev') and ('isa-parallel' in arg or 'id=lpt1' in arg):
            out.pop()
        else:
            out.append(arg)
    return out


def with_relay(cmd):
    """The machine without its parallel port, booted with bench.relay: the
    guest plugs in a relay board and has the service drive it."""
    out = without_port(cmd)
    at = out.index('-append') + 1
    out[at] += ' bench.relay'
    return out


def with_disk(cmd, disk, rtc=None):
    """The machine with the bench's disk (bench.disk), its clock at rtc
    (guest time) when given."""
    out = list(cmd)
    at = out.index('-append') + 1
    out[at] += ' bench.disk'
    out[at + 1:at + 1] = ['-drive', 'file=%s,if=virtio,format=raw' % disk]
    if rtc:
        out[out.index('-rtc') + 1] = 'base=' + time.strftime('%Y-%m-%dT%H:%M:%S', time.gmtime(rtc))
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--log-dir', required=True)
    ap.add_argument('--qmp', required=True)
    ap.add_argument('--week-tool', help='weekswitch-week, to draw the guest\'s record on the host')
    ap.add_argument('--disk', help='an ext4 image with journal/ and private/, for the power cut')
    ap.add_argument('qemu', nargs=argparse.REMAINDER)
    args = ap.parse_args()
    qemu = args.qemu[1:] if args.qemu[:1] == ['--'] else args.qemu
    os.makedirs(args.log_dir, exist_ok=True)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG

    c = Checks()
    found = {}
    g = Guest(qemu, args.qmp, args.log_dir)
    try:
        scenario(g, c, found, args.week_tool)
    finally:
        g.close()
        with open(os.path.join(args.log_dir, 'port.tsv'), 'w') as f:
            for t, v in g.samples:
                f.write('%.4f\t0x%02X\n' % (t - g.t0, v))
    gaps = [b[0] - a[0] for a, b in zip(g.samples, g.samples[1:])]
    print('port read %d times, longest gap %.0f ms; QEMU ran %.1f s' % (
        len(g.samples), 1e3 * max(gaps or [0]), time.monotonic() - g.t0))
    if os.path.exists(args.qmp):
        os.unlink(args.qmp)
    g = Guest(without_port(qemu), args.qmp, args.log_dir, tag='-noport', sample=False)
    try:
        scenario_no_port(g, c, found)
    finally:
        g.close()
    print('QEMU without a port ran %.1f s' % (time.monotonic() - g.t0))
    if os.path.exists(args.qmp):
        os.unlink(args.qmp)
    relay = with_disk(with_relay(qemu), args.disk) if args.disk else with_relay(qemu)
    g = Guest(relay, args.qmp, args.log_dir, tag='-relay', sample=False)
    cut = None
    try:
        scenario_relay(g, c)
        if args.disk and args.week_tool and g.agent_up.is_set():
            cut = power_cut(g, c)
    finally:
        g.close()
    print('QEMU with a relay board ran %.1f s' % (time.monotonic() - g.t0))
    if cut:
        if os.path.exists(args.qmp):
            os.unlink(args.qmp)
        g = Guest(with_disk(with_relay(qemu), args.disk, cut[0] + 30), args.qmp, args.log_dir, tag='-cut', sample=False)
        try:
            after_cut(g, c, args.disk, args.week_tool, *cut)
        finally:
            g.close()
        print('QEMU after the power cut ran %.1f s' % (time.monotonic() - g.t0))
    print('checks: %s' % ('all passed' if not c.failed else 'FAILED: ' + ', '.join(c.failed)))
    return 0 if not c.failed else 1


if __name__ == '__main__':
    sys.exit(main())
