#!/bin/sh
# guest_scenarios.sh: the guest's half of the LPT1 bench. Runs as root with
# the serial console as controlling terminal. The host (drive.py) answers
# each "@@ READY" with the clock to set, watches the data register from
# outside the machine and types the keys; it also holds the expectations,
# under the same scenario names. Every marker starts with "@@ " so that the
# host finds it amid firmware, kernel and program output.
PROG=/bin/weekswitch

# The guest's wall clock to the microsecond, three times: the host pairs
# each reading with the moment it arrived to map guest time onto its own.
clockMarks() {
    adjtimex
    adjtimex
    adjtimex
}

# The bytes of a file as hex, so the host sees CR LF and all.
dumpFile() {
    echo "@@ FILE $1 $2"
    xxd -p "$3"
    echo "@@ ENDFILE"
}

# Relay boards made with uhid (relay_board): plug NAME ARGS... puts one in,
# which logs what it is sent to /tmp/board-NAME.log; unplug NAME... pulls
# boards out (as SIGTERM does: the device is destroyed); retire NAME...
# pulls them out for good, their logs with them. They are told by their
# pid files, so that a board plugged in by a scenario's background
# commands can be pulled out by the next.
plug() {
    board=$1
    shift
    relay_board -l "/tmp/board-$board.log" "$@" &
    echo $! >"/tmp/board-$board.pid"
}

unplug() {
    for board in "$@"; do
        kill "$(cat "/tmp/board-$board.pid")"
    done
}

retire() {
    unplug "$@"
    boards 0
    for board in "$@"; do
        rm -f "/tmp/board-$board.log" "/tmp/board-$board.pid"
    done
}

# Waits until the kernel shows $1 hidraw nodes: uhid creates and destroys
# them a moment after the board's own request. The guest has no other HID
# device.
boards() {
    tries=0
    while [ "$(ls /sys/class/hidraw | wc -l)" != "$1" ] && [ $tries -lt 50 ]; do
        sleep 0.1
        tries=$((tries + 1))
    done
    [ $tries -lt 50 ] || echo "@@ ERROR $1 hidraw nodes expected: $(ls /sys/class/hidraw)"
}

# Each run's logs hold only what that run sent; the host reads the lines
# (guest times) after the program has ended.
emptyBoardLogs() {
    for log in /tmp/board-*.log; do
        [ ! -f "$log" ] || : >"$log"
    done
}

dumpBoardLogs() {
    for log in /tmp/board-*.log; do
        [ -f "$log" ] || continue
        board=${log#/tmp/board-}
        echo "@@ BOARD ${board%.log}"
        cat "$log"
        echo "@@ ENDBOARD"
    done
}

# Waits for the host's "@go CLOCK" line. Anything typed ahead (a key meant
# for a program that had already ended) lands before "@go" and is cut off.
waitForHost() {
    echo "@@ READY $1"
    read -r line
    clock=${line##*@go }
}

# scenario NAME USER ARGS...: runs the program once as USER; the event file
# is the last argument. Shell commands in $during run in the background
# meanwhile (a board pulled out and put back in while the program runs).
scenario() {
    name=$1
    user=$2
    shift 2
    for file in "$@"; do :; done
    waitForHost "$name"
    date -u -s "$clock" >/dev/null || echo "@@ ERROR date -u -s '$clock'"
    clockMarks
    dumpFile "$name" before "$file"
    ttyBefore=$(stty -g)
    emptyBoardLogs
    if [ -n "$during" ]; then
        (eval "$during") &
        duringPid=$!
    fi
    echo "@@ START $name"
    if [ "$user" = root ]; then
        "$PROG" "$@"
    else
        su -s /bin/sh -c "exec $PROG $*" "$user"
    fi
    rc=$?
    echo
    if [ -n "$during" ]; then
        wait "$duringPid"
        during=
    fi
    if [ "$(stty -g)" = "$ttyBefore" ]; then tty=same; else tty=changed; fi
    echo "@@ EXIT $name rc=$rc tty=$tty"
    clockMarks
    dumpFile "$name" after "$file"
    dumpBoardLogs
    # Nothing else may touch the port while the host makes sure that the
    # value outlives the program.
    echo "@@ HOLD $name"
    read -r line
}

# --- No parallel-port driver in the kernel yet: root reaches LPT1 directly.
cat >/root/evening.txt <<'EOF'
; lights on in the evening
mo 08:00:00 0
mo 17:00:00 1
EOF
scenario root-direct root /root/evening.txt
# A mistyped address must never reach another device (0x64 is the
# keyboard controller): refused, and LPT1 stays as it was.
scenario root-bad-port root -port:0x64 /root/evening.txt

# --- The kernel's driver takes the port, as on a Debian PC; /dev/parport0
# belongs to group lp, as udev sets it up there. The HID modules of the
# relay boards further down load with it.
for m in $(cat /lib/modules/load-order); do
    insmod "/lib/modules/$m.ko" || echo "@@ ERROR insmod $m"
done
chgrp lp /dev/parport0 && chmod 660 /dev/parport0
echo "@@ PARPORT base=$(cut -f1 /proc/sys/dev/parport/parport0/base-addr 2>/dev/null)"

# Every run ends with the lines on, so that a program that cleared them on
# its way out would show.
cp /root/evening.txt /home/alice/evening.txt
chown 1000:1000 /home/alice/evening.txt
scenario user-ppdev alice /home/alice/evening.txt

# Sections [1] to [8], line n on at 17:00:0n-1: the data lines one by one.
{
    echo 'mo 08:00:00 0'
    for n in 1 2 3 4 5 6 7 8; do printf '[%d]\nmo 17:00:%02d 1\n' $n $((n - 1)); done
} >/home/alice/lines.txt
chown 1000:1000 /home/alice/lines.txt
scenario lpt-lines alice /home/alice/lines.txt

cp /root/evening.txt /home/bob/evening.txt
chown 1001:1001 /home/bob/evening.txt
scenario user-no-lp bob /home/bob/evening.txt

printf 'mo 08:00:00 1\n' >/home/alice/learn.txt
chown 1000:1000 /home/alice/learn.txt
scenario learn alice -learn /home/alice/learn.txt

# --- USB relay boards, made with uhid (the modules loaded above): the real
# HID core and hidraw, the board's side emulated. Every run's timetable is
# the evening's; LPT1 must stay untouched throughout.
scenario relay-absent root -relay /root/evening.txt

plug bench
boards 1
scenario relay-switch root -relay /root/evening.txt
# Pulled out before the evening's entry comes into force and put back after
# it, in the same USB port: the board must get the state now in force.
during='sleep 1; unplug bench; sleep 2.5; plug bench'
scenario relay-replug root -relay /root/evening.txt
retire bench

# Four relays, one section each, and a section of line 6, which the board
# lacks: its relays one by one, never one beyond them.
cat >/root/relays.txt <<'EOF'
mo 08:00:00 0
mo 17:00:04 0
[1 a]
mo 17:00:00 1
[2 b]
mo 17:00:01 1
[3 c]
mo 17:00:02 1
[4 d]
mo 17:00:03 1
[6 f]
mo 17:00:00 1
EOF
plug four -n 4
boards 1
scenario relay-lines root -relay /root/relays.txt
retire four

# Relays that never move: the read-back tells, and the write is tried again.
plug stuck -s
boards 1
scenario relay-stuck root -relay /root/evening.txt
retire stuck

plug alpha -i ALPHA
plug bravo -i BRAVO -p usb-0000:00:01.2-2/input0
boards 2
scenario relay-by-id root -relay:BRAVO /root/evening.txt
retire alpha bravo

# Boards that share an ID, as many are sold: the ID names neither, the USB
# port names one.
plug one
plug two -p usb-0000:00:01.2-2/input0
boards 2
scenario relay-same-id root -relay:BENCH /root/evening.txt
scenario relay-by-port root -relay:usb-0000:00:01.2-2 /root/evening.txt
# Replugged in its port, the other of its ID never taken for it meanwhile.
during='sleep 1; unplug one; sleep 2.5; plug one'
scenario relay-port-replug root -relay:usb-0000:00:01.2-1 /root/evening.txt
retire one two

# Chosen by ID, away while one of another ID (control bytes) is in its port.
plug qwe -i QWE12
boards 1
during='sleep 1; unplug qwe; sleep 0.5; plug intruder -i "$(printf "\033[6n\007")"; sleep 2; plug qwe -i QWE12 -p usb-0000:00:01.2-2/input0'
scenario relay-id-intruder root -relay:QWE12 /root/evening.txt
retire qwe intruder

# Gives the host its last look at the port before the machine goes away.
waitForHost poweroff
