#!/bin/sh
# guest_init.sh: /init of the small Linux guest that the LPT1 bench boots.
# It sets up the few files a real system would have (users, the lp group, a
# home for each user), then runs the scenarios with the serial console as
# their controlling terminal, so that the program reads its keys from
# /dev/tty exactly as on a PC, and powers off when they are done.
export PATH=/bin
mount -t devtmpfs devtmpfs /dev
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mkdir -p /tmp /root /home/alice /home/bob

# alice switches the port through the kernel driver as a member of lp;
# bob is an ordinary user without that group.
cat >/etc/passwd <<'EOF'
root:x:0:0:root:/root:/bin/sh
alice:x:1000:1000:alice:/home/alice:/bin/sh
bob:x:1001:1001:bob:/home/bob:/bin/sh
EOF
cat >/etc/group <<'EOF'
root:x:0:
lp:x:7:alice
alice:x:1000:
bob:x:1001:
EOF
echo /bin/sh >/etc/shells
chown 1000:1000 /home/alice
chown 1001:1001 /home/bob

echo "@@ BOOTED uptime=$(cut -d' ' -f1 /proc/uptime) zone=$(date +%Z)"
# cttyhack opens the real console device (ttyS0) in the new session, which
# makes it the controlling terminal; /dev/console never can be one.
setsid cttyhack sh /scenarios.sh
echo "@@ DONE"
poweroff -f
