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

KIND is a WEEKSWITCH_RECORD value (started, in-force, switched, reread,
learned, ended, ...); ENTRY is "Mon 07:30:00 On" for in-force, switched and
learned; key=value pairs go in as WEEKSWITCH_KEY fields (delay_ms=4200,
port_value=0xFF). The message is the one the program writes.
"""
import calendar
import hashlib
import sys
import time

MESSAGES = {
    'started': lambda e, f: "Started: port 0x378 (/dev/parport0), timetable '/etc/weekswitch/week.txt', 11 entries",
    'in-force': lambda e, f: 'In force: %s, port %s' % (e, f['PORT_VALUE']),
    'switched': lambda e, f: 'Switched: %s, port %s%s' % (e, f['PORT_VALUE'], ', late by %.1f s' % (
        int(f['DELAY_MS']) / 1000) if int(f.get('DELAY_MS', '0')) > 1000 else ''),
    'learned': lambda e, f: 'Learned: %s' % e,
}


def main():
    boot, seq, out = 'a', 0, []
    for line in sys.stdin:
        words = line.split()
        if not words or words[0].startswith('#'):
            continue
        if words[0] == 'boot':
            boot = words[1]
            continue
        stamp = words[0] + ' ' + words[1]
        whole, _, frac = stamp.partition('.')
        usec = calendar.timegm(time.strptime(whole, '%Y-%m-%d %H:%M:%S')) * 10**6 + int((frac + '000000')[:6])
        kind, rest = words[2], words[3:]
        seq += 1
        fields = {'__REALTIME_TIMESTAMP': usec, '__MONOTONIC_TIMESTAMP': seq * 10**6,
                  '_BOOT_ID': hashlib.md5(boot.encode()).hexdigest(), '_HOSTNAME': 'pc'}
        if kind == 'other':
            fields.update(_SYSTEMD_UNIT='systemd-logind.service', SYSLOG_IDENTIFIER='systemd-logind',
                          PRIORITY=6, MESSAGE=' '.join(rest))
        elif kind == 'plain':
            fields.update(_SYSTEMD_UNIT='weekswitch.service', SYSLOG_IDENTIFIER='weekswitch',
                          PRIORITY=6, MESSAGE=' '.join(rest))
        else:
            entry = ' '.join(w for w in rest[:3] if '=' not in w) if kind in ('in-force', 'switched', 'learned') else ''
            extra = {k.upper(): v for k, v in (w.split('=', 1) for w in rest if '=' in w)}
            if kind in ('in-force', 'switched') and 'PORT_VALUE' not in extra:
                extra['PORT_VALUE'] = '0x00' if entry.endswith('Off') else '0xFF'
            message = MESSAGES[kind](entry, extra) if kind in MESSAGES else extra.pop('MESSAGE', kind).replace('_', ' ')
            fields.update(_SYSTEMD_UNIT='weekswitch.service', SYSLOG_IDENTIFIER='weekswitch', PRIORITY=6,
                          MESSAGE=message, WEEKSWITCH_RECORD=kind, WEEKSWITCH_REALTIME_USEC=usec)
            if entry:
                fields['WEEKSWITCH_ENTRY'] = entry
            fields.update({'WEEKSWITCH_' + k: v for k, v in extra.items()})
        out.append(''.join('%s=%s\n' % kv for kv in fields.items()) + '\n')
    sys.stdout.write(''.join(out))


if __name__ == '__main__':
    main()
