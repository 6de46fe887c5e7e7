#!/bin/bash
# run.sh: proves the program on a real kernel. Boots a small Linux guest under
# QEMU (software emulation) whose LPT1 sits at 0x378, runs the real, statically
# linked weekswitch there, and checks from outside the machine what reaches the
# port's data register (drive.py; the guest's side is guest_scenarios.sh).
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
PACKAGES="qemu-system-x86 busybox-static cpio kmod python3 tzdata"
ZONE=/usr/share/zoneinfo/Europe/Berlin
MODULES="parport parport_pc ppdev"
SKIP=77

while [ $# -gt 0 ]; do
    case $1 in
        --program) PROGRAM=$2; shift 2 ;;
        --source) SOURCE=$2; shift 2 ;;
        --build-dir) BUILD=$2; shift 2 ;;
        *) echo "usage: $0 [--program STATIC-WEEKSWITCH] [--source DIR] [--build-dir DIR]" >&2; exit 2 ;;
    esac
done

now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }
T_ALL=$(now)

# Something the bench needs is not there: skip where a developer could not
# have installed it, fail everywhere else.
missing() {
    if [ "${CI:-}" = true ]; then
        echo "FAIL: $1 (with CI=true this test never skips)"
        echo "  install: apt-get install -y --no-install-recommends $PACKAGES"
        exit 1
    fi
    if [ "$(id -u)" != 0 ]; then
        echo "SKIP: $1"
        exit $SKIP
    fi
    echo "FAIL: $1"
    echo "  as root: apt-get install -y --no-install-recommends $PACKAGES"
    exit 1
}

fail() {
    echo "FAIL: $1"
    exit 1
}

checkTools() {
    local tool
    for tool in qemu-system-x86_64 busybox cpio gzip modinfo apt-get apt-cache dpkg flock; do
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

# --- the guest kernel: vmlinuz and the parallel-port modules, cached -----------

kernelPackage() {
    apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ { print $2; exit }'
}

# Copies module $1 and, first, the modules it depends on, uncompressed, and
# lists them in load order.
copyModule() {
    local name=$1 tree=$2 out=$3 file dep
    grep -qx "$name" "$out/load-order" 2>/dev/null && return 0
    file=$(find "$tree" \( -name "$name.ko" -o -name "$name.ko.xz" -o -name "$name.ko.zst" -o -name "$name.ko.gz" \) | head -1)
    [ -n "$file" ] || { echo "module $name not in the kernel package"; return 1; }
    case $file in
        *.ko) cp "$file" "$out/$name.ko" ;;
        *.xz) xz -dc "$file" >"$out/$name.ko" ;;
        *.zst) zstd -qdc "$file" >"$out/$name.ko" ;;
        *.gz) gzip -dc "$file" >"$out/$name.ko" ;;
    esac
    for dep in $(modinfo -F depends "$out/$name.ko" | tr ',' ' '); do
        copyModule "$dep" "$tree" "$out" || return 1
    done
    echo "$name" >>"$out/load-order"
}

# Fetches package $1 and keeps of it only what the guest boots with, in $2.
unpackKernel() {
    local pkg=$1 dir=$2 tmp kver m
    kver=${pkg#linux-image-}
    tmp=$(mktemp -d "$CACHE/unpack.XXXXXX")
    (cd "$tmp" && apt-get download -q "$pkg" >"$tmp/download.log" 2>&1) || {
        cat "$tmp/download.log"; rm -rf "$tmp"; return 1; }
    dpkg -x "$tmp"/*.deb "$tmp/root"
    rm -rf "$dir"
    mkdir -p "$dir/modules"
    cp "$tmp/root/boot/vmlinuz-$kver" "$dir/vmlinuz"
    for m in $MODULES; do
        copyModule "$m" "$tmp/root/lib/modules/$kver/kernel" "$dir/modules" || { rm -rf "$tmp"; return 1; }
    done
    echo "$pkg" >"$dir/complete"
    rm -rf "$tmp"
}

fetchKernel() {
    local pkg ver t
    mkdir -p "$CACHE" 2>/dev/null && [ -w "$CACHE" ] || CACHE=$WORK/cache
    mkdir -p "$CACHE"
    pkg=$(kernelPackage)
    if [ -z "$pkg" ] && [ "$(id -u)" = 0 ]; then
        apt-get update -q >"$WORK/apt-update.log" 2>&1 || true
        pkg=$(kernelPackage)
    fi
    KDIR=
    if [ -n "$pkg" ]; then
        ver=$(apt-cache policy "$pkg" | awk '/Candidate:/ { print $2 }')
        KDIR=$CACHE/$pkg-${ver//:/_}
        if [ ! -f "$KDIR/complete" ]; then
            t=$(now)
            if unpackKernel "$pkg" "$KDIR"; then
                echo "kernel $pkg $ver fetched and unpacked in $(since "$t") s"
                # Older kernels of earlier runs are of no more use.
                find "$CACHE" -mindepth 1 -maxdepth 1 -name 'linux-image-*' ! -path "$KDIR" -exec rm -rf {} +
            else
                rm -rf "$KDIR"
                KDIR=
            fi
        fi
    fi
    # Offline: the newest kernel an earlier run cached will do.
    if [ -z "$KDIR" ] || [ ! -f "$KDIR/complete" ]; then
        KDIR=$(find "$CACHE" -mindepth 2 -maxdepth 2 -name complete -printf '%h\n' 2>/dev/null | sort -V | tail -1)
    fi
    [ -n "$KDIR" ] || missing "no Debian kernel package to boot (apt-get download linux-image-amd64 failed; apt-get update?)"
    echo "guest kernel: $(cat "$KDIR/complete") from $KDIR"
}

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
