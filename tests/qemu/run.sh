#!/bin/bash
# run.sh: proves the program on a real kernel. Boots a small Linux guest under
# QEMU (software emulation) whose LPT1 sits at 0x378, runs the real, statically
# linked weekswitch there, and checks from outside the machine what reaches the
# port's data register (drive.py; the guest's side is guest_scenarios.sh).
# It also drives USB relay boards that relay_board.c makes with the kernel's
# uhid: what each board was sent, with the guest's time, comes back from
# the guest's logs.
#
#   run.sh [--program STATIC-WEEKSWITCH] [--source DIR] [--build-dir DIR]
#
# Without --program the static program is built from the source tree (default:
# the one this script is in) into --build-dir. The guest kernel is Debian's
# linux-image-amd64, fetched with apt-get download and unpacked with dpkg -x
# (no maintainer scripts), cached in ${WEEKSWITCH_QEMU_CACHE:-/var/cache/weekswitch-qemu}.
# Work files and logs: ${WEEKSWITCH_QEMU_WORK:-/tmp/weekswitch-qemu-UID}.
#
# Exit status: 0 passed, 1 failed, 77 skipped. It skips only when a tool is
# missing and it is not root (root can install it); with CI=true it never
# skips.
set -euo pipefail
export PATH=$PATH:/usr/sbin:/sbin
export LC_ALL=C

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
SOURCE=$(cd "$HERE/../.." && pwd)
PROGRAM=
BUILD=
WORK=${WEEKSWITCH_QEMU_WORK:-${TMPDIR:-/tmp}/weekswitch-qemu-$(id -u)}
CACHE=${WEEKSWITCH_QEMU_CACHE:-/var/cache/weekswitch-qemu}
PACKAGES="qemu-system-x86 busybox-static cpio kmod python3 tzdata gcc libc6-dev"
ZONE=/usr/share/zoneinfo/Europe/Berlin
MODULES="parport parport_pc ppdev uhid hid-generic"
SKIP=77

while [ $# -gt 0 ]; do
    case $1 in
        --program) PROGRAM=$2; shift 2 ;;
        --source) SOURCE=$2; shift 2 ;;
        --build-dir) BUILD=$2; shift 2 ;;
        *) echo "usage: $0 [--program STATIC-WEEKSWITCH] [--source DIR] [--build-dir DIR]" >&2; exit 2 ;;
    esac
done

. "$HERE/bench-lib.sh"
T_ALL=$(now)

checkTools() {
    local tool
    for tool in qemu-system-x86_64 busybox cpio gzip modinfo apt-get apt-cache dpkg flock gcc; do
        command -v "$tool" >/dev/null || missing "$tool not found"
    done
    # The guest has no libraries: its busybox must be the static build.
    if ldd "$(command -v busybox)" >/dev/null 2>&1; then
        missing "busybox is dynamically linked (the guest needs busybox-static)"
    fi
    [ -f "$ZONE" ] || missing "$ZONE not found (tzdata)"
    if [ -x /usr/bin/python3 ]; then PY=/usr/bin/python3; else PY=$(command -v python3) || missing "python3 not found"; fi
    if [ -z "$PROGRAM" ]; then
        command -v cmake >/dev/null || missing "cmake not found"
    fi
}

# --- the guest kernel: vmlinuz, the parallel-port and uhid modules, cached ----
. "$HERE/kernel.sh"

# --- the program --------------------------------------------------------------

buildProgram() {
    local t gen=()
    BUILD=${BUILD:-$WORK/build-static}
    command -v ninja >/dev/null && [ ! -f "$BUILD/CMakeCache.txt" ] && gen=(-G Ninja)
    t=$(now)
    # A plain static build, whatever flags the calling build was made with
    # (sanitizers do not link statically).
    if ! env -u CXXFLAGS -u CFLAGS -u LDFLAGS cmake -S "$SOURCE" -B "$BUILD" "${gen[@]}" \
            -DWEEKSWITCH_STATIC=ON -DBUILD_TESTING=OFF >"$WORK/build.log" 2>&1 ||
       ! env -u CXXFLAGS -u CFLAGS -u LDFLAGS cmake --build "$BUILD" --target weekswitch >>"$WORK/build.log" 2>&1; then
        tail -40 "$WORK/build.log"
        fail "static build of weekswitch failed (log: $WORK/build.log)"
    fi
    PROGRAM=$BUILD/weekswitch
    echo "static weekswitch built in $(since "$t") s: $PROGRAM"
}

# The emulated relay board, static like everything in the guest.
buildRelayBoard() {
    BOARD=$WORK/relay_board
    gcc -static -O2 -Wall -o "$BOARD" "$HERE/relay_board.c" >"$WORK/relay_board.log" 2>&1 || {
        cat "$WORK/relay_board.log"; fail "static build of relay_board failed (libc6-dev?)"; }
}

# --- the guest's root file system ---------------------------------------------

buildInitramfs() {
    local root=$WORK/initrd applet
    rm -rf "$root"
    mkdir -p "$root"/bin "$root"/dev "$root"/proc "$root"/sys "$root"/etc "$root"/lib/modules
    cp "$(command -v busybox)" "$root/bin/busybox"
    for applet in $(busybox --list); do
        [ -e "$root/bin/$applet" ] || ln -s busybox "$root/bin/$applet"
    done
    cp "$PROGRAM" "$root/bin/weekswitch"
    cp "$BOARD" "$root/bin/relay_board"
    cp "$ZONE" "$root/etc/localtime"
    cp "$KDIR"/modules/* "$root/lib/modules/"
    cp "$HERE/guest_init.sh" "$root/init"
    cp "$HERE/guest_scenarios.sh" "$root/scenarios.sh"
    chmod 755 "$root/init" "$root/scenarios.sh"
    (cd "$root" && find . | cpio -o -H newc -R 0:0 --quiet | gzip -1 >"$WORK/initrd.gz")
}

# --- main ---------------------------------------------------------------------

mkdir -p "$WORK"
exec 9>"$WORK/lock"
flock 9    # one bench at a time: they share the work folder and the CPU
checkTools
fetchKernel
if [ -n "$PROGRAM" ]; then
    [ -x "$PROGRAM" ] || fail "$PROGRAM is not a program"
else
    buildProgram
fi
if ldd "$PROGRAM" >/dev/null 2>&1; then
    fail "$PROGRAM is dynamically linked; the guest has no libraries (build with -DWEEKSWITCH_STATIC=ON)"
fi
buildRelayBoard
buildInitramfs

QMP=$WORK/qmp.sock
rm -f "$QMP"
status=0
"$PY" "$HERE/drive.py" --log-dir "$WORK/logs" --qmp "$QMP" -- \
    qemu-system-x86_64 -M pc -accel tcg -m 256 -nodefaults -display none -no-reboot \
    -kernel "$KDIR/vmlinuz" -initrd "$WORK/initrd.gz" -append 'console=ttyS0 quiet panic=-1' \
    -serial stdio \
    -chardev null,id=lpt1 -device isa-parallel,chardev=lpt1,iobase=0x378,irq=7 \
    -qmp "unix:$QMP,server=on,wait=off" </dev/null || status=1
rm -f "$QMP"
echo "logs: $WORK/logs (serial.log, port.tsv, markers.txt)"
echo "qemu_lpt took $(since "$T_ALL") s in all"
exit $status
