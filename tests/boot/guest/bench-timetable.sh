#!/bin/bash
# bench-timetable.sh: runs once at boot, just before weekswitch.service, and
# gives it a timetable whose "on" entry is a few seconds ahead: off in force
# at the start, on from then. The host puts a preset on the port meanwhile.
at=$(( $(date +%s) + 8 ))
{
    echo "; written by the boot test"
    echo "mo 00:00:00 0"
    echo "$(date -u -d "@$at" '+%a %H:%M:%S') 1"
} >/etc/weekswitch/week.txt
echo "@@ TIMETABLE at=$at now=$(date +%s.%N)" >/dev/ttyS0
sleep 2
