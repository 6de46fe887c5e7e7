#!/usr/bin/env python3
"""record.py: a service's record, written short, as journal export text.

Reads lines from standard input and writes what `journalctl -o export`
would print for them, ready for systemd-journal-remote to make a journal
file of. Times are UTC. A line is one of:

  boot NAME                           later entries are made in this boot
  DATE TIME KIND [ENTRY] [key=value]  a record of weekswitch.service
  DATE TIME other TEXT                an entry of another unit (the boot goes on)
  DATE TIME plain TEXT                a line of the service without fields (as an
                                      older weekswitch wrote to standard error)
  disk DATE TIME KIND ...             a record only in the service's record on
                                      disk (the journal lost it); both: in each;
                                      disk DATE TIME alive: its sign of life. The
                                      others are numbered there too, but gone

KIND is a WEEKSWITCH_RECORD value (started, in-force, switched, reread,
learned, ended, ...); ENTRY is "Mon 07:30:00 On" for in-force, switched and
learned; key=value pairs go in as WEEKSWITCH_KEY fields (delay_ms=4200,
port_value=0xFF, lost_from_usec=@2026-12-08_12:00:01 for a time, previous_boot_id=a
for a boot, message with
\x1b and \n escapes: a value with a line end goes in binary form). The message
is the one the program writes. With --disk FILE the record on disk is written.
"""
import calendar
import codecs
import hashlib
import struct
import sys
import time

MESSAGES = {
    'started': lambda e, f: "Started: port 0x378 (/dev/parport0), timetable '/etc/weekswitch/week.txt', 11 entries",
    'in-force': lambda e, f: 'In force: %s, port %s' % (e, f['PORT_VALUE']),
    'switched': lambda e, f: 'Switched: %s, port %s%s' % (e, f['PORT_VALUE'], ', late by %.1f s' % (
        int(f['DELAY_MS']) / 1000) if int(f.get('DELAY_MS', '0')) > 1000 else ''),
    'learned': lambda e, f: 'Learned: %s' % e,
}


def usec_of(stamp):
    whole, _, frac = stamp.partition('.')
    return calendar.timegm(time.strptime(whole, '%Y-%m-%d %H:%M:%S')) * 10**6 + int((frac + '000000')[:6])


def field(name, value):
    value = str(value).encode('utf-8', 'surrogateescape')
    if b'\n' in value:
        return name.encode() + b'\n' + struct.pack('<Q', len(value)) + value + b'\n'
    return name.encode() + b'=' + value + b'\n'


def fnv(data):
    h = 1469598103934665603
    for c in data:
        h = ((h ^ c) * 1099511628211) % 2**64
    return b'CHECK=%016x\n' % h


def write_disk(path, records, alive):
    """The service's record on disk: a head block with the sign of life, then slots."""
    blocks = [b'weekswitch durable record 1\n', b''] + [b''] * 256
    if alive:
        blocks[1] = alive
    for n, text in records:
        body = b'SEQ=%d\n' % n + text
        blocks[2 + n % 256] = body + fnv(body)
    head = blocks[0] + (blocks[1] + fnv(blocks[1]) if alive else b'')
    with open(path, 'wb') as f:
        f.write(head.ljust(1024, b'\0') + b''.join(b.ljust(1024, b'\0') for b in blocks[2:]))


def main():
    boot, seq, out, disk, alive = 'a', 0, [], [], b''
    for line in sys.stdin:
        words = line.split()
        if not words or words[0].startswith('#'):
            continue
        if words[0] == 'boot':
            boot = words[1]
            continue
        where = words.pop(0) if words[0] in ('disk', 'both') else 'journal'
        usec = usec_of(words[0] + ' ' + words[1])
        kind, rest = words[2], [codecs.decode(w, 'unicode_escape') if '\\' in w else w for w in words[3:]]
        rest = [w.split('=', 1)[0] + '=' + str(usec_of(w.split('=@', 1)[1].replace('_', ' ')))
                if '=@' in w else w for w in rest]
        rest = ['previous_boot_id=' + hashlib.md5(w[17:].encode()).hexdigest()  # a boot by its name
                if w.startswith('previous_boot_id=') else w for w in rest]
        who = {'_BOOT_ID': hashlib.md5(boot.encode()).hexdigest(), '_PID': 400 + ord(boot[0])}
        if kind == 'alive':
            alive = b''.join(field(k, v) for k, v in [('WEEKSWITCH_RECORD', 'alive'),
                                                      ('WEEKSWITCH_REALTIME_USEC', usec)] + list(who.items()))
            continue
        seq += 1
        fields = {'__REALTIME_TIMESTAMP': usec, '__MONOTONIC_TIMESTAMP': seq * 10**6,
                  '_BOOT_ID': who['_BOOT_ID'], '_HOSTNAME': 'pc'}
        if kind == 'other':
            fields.update(_SYSTEMD_UNIT='systemd-logind.service', SYSLOG_IDENTIFIER='systemd-logind',
                          PRIORITY=6, MESSAGE=' '.join(rest))
            if fields['MESSAGE'].startswith('System is '):  # the shutdown, as logind says it
                fields['MESSAGE_ID'] = '98268866d1d54a499c4e98921d93bc40'
        elif kind == 'plain':
            fields.update(_SYSTEMD_UNIT='weekswitch.service', SYSLOG_IDENTIFIER='weekswitch',
                          PRIORITY=6, MESSAGE=' '.join(rest))
        else:
            entry = ' '.join(w for w in rest if '=' not in w) if kind in ('in-force', 'switched', 'learned') else ''
            extra = {k.upper(): v for k, v in (w.split('=', 1) for w in rest if '=' in w)}
            if kind in ('in-force', 'switched') and 'PORT_VALUE' not in extra:
                extra['PORT_VALUE'] = '0xFF' if entry.endswith('On') else '0x00'
            message = MESSAGES[kind](entry, extra) if kind in MESSAGES else extra.pop('MESSAGE', kind).replace('_', ' ')
            fields.update(_SYSTEMD_UNIT='weekswitch.service', SYSLOG_IDENTIFIER='weekswitch', PRIORITY=6,
                          MESSAGE=message, WEEKSWITCH_RECORD=kind, WEEKSWITCH_REALTIME_USEC=usec)
            if entry:
                fields['WEEKSWITCH_ENTRY'] = entry
            fields.update({'WEEKSWITCH_' + k: v for k, v in extra.items()})
        if where != 'disk':
            out.append(b''.join(field(k, v) for k, v in fields.items()) + b'\n')
        if where != 'journal':
            kept = [kv for kv in fields.items() if kv[0].startswith('WEEKSWITCH_') or kv[0] == 'MESSAGE']
            disk.append((seq, b''.join(field(k, v) for k, v in list(who.items()) + kept)))
    sys.stdout.buffer.write(b''.join(out))
    if sys.argv[1:2] == ['--disk']:
        write_disk(sys.argv[2], disk, alive)


if __name__ == '__main__':
    main()
