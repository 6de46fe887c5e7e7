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

# Waits for the host's "@go CLOCK" line. Anything typed ahead (a key meant
# for a program that had already ended) lands before "@go" and is cut off.
waitForHost() {
    echo "@@ READY $1"
    read -r line
    clock=${line##*@go }
}

# scenario NAME USER ARGS...: runs the program once as USER; the event file
# is the last argument.
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
    echo "@@ START $name"
    if [ "$user" = root ]; then
        "$PROG" "$@"
    else
        su -s /bin/sh -c "exec $PROG $*" "$user"
    fi
    rc=$?
    echo
    if [ "$(stty -g)" = "$ttyBefore" ]; then tty=same; else tty=changed; fi
    echo "@@ EXIT $name rc=$rc tty=$tty"
    clockMarks
    dumpFile "$name" after "$file"
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
# belongs to group lp, as udev sets it up there.
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

cp /root/evening.txt /home/bob/evening.txt
chown 1001:1001 /home/bob/evening.txt
scenario user-no-lp bob /home/bob/evening.txt

printf 'mo 08:00:00 1\n' >/home/alice/learn.txt
chown 1000:1000 /home/alice/learn.txt
scenario learn alice -learn /home/alice/learn.txt

# Gives the host its last look at the port before the machine goes away.
waitForHost poweroff
