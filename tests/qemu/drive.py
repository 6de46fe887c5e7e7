#!/usr/bin/env python3
"""drive.py: the host half of the LPT1 bench.

Usage: drive.py --log-dir DIR --qmp SOCKET -- QEMU-COMMAND...

Starts QEMU, reads the guest's serial console from QEMU's stdout and types on
its stdin, reads the LPT1 data register (I/O port 0x378 of the emulated PC)
through QMP several times a second, answers the guest's "@@" markers, and at
the end judges every scenario by what the port did and when, and the relay
boards' scenarios by what the emulated boards were sent (their logs, in the
guest's time, handed over after each run). Exit status 0 only when every
scenario passed.
"""
import argparse
import calendar
import ctypes
import json
import os
import re
import select
import signal
import socket
import subprocess
import sys
import threading
import time

LPT1 = 0x378
# A value no timetable of the bench gives, put on the port before each run:
# the synchronisation then shows as a change, and reading it back proves the
# port is there (an absent port reads 0xFF).
PRESET = 0x5A
POLL_S = 0.025
DEADLINE_S = 240
# A guest that is not up by then, or a program still running this long after
# its last key, will not recover: stop early instead of at the deadline.
BOOT_LIMIT_S = 60
EXIT_LIMIT_S = 8
# How long the port is watched after the program has ended.
HOLD_AFTER_EXIT_S = 1.0
# A change must reach the port this soon after its entry comes into force.
SWITCH_LATE_S = 0.5
# Error allowed in mapping guest time onto host time (serial latency).
CLOCK_SLACK_S = 0.05
# From the guest's "@@ START" to the program's first write.
START_LATE_S = 1.5
ESC = b'\x1b'
UP = b'\x1b[A'


def utc(text):
    return calendar.timegm(time.strptime(text, '%Y-%m-%d %H:%M:%S'))


# The guest clock is set in UTC while the timetables are in the guest's zone
# (Europe/Berlin, UTC+1 in December): a switch at the right moment also shows
# that the program applies the zone. 2026-12-07 is a Monday.
BERLIN_WINTER_S = 3600
# Every run timetable is "mo 08:00:00 0" and "mo 17:00:00 1", started two
# seconds before 17:00 local time; Escape follows the switch. Those of the
# lines switched on their own have a change a second from 17:00:00 on, the
# values of steps.
EVENING = dict(clock='2026-12-07 15:59:58', in_force='2026-12-07 16:00:01', keys=[(4.2, ESC)],
               lines=('EVENT:  Mon 08:00:00 Off', 'EVENT:  Mon 17:00:00 On'), steps=(0xFF,))
SCENARIOS = {
    'root-direct': dict(EVENING, kind='switch', sync=0x00),
    'root-bad-port': dict(EVENING, kind='refused', warning='Warning:  Cannot access port:  0x64'),
    'user-ppdev': dict(EVENING, kind='switch', sync=0x00),
    # Sections [1] to [8], line n on at 17:00:0n-1: one more bit a second.
    'lpt-lines': dict(EVENING, kind='switch', sync=0x00, keys=[(11.2, ESC)],
                      steps=tuple((2 << n) - 1 for n in range(8)),
                      lines=('EVENT:  Mon 08:00:00 all Off, port 0x00',) + tuple(
                          'EVENT:  Mon 17:00:%02d line %d On, port 0x%02X' % (n, n + 1, (2 << n) - 1)
                          for n in range(8))),
    'user-no-lp': dict(EVENING, kind='refused', warning='Warning:  Cannot access port:  0x378'),
    # "mo 08:00:00 1" at noon; an ordinary key, then an arrow key (224 and a
    # second code: one key), then Escape.
    'learn': dict(kind='learn', clock='2026-12-07 11:00:00', sync=0xFF,
                  keys=[(1.5, b'a'), (4.5, UP), (7.0, ESC)], learned=(0, 1)),
    'poweroff': dict(kind='end', clock='2026-12-07 12:00:00', keys=[]),
}
# The relay boards (relay_board.c, made with uhid) in the same runs: the
# entry in force is set at the start, the evening's at 17:00:01, each set
# read back at once. The board "bench" and the others have the ID BENCH
# unless their name is their ID, and sit in USB port usb-0000:00:01.2-1
# unless told another (-2).
RELAY = dict(EVENING, kind='relay', driven='bench', console=())
GONE_BACK = ("ERROR:  Relay board gone:  'BENCH at usb-0000:00:01.2-1 (/dev/hidraw",
             'The timetable goes on; the board gets the state in force when it is plugged in again.',
             "Relay board back:  'BENCH at usb-0000:00:01.2-1 (/dev/hidraw")
SCENARIOS.update({
    # Interactively no board is a warning, and the timetable runs on.
    'relay-absent': dict(RELAY, driven=None, console=(
        "Warning:  Cannot access relay board:  'any'",
        'No USB relay board (16c0:05df, named USBRelay1 to USBRelay8) is plugged in.')),
    'relay-switch': dict(RELAY),
    # Four relays (-n 4) in sections a to d, on one a second, then all off by
    # an entry before any section; a section of line 6, beyond the board, on
    # from the first: the relays as they stand after each write.
    'relay-lines': dict(RELAY, driven='four', relays=4, steps=('01', '03', '07', '0F', '00'), keys=[(8.2, ESC)],
                        lines=('EVENT:  Mon 08:00:00 all Off, port 0x00', 'EVENT:  Mon 17:00:00 a On, f On, port 0x21'),
                        console=("Warning:  The relay board BENCH has 4 relays; lines never switched:  '6 f'",)),
    # Pulled out 1 s after the start, put back 3.5 s after it: away when the
    # evening's entry comes into force, which it gets when it is back.
    'relay-replug': dict(RELAY, keys=[(5.5, ESC)], replug=True, console=GONE_BACK),
    # Relays that never move: each read-back fails the write, tried again at
    # every pass (three a second).
    'relay-stuck': dict(RELAY, driven='stuck', stuck=True, console=(
        'ERROR:  Cannot write port:  relay board BENCH', 'Input/output error')),
    'relay-by-id': dict(RELAY, driven='bravo'),
    # Two boards with the ID asked for: a warning naming both, and the hint.
    'relay-same-id': dict(RELAY, driven=None, console=(
        "Warning:  Cannot access relay board:  'BENCH'",
        "More than one board has the ID 'BENCH': BENCH at usb-0000:00:01.2-",
        'Choose by the USB port it sits in, such as -relay:usb-0000:00:01.2-')),
    'relay-by-port': dict(RELAY, driven='two'),
    # Away and back as in relay-replug, a board of its ID in the other port.
    'relay-port-replug': dict(RELAY, driven='one', keys=[(5.5, ESC)], replug=True, console=GONE_BACK),
    # Another board in its port while it is away, named with its ID escaped.
    'relay-id-intruder': dict(RELAY, driven='qwe', keys=[(5.5, ESC)], replug=True, raw='\x1b[6n', console=(
        "Warning:  Relay board not taken:  '\\x1B[6n\\x07 at usb-0000:00:01.2-1 (/dev/hidraw",
        "Relay board back:  'QWE12 at usb-0000:00:01.2-2 (/dev/hidraw")),
})
# Relays the boards hold after a set, for the read-back (two relays).
RELAYS_AFTER = {'FC': '00', 'FE': '03'}
STUCK_RETRY_S = 0.5     # a failed write is tried again at each pass
REPLUG_LATE_S = 1.0     # from a board's return to the state in force on it
SET_RELAY = re.compile(r'^\S+ set F[DF] (\w\w) ')
BOARD_LINE = re.compile(r'^(\d+\.\d+) (set (\w\w) \w\w -> (\w\w)|get -> (\w\w)|plugged|unplugged)')
LEARNED_LINE = re.compile(rb'Mon (\d\d):(\d\d):(\d\d) (-?\d+) ;; \*Learned event\*\r\n')


class Run:
    """What one scenario produced: marker times, clock pairs, output, files."""

    def __init__(self, name):
        self.name = name
        self.plan = SCENARIOS.get(name)
        self.preset_t = None
        self.start_t = None
        self.exit_t = None
        self.rc = None
        self.tty = None
        self.marks = {'pre': [], 'post': []}
        self.offset = None
        self.files = {}
        self.segments = []      # (host time, text) of the console between START and EXIT
        self.keys_sent = []     # (host time, bytes)
        self.hold_end = None    # the port was watched after the exit until then
        self.boards = {}        # relay board's name: its log's lines of this run


class Monitor:
    """QMP connection; HMP commands go through human-monitor-command."""

    def __init__(self, path):
        deadline = time.monotonic() + 15
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                self.sock.connect(path)
                break
            except OSError:
                self.sock.close()
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)
        self.sock.settimeout(10)
        self.file = self.sock.makefile('rwb')
        self._reply()  # greeting
        self._send({'execute': 'qmp_capabilities'})
        self._reply()

    def _send(self, msg):
        self.file.write(json.dumps(msg).encode() + b'\n')
        self.file.flush()

    def _reply(self):
        while True:
            line = self.file.readline()
            if not line:
                raise EOFError('QMP closed')
            msg = json.loads(line)
            if 'event' not in msg:
                return msg

    def hmp(self, command):
        self._send({'execute': 'human-monitor-command', 'arguments': {'command-line': command}})
        msg = self._reply()
        if 'return' not in msg:
            raise RuntimeError('QMP %s: %s' % (command, msg))
        return msg['return']

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


def sample_lpt1(mon, lock, stop, samples):
    """Reads LPT1's data register every POLL_S until stop is set or QEMU is
    gone, appending (host time, value); lock keeps other monitor commands
    from interleaving. The boot bench samples the same way."""
    while not stop.is_set():
        try:
            with lock:
                before = time.monotonic()
                text = mon.hmp('i /b 0x%x' % LPT1)
                after = time.monotonic()
        except (OSError, EOFError, RuntimeError, ValueError):
            return
        m = re.search(r'=\s*0x([0-9a-fA-F]+)', text)
        if m:
            samples.append(((before + after) / 2, int(m.group(1), 16)))
        time.sleep(POLL_S)


class Bench:
    def __init__(self, qemu_cmd, qmp_path, log_dir):
        self.qemu_cmd = qemu_cmd
        self.qmp_path = qmp_path
        self.log_dir = log_dir
        self.samples = []       # (host time, value of the data register)
        self.lock = threading.Lock()
        self.stop = threading.Event()
        self.runs = []
        self.by_name = {}
        self.actions = []       # (host time, callable)
        self.errors = []
        self.boot_t = None
        self.pending_sec = None
        self.file_lines = None
        self.board_lines = None
        self.t0 = None
        self.stuck = None

    # --- QEMU and the two lines into it --------------------------------------
    def start(self):
        libc = ctypes.CDLL(None, use_errno=True)

        def die_with_parent():
            libc.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG: no QEMU outlives us

        self.t0 = time.monotonic()
        self.qemu_err = open(os.path.join(self.log_dir, 'qemu-stderr.log'), 'wb')
        self.proc = subprocess.Popen(self.qemu_cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=self.qemu_err, bufsize=0, preexec_fn=die_with_parent)
        self.mon = Monitor(self.qmp_path)
        self.sampler = threading.Thread(target=self.sample_port, daemon=True)
        self.sampler.start()

    def stop_qemu(self):
        self.stop.set()
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        self.sampler.join(5)
        self.mon.close()
        self.qemu_err.close()

    def sample_port(self):
        sample_lpt1(self.mon, self.lock, self.stop, self.samples)

    def type_bytes(self, data, run=None):
        self.proc.stdin.write(data)
        self.proc.stdin.flush()
        if run is not None:
            run.keys_sent.append((time.monotonic(), data))

    # --- the guest's markers ---------------------------------------------------
    def on_line(self, t, line):
        cur = self.runs[-1] if self.runs else None
        if '@@ BOOTED' in line and self.boot_t is None:
            self.boot_t = t
            print('guest booted after %.2f s: %s' % (t - self.t0, line[line.index('@@'):]))
        elif '@@ READY ' in line:
            self.on_ready(t, line.split('@@ READY ', 1)[1].split()[0])
        elif 'time.tv_sec:' in line:
            self.pending_sec = int(line.split(':', 1)[1])
        elif 'time.tv_usec:' in line and self.pending_sec is not None and cur:
            guest = self.pending_sec + int(line.split(':', 1)[1]) / 1e6
            cur.marks['post' if cur.exit_t else 'pre'].append((guest, t))
            self.pending_sec = None
        elif '@@ FILE ' in line and cur:
            self.file_lines = (line.split('@@ FILE ', 1)[1].split()[1], [])
        elif '@@ ENDFILE' in line and cur and self.file_lines:
            cur.files[self.file_lines[0]] = bytes.fromhex(''.join(self.file_lines[1]))
            self.file_lines = None
        elif self.file_lines is not None:
            self.file_lines[1].append(line.strip())
        elif '@@ BOARD ' in line and cur:
            self.board_lines = cur.boards.setdefault(line.split('@@ BOARD ', 1)[1].strip(), [])
        elif '@@ ENDBOARD' in line:
            self.board_lines = None
        elif self.board_lines is not None:
            self.board_lines.append(line.strip())
        elif '@@ START ' in line and cur:
            self.on_start(t, cur)
        elif '@@ EXIT ' in line and cur:
            m = re.search(r'rc=(\d+) tty=(\w+)', line)
            cur.exit_t = t
            cur.rc, cur.tty = (int(m.group(1)), m.group(2)) if m else (None, None)
            self.actions = [a for a in self.actions if not a[2]]  # keys for a program that has ended
        elif '@@ HOLD ' in line and cur:
            self.actions.append((cur.exit_t + HOLD_AFTER_EXIT_S if cur.exit_t else t,
                                 lambda r=cur: self.end_hold(r), False))
        elif '@@ ERROR' in line:
            self.errors.append(line[line.index('@@'):])
        elif '@@ PARPORT' in line:
            print('guest: %s' % line[line.index('@@'):])

    def on_ready(self, t, name):
        run = Run(name)
        self.runs.append(run)
        self.by_name[name] = run
        if run.plan is None:
            self.errors.append('unknown scenario %s' % name)
            run.plan = SCENARIOS['poweroff']
        self.actions.append((t, lambda: self.release(run), False))

    def release(self, run):
        # Preset and go under the sampler's lock, so that no sample of the
        # old value is taken after the preset time.
        if run.plan['kind'] != 'end':
            with self.lock:
                self.mon.hmp('o /b 0x%x 0x%x' % (LPT1, PRESET))
                run.preset_t = time.monotonic()
        else:
            run.preset_t = time.monotonic()
        self.type_bytes(b'@go ' + run.plan['clock'].encode() + b'\n')

    def end_hold(self, run):
        with self.lock:  # the sample in flight belongs to the hold
            run.hold_end = time.monotonic()
        self.type_bytes(b'@go\n')

    def on_start(self, t, run):
        run.start_t = t
        if not run.marks['pre']:
            self.errors.append('%s: no clock marks before the start' % run.name)
            return
        run.offset = min(host - guest for guest, host in run.marks['pre'])
        base = utc(run.plan['clock'])
        for rel, data in run.plan['keys']:
            self.actions.append((base + rel + run.offset, lambda d=data, r=run: self.type_bytes(d, r), True))
        last_key = max([rel for rel, _ in run.plan['keys']] or [0])
        self.actions.append((base + last_key + EXIT_LIMIT_S + run.offset, lambda: self.check_exited(run), False))

    def check_exited(self, run):
        if run.exit_t is None:
            self.stuck = '%s: the program did not end %d s after its last key' % (run.name, EXIT_LIMIT_S)

    # --- main loop -------------------------------------------------------------
    def run(self):
        out = self.proc.stdout.fileno()
        raw = open(os.path.join(self.log_dir, 'serial.log'), 'wb')
        buf = b''
        try:
            while True:
                now = time.monotonic()
                if now - self.t0 > DEADLINE_S:
                    self.stuck = 'guest did not finish within %d s' % DEADLINE_S
                if self.boot_t is None and now - self.t0 > BOOT_LIMIT_S:
                    self.stuck = 'guest did not boot within %d s' % BOOT_LIMIT_S
                if self.stuck:
                    self.errors.append(self.stuck)
                    break
                self.actions.sort(key=lambda a: a[0])
                while self.actions and self.actions[0][0] <= now:
                    self.actions.pop(0)[1]()
                wait = 0.2 if not self.actions else max(0.0, min(0.2, self.actions[0][0] - now))
                ready, _, _ = select.select([out], [], [], wait)
                if not ready:
                    continue
                chunk = os.read(out, 65536)
                t = time.monotonic()
                if not chunk:
                    break
                raw.write(chunk)
                buf += chunk
                *parts, buf = re.split(rb'\r\n|\n|\r', buf)
                for part in parts:
                    text = part.decode(errors='replace')
                    cur = self.runs[-1] if self.runs else None
                    if cur and cur.start_t and not cur.exit_t and text.strip():
                        cur.segments.append((t, text))
                    self.on_line(t, text)
        finally:
            raw.close()
        if not self.stuck:
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.errors.append('QEMU did not power off')
        self.total_s = time.monotonic() - self.t0


# --- judging ----------------------------------------------------------------------
class Verdict:
    def __init__(self, name):
        self.name = name
        self.failures = []
        self.notes = []

    def check(self, ok, text):
        if not ok:
            self.failures.append(text)
        return ok


def transitions(samples, t_from, t_to):
    """(first time seen, value, last time the old value was seen)."""
    seq = []
    prev_t = None
    for t, v in samples:
        if t < t_from or t > t_to:
            continue
        if not seq or seq[-1][1] != v:
            seq.append((t, v, prev_t))
        prev_t = t
    return seq


def hexes(values):
    return '[%s]' % ' '.join('0x%02X' % v for v in values)


def segment_time(run, text):
    return next((t for t, s in run.segments if text in s), None)


def judge_common(bench, run, v):
    """Returns the port's transitions of this run, or None if it cannot be judged."""
    if not v.check(run.preset_t and run.start_t and run.exit_t and run.hold_end and run.offset is not None,
                   'incomplete run: preset/start/exit/hold/clock marks missing'):
        return None
    end = run.hold_end
    after_preset = [val for t, val in bench.samples if t > run.preset_t]
    v.check(after_preset and after_preset[0] == PRESET,
            'port read back %s after the preset 0x%02X: LPT1 missing?' % (hexes(after_preset[:1]), PRESET))
    v.check(run.rc == 0, 'exit status %s, expected 0' % run.rc)
    v.check(run.tty == 'same', 'terminal settings after the program: %s' % run.tty)
    v.check(any(run.exit_t + HOLD_AFTER_EXIT_S - 2 * POLL_S <= t <= end for t, _ in bench.samples),
            'port not watched for %.1f s after the exit' % HOLD_AFTER_EXIT_S)
    if run.marks['post']:
        post = min(host - guest for guest, host in run.marks['post'])
        v.notes.append('guest clock drift over the run %+.1f ms' % ((post - run.offset) * 1e3))
    return transitions(bench.samples, run.preset_t, end)


def judge_switch(bench, run, v):
    plan = run.plan
    seq = judge_common(bench, run, v)
    if seq is None:
        return
    in_force = utc(plan['in_force']) + run.offset
    want = [PRESET, plan['sync']] + list(plan['steps'])
    if not v.check([s[1] for s in seq] == want,
                   'port went %s, expected %s' % (hexes(s[1] for s in seq), hexes(want))):
        return
    sync_t = seq[1][0]
    v.check(sync_t <= run.start_t + START_LATE_S and sync_t < in_force,
            'synchronisation seen %.2f s after the start' % (sync_t - run.start_t))
    # Step i comes into force i seconds after the first.
    seen = []
    for i, (change_t, value, change_prev) in enumerate(seq[2:]):
        late = change_t - in_force - i
        v.check(-CLOCK_SLACK_S <= late <= SWITCH_LATE_S,
                '0x%02X seen %+.3f s from the moment its entry came into force' % (value, late))
        seen.append('%s(%+.3f, %+.3f]' % ('0x%02X ' % value if len(seq) > 3 else '', change_prev - in_force - i, late))
    v.notes.append('sync %.2f s after start; change%s within %s s of coming into force'
                   % (sync_t - run.start_t, 's' if len(seq) > 3 else '', ', '.join(seen)))
    for text in plan['lines']:
        v.check(segment_time(run, text) is not None, 'console never showed %r' % text)
    event_t = segment_time(run, plan['lines'][1])
    if event_t is not None:
        v.notes.append('event line of the change arrived %+.3f s from coming into force' % (event_t - in_force))
    v.check(run.files.get('after') == run.files.get('before'), 'event file changed')


def judge_refused(bench, run, v):
    plan = run.plan
    seq = judge_common(bench, run, v)
    if seq is None:
        return
    v.check([s[1] for s in seq] == [PRESET],
            'port went %s, expected it to stay 0x%02X' % (hexes(s[1] for s in seq), PRESET))
    v.check(segment_time(run, plan['warning']) is not None, 'no %r' % plan['warning'])
    # It runs on: the change is still announced on time.
    in_force = utc(plan['in_force']) + run.offset
    event_t = segment_time(run, plan['lines'][1])
    v.check(event_t is not None and -CLOCK_SLACK_S <= event_t - in_force <= SWITCH_LATE_S + 0.2,
            'change not announced on time without the port')


def judge_learn(bench, run, v):
    plan = run.plan
    seq = judge_common(bench, run, v)
    if seq is None:
        return
    want = [PRESET, plan['sync']] + [0xFF if x else 0x00 for x in plan['learned']]
    if not v.check([s[1] for s in seq] == want,
                   'port went %s, expected %s' % (hexes(s[1] for s in seq), hexes(want))):
        return
    before, after = run.files.get('before'), run.files.get('after')
    if not v.check(before is not None and after is not None and after.startswith(before),
                   'event file did not keep its old lines'):
        return
    added = after[len(before):]
    lines = LEARNED_LINE.findall(added)
    if not v.check(LEARNED_LINE.sub(b'', added) == b'' and len(lines) == len(plan['learned']),
                   'learned lines appended: %r' % added):
        return
    midnight = utc(run.plan['clock'][:10] + ' 00:00:00') - BERLIN_WINTER_S
    for i, ((hh, mm, ss, val), (key_t, _)) in enumerate(zip(lines, run.keys_sent)):
        v.check(int(val) == plan['learned'][i], 'learned value %s, expected %d' % (val, plan['learned'][i]))
        learned = midnight + int(hh) * 3600 + int(mm) * 60 + int(ss)
        key_guest = key_t - run.offset
        # The learned second is that of the last clock sample before the key
        # was read: at most one pass (300 ms and its work) either side.
        v.check(int(key_guest - 0.4) <= learned <= int(key_guest + 0.4),
                'learned time %s:%s:%s for a key at guest %.2f' % (hh.decode(), mm.decode(), ss.decode(),
                                                                   key_guest % 60))
        in_force = learned + 1 + run.offset
        change_t, change_prev = seq[2 + i][0], seq[2 + i][2]
        late = change_t - in_force
        v.check(change_t > key_t and -CLOCK_SLACK_S <= late <= SWITCH_LATE_S,
                'learned value reached the port %+.3f s from the entry coming into force' % late)
        v.notes.append('key %d: learned %s:%s:%s %s; port followed within (%+.3f, %+.3f] s of coming into force'
                       % (i + 1, hh.decode(), mm.decode(), ss.decode(), val.decode(), change_prev - in_force, late))


def board_log(lines):
    """A board's log as (guest time, 'set', command, relays after),
    (time, 'get', relays, None), (time, 'plugged' or 'unplugged', None, None)."""
    out = []
    for line in lines:
        m = BOARD_LINE.match(line)
        if m and m.group(3):
            out.append((float(m.group(1)), 'set', m.group(3), m.group(4)))
        elif m and m.group(5):
            out.append((float(m.group(1)), 'get', m.group(5), None))
        elif m:
            out.append((float(m.group(1)), m.group(2), None, None))
    return out


def judge_relay(bench, run, v):
    """A run driving a relay board: LPT1 untouched; the board named driven
    (if any) set at the start and on the second its entry comes into force,
    each set read back at once; every other board never set; the console
    lines of the plan; the change announced on time even without a board."""
    plan = run.plan
    seq = judge_common(bench, run, v)
    if seq is None:
        return
    v.check([s[1] for s in seq] == [PRESET],
            'LPT1 went %s, expected it to stay 0x%02X' % (hexes(s[1] for s in seq), PRESET))
    for text in plan['console']:
        v.check(segment_time(run, text) is not None, 'console never showed %r' % text)
    if plan.get('raw'):
        v.check(segment_time(run, plan['raw']) is None, 'console showed %r unescaped' % plan['raw'])
    event_t = segment_time(run, plan['lines'][1])
    v.check(event_t is not None and -CLOCK_SLACK_S <= event_t - run.offset - utc(plan['in_force']) <= SWITCH_LATE_S + 0.2,
            'change not announced on time')
    logs = {name: board_log(lines) for name, lines in run.boards.items()}
    for name, log in sorted(logs.items()):
        if name != plan['driven']:
            sets = ['%s %s' % (cmd, after) for _, kind, cmd, after in log if kind == 'set']
            v.check(not sets, 'board %s was set (%s), expected no set' % (name, ', '.join(sets)))
    if plan['driven'] is None:
        return
    log = logs.get(plan['driven'])
    if not v.check(log, 'no log of board %s' % plan['driven']):
        return
    if plan.get('relays'):
        judge_relay_steps(run, v, log)
        return
    # Guest times: the board's stamps and the timetable use the same clock.
    start, exit_, in_force = run.start_t - run.offset, run.exit_t - run.offset, utc(plan['in_force'])
    stuck = plan.get('stuck')
    for i, (t, kind, cmd, after) in enumerate(log):
        if kind == 'set':
            read = log[i + 1] if i + 1 < len(log) else None
            held = '00' if stuck else RELAYS_AFTER.get(cmd)
            v.check(read is not None and read[1] == 'get' and read[2] == held and read[0] - t < 0.1,
                    'set %s at %.3f not read back at once as %s' % (cmd, t % 60, held))
    sets = [(t, cmd) for t, kind, cmd, _ in log if kind == 'set']
    v.check(sets and sets[0][1] == 'FC' and sets[0][0] <= start + START_LATE_S and sets[0][0] < in_force,
            'the entry in force (FC) not set at the start: sets %s' % sets[:3])
    if plan.get('replug'):
        gone = [t for t, kind, _, _ in log if kind == 'unplugged']
        back = [t for t, kind, _, _ in log if kind == 'plugged']
        if not v.check(len(gone) == 1 and len(back) == 1 and gone[0] < in_force < back[0],
                       'board not away across the entry coming into force (unplugged %s, plugged %s)' % (gone, back)):
            return
        after = [(t, cmd) for t, cmd in sets if t > back[0]]
        v.check([cmd for _, cmd in sets] == ['FC', 'FE'] and after and after[0][0] - back[0] <= REPLUG_LATE_S,
                'sets %s, expected FC, then FE within %.1f s of the board coming back' % (sets, REPLUG_LATE_S))
        if after:
            v.notes.append('away %.2f s; the state in force (FE) set %.3f s after the board came back'
                           % (back[0] - gone[0], after[0][0] - back[0]))
        return
    changes = [(t, cmd) for t, cmd in sets[1:]]
    if not v.check(changes and changes[0][1] == 'FE', 'no FE set after the start: sets %s' % sets):
        return
    late = changes[0][0] - in_force
    v.check(0 <= late <= SWITCH_LATE_S, 'FE set %+.3f s from the entry coming into force' % late)
    if not stuck:
        v.check(len(changes) == 1, 'sets after the start %s, expected one FE' % changes)
        v.notes.append('FE set %+.3f s after the entry came into force' % late)
        return
    times = [t for t, cmd in changes if cmd == 'FE']
    gaps = [b - a for a, b in zip(times, times[1:])]
    v.check(len(times) >= 3 and all(cmd == 'FE' for _, cmd in changes) and max(gaps) <= STUCK_RETRY_S
            and exit_ - times[-1] <= 2 * STUCK_RETRY_S,
            'FE not tried again at every pass until the end: %d sets, gaps up to %.2f s' % (
                len(times), max(gaps or [0])))
    v.notes.append('first FE %+.3f s after the entry came into force; %d tries, every %.2f s on average'
                   % (late, len(times), sum(gaps) / max(1, len(gaps))))


def judge_relay_steps(run, v, log):
    """A board of fewer relays than the sections name, switched relay by
    relay: each write (its sets, then the get reading them back) on the
    second its entry comes into force, never a relay beyond the board's,
    and the lines beyond it said once."""
    plan = run.plan
    start, in_force = run.start_t - run.offset, utc(plan['in_force'])
    writes = []     # [first set, last set, relays after it, read back, read at] in guest time
    for t, kind, cmd, after in log:
        if kind == 'set':
            if not writes or writes[-1][3] is not None:
                writes.append([t, t, after, None, None])
            writes[-1][1:3] = t, after
        elif kind == 'get' and writes and writes[-1][3] is None:
            writes[-1][3:] = cmd, t
    if not v.check([w[2] for w in writes] == ['00'] + list(plan['steps']),
                   'relays after each write %s, expected 00 at the start, then %s' % (
                       [w[2] for w in writes], list(plan['steps']))):
        return
    for w in writes:
        v.check(w[3] == w[2] and w[4] - w[1] < 0.1, 'write of %s at %.3f not read back at once' % (w[2], w[0] % 60))
    v.check(writes[0][0] <= start + START_LATE_S and writes[0][0] < in_force, 'the entry in force not set at the start')
    lates = [(w[0] - in_force - i, w[4] - in_force - i) for i, w in enumerate(writes[1:])]
    for (first, read), w in zip(lates, writes[1:]):
        v.check(0 <= first <= read <= SWITCH_LATE_S, 'write of %s %+.3f..%+.3f s from its entry coming into force'
                % (w[2], first, read))
    beyond = [line for line in run.boards[plan['driven']]
              if SET_RELAY.match(line) and int(SET_RELAY.match(line).group(1), 16) > plan['relays']]
    v.check(not beyond, 'relays beyond the board\'s %d set: %s' % (plan['relays'], beyond))
    told = sum(plan['console'][0] in text for _, text in run.segments)
    v.check(told == 1, 'the lines beyond the board said %d times, expected once' % told)
    v.notes.append('relays %s each set and read back within %s s of coming into force' % (
        ' '.join(w[2] for w in writes[1:]), ', '.join('[%+.3f, %+.3f]' % x for x in lates)))


JUDGES = {'switch': judge_switch, 'refused': judge_refused, 'learn': judge_learn, 'relay': judge_relay}


def judge(bench):
    verdicts = []
    for name, plan in SCENARIOS.items():
        if plan['kind'] == 'end':
            continue
        v = Verdict(name)
        run = bench.by_name.get(name)
        if v.check(run is not None, 'never ran'):
            JUDGES[plan['kind']](bench, run, v)
        verdicts.append(v)
    return verdicts


def write_logs(bench):
    with open(os.path.join(bench.log_dir, 'port.tsv'), 'w') as f:
        for t, val in bench.samples:
            f.write('%.4f\t0x%02X\n' % (t - bench.t0, val))
    with open(os.path.join(bench.log_dir, 'markers.txt'), 'w') as f:
        for run in bench.runs:
            f.write('%s preset=%s start=%s exit=%s rc=%s offset=%s keys=%s\n' % (
                run.name, *(('%.3f' % (x - bench.t0)) if x else None
                            for x in (run.preset_t, run.start_t, run.exit_t)),
                run.rc, run.offset, [('%.3f' % (t - bench.t0), d) for t, d in run.keys_sent]))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--log-dir', required=True)
    ap.add_argument('--qmp', required=True)
    ap.add_argument('qemu', nargs=argparse.REMAINDER)
    args = ap.parse_args()
    qemu = args.qemu[1:] if args.qemu[:1] == ['--'] else args.qemu
    os.makedirs(args.log_dir, exist_ok=True)
    # Killed, or left behind by a killed run.sh: unwind through stop_qemu.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG

    bench = Bench(qemu, args.qmp, args.log_dir)
    try:
        bench.start()
        bench.run()
    finally:
        bench.stop_qemu()
    write_logs(bench)

    verdicts = judge(bench)
    gaps = [b[0] - a[0] for a, b in zip(bench.samples, bench.samples[1:])]
    print('port read %d times, every %.0f ms on average, longest gap %.0f ms' % (
        len(bench.samples), 1e3 * sum(gaps) / max(1, len(gaps)), 1e3 * max(gaps or [0])))
    print('QEMU ran %.1f s' % bench.total_s)
    for err in bench.errors:
        print('bench error: %s' % err)
    for v in verdicts:
        print('%s %s' % ('PASS' if not v.failures else 'FAIL', v.name))
        for note in v.notes:
            print('    %s' % note)
        for failure in v.failures:
            print('    FAILED: %s' % failure)
    passed = sum(1 for v in verdicts if not v.failures)
    print('scenarios: %d passed, %d failed' % (passed, len(verdicts) - passed))
    return 0 if passed == len(verdicts) and not bench.errors else 1


if __name__ == '__main__':
    sys.exit(main())
