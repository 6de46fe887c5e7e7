#!/bin/bash
# bench-timetable.sh: runs once at boot, just before weekswitch.service, and
# gives it a timetable whose "on" entry lies ahead: off in force at the
# start, on from then. The lead covers the service's start on a busy host.
echo "@@ PRESET" >/dev/ttyS0
sleep 1    # the host puts its preset on the port meanwhile
at=$(( $(date +%s) + 12 ))
{
    echo "; written by the boot test"
    echo "mo 00:00:00 0"
    echo "$(date -u -d "@$at" '+%a %H:%M:%S') 1"
} >/etc/weekswitch/week.txt
echo "@@ TIMETABLE at=$at now=$(date +%s.%N)" >/dev/ttyS0
