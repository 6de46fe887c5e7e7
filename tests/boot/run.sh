#!/bin/bash
# run.sh: proves the Debian package on a real booted Debian system. Builds
# the package from the source tree, installs it with dpkg -i into a bookworm
# root file system made by mmdebstrap, enables the service, boots that system
# under QEMU (systemd as PID 1, udev, the Debian kernel of tests/qemu) with
# the whole root as its initramfs, and checks from outside the machine, by
# reading LPT1's data register through QMP, what the service does with
# nobody logged in (drive.py; the guest's side is guest/). Then it boots the
# same system once more on a machine without a parallel port, and a third
# time, again without one, with a USB relay board (emulated with uhid)
# plugged in at boot for the service to drive.
#
#   run.sh [--source DIR]
#
# The root file system is cached as a tar in
# ${WEEKSWITCH_BOOT_CACHE:-/var/cache/weekswitch-boot}, keyed by its package
# list; the kernel is shared with tests/qemu. Work files and logs:
# ${WEEKSWITCH_BOOT_WORK:-/tmp/weekswitch-boot-UID}.
#
# Exit status: 0 passed, 1 failed, 77 skipped. It needs root (mmdebstrap,
# dpkg in a chroot) and skips only when not root and not CI=true.
set -euo pipefail
export PATH=$PATH:/usr/sbin:/sbin
export LC_ALL=C

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
SOURCE=$(cd "$HERE/../.." && pwd)
WORK=${WEEKSWITCH_BOOT_WORK:-${TMPDIR:-/tmp}/weekswitch-boot-$(id -u)}
CACHE=${WEEKSWITCH_QEMU_CACHE:-/var/cache/weekswitch-qemu}
ROOTCACHE=${WEEKSWITCH_BOOT_CACHE:-/var/cache/weekswitch-boot}
PACKAGES="qemu-system-x86 mmdebstrap cpio zstd kmod python3 dpkg-dev debhelper fakeroot lintian cmake ninja-build g++"
MODULES="parport parport_pc ppdev uhid hid-generic virtio_pci virtio_blk ext4 crc32c_generic"
SUITE=bookworm
# What the guest needs besides the essential packages: systemd and udev, and
# the libraries of the package (dpkg -i does not fetch dependencies).
GUEST_PACKAGES="systemd,systemd-sysv,udev,kmod,libstdc++6,libgcc-s1,libical3"
SKIP=77

while [ $# -gt 0 ]; do
    case $1 in
        --source) SOURCE=$2; shift 2 ;;
        *) echo "usage: $0 [--source DIR]" >&2; exit 2 ;;
    esac
done

. "$HERE/../qemu/bench-lib.sh"
# mirrors, shared with CI's fresh root.
. "$HERE/../../scripts/deps.sh"
T_ALL=$(now)

checkTools() {
    local tool
    [ "$(id -u)" = 0 ] || missing "needs root (mmdebstrap, dpkg -i in a chroot)"
    for tool in qemu-system-x86_64 mmdebstrap cpio zstd depmod modinfo apt-get dpkg-buildpackage dh lintian cmake ninja flock gcc mkfs.ext4 debugfs; do
        command -v "$tool" >/dev/null || missing "$tool not found"
    done
    if [ -x /usr/bin/python3 ]; then PY=/usr/bin/python3; else PY=$(command -v python3) || missing "python3 not found"; fi
}

. "$HERE/../qemu/kernel.sh"

# --- the package, built from the tree in a scratch folder ----------------------

buildPackage() {
    local t
    t=$(now)
    # The unit tests run in the tree's own build; here only the package.
    DEB=$(DEB_BUILD_OPTIONS=nocheck bash "$SOURCE/scripts/package.sh" "$WORK/deb" | tail -1) ||
        fail "the package could not be built"
    echo "package $(basename "$DEB") built in $(since "$t") s"
    # Debian's checks, the man page's groff run among them: not a warning.
    t=$(now)
    if ! lintian --fail-on error,warning "$DEB" >"$WORK/lintian.log" 2>&1; then
        cat "$WORK/lintian.log"
        fail "lintian found errors or warnings in the package"
    fi
    echo "lintian: no errors or warnings ($(since "$t") s)"
}

# The same package under a higher version, for the upgrade in the guest: its
# maintainer scripts and unit are what an upgrade to the next release runs.
upgradePackage() {
    local dir=$WORK/upgrade
    rm -rf "$dir"
    dpkg-deb -R "$DEB" "$dir"
    sed -i 's/^Version: .*/&+upgrade/' "$dir/DEBIAN/control"
    UPGRADE_DEB=$WORK/weekswitch-upgrade.deb
    dpkg-deb -Zgzip -b "$dir" "$UPGRADE_DEB" >/dev/null
    rm -rf "$dir"
}

# --- the root file system ---------------------------------------------------------

baseRoot() {
    local key t
    mkdir -p "$ROOTCACHE" 2>/dev/null && [ -w "$ROOTCACHE" ] || ROOTCACHE=$WORK/cache
    mkdir -p "$ROOTCACHE"
    key=$(echo "$SUITE essential $GUEST_PACKAGES" | sha256sum | cut -c1-12)
    BASE=$ROOTCACHE/$SUITE-$key.tar
    if [ ! -s "$BASE" ]; then
        t=$(now)
        # No documentation, manuals or translations: a smaller initramfs.
        if ! mmdebstrap --format=tar --variant=essential --include="$GUEST_PACKAGES" \
                --aptopt='APT::Install-Recommends "false"' \
                --dpkgopt='path-exclude=/usr/share/man/*' --dpkgopt='path-exclude=/usr/share/doc/*' \
                --dpkgopt='path-include=/usr/share/doc/*/copyright' \
                --dpkgopt='path-exclude=/usr/share/locale/*' --dpkgopt='path-exclude=/usr/share/info/*' \
                "$SUITE" "$BASE.tmp" "$(mirrors)" >"$WORK/mmdebstrap.log" 2>&1; then
            rm -f "$BASE.tmp"
            tail -20 "$WORK/mmdebstrap.log"
            missing "mmdebstrap could not build the $SUITE root (log: $WORK/mmdebstrap.log)"
        fi
        mv "$BASE.tmp" "$BASE"
        # Roots of other package lists are of no more use.
        find "$ROOTCACHE" -maxdepth 1 -name "$SUITE-*.tar" ! -path "$BASE" -delete
        echo "root file system built by mmdebstrap in $(since "$t") s: $BASE ($(du -h "$BASE" | cut -f1 | tail -1))"
    else
        echo "root file system from the cache: $BASE"
    fi
}

# The cached root, the kernel's port modules, the package installed and its
# service enabled, and the bench's own units.
prepareRoot() {
    local root=$WORK/root kver t m
    t=$(now)
    rm -rf "$root"
    mkdir -p "$root"
    tar -C "$root" -xpf "$BASE"
    kver=$(cat "$KDIR/complete"); kver=${kver#linux-image-}
    mkdir -p "$root/lib/modules/$kver/extra"
    for m in $(cat "$KDIR/modules/load-order"); do
        cp "$KDIR/modules/$m.ko" "$root/lib/modules/$kver/extra/"
    done
    touch "$root/lib/modules/$kver/modules.order" "$root/lib/modules/$kver/modules.builtin" \
        "$root/lib/modules/$kver/modules.builtin.modinfo"
    depmod -b "$root" "$kver"
    echo weekswitch-guest >"$root/etc/hostname"
    cp "$DEB" "$root/tmp/"
    chroot "$root" dpkg -i "/tmp/$(basename "$DEB")" >"$WORK/dpkg-i.log" 2>&1 || {
        cat "$WORK/dpkg-i.log"; fail "dpkg -i of the package failed in the guest's root"; }
    rm "$root/tmp/$(basename "$DEB")"
    cp "$UPGRADE_DEB" "$root/var/tmp/weekswitch-upgrade.deb"
    # Enabling names only units that exist: no "non-existent unit" warning.
    chroot "$root" systemctl enable weekswitch.service >"$WORK/enable.log" 2>&1
    cat "$WORK/enable.log" >>"$WORK/dpkg-i.log"
    if grep -Ei 'non-existent|warning' "$WORK/enable.log"; then
        fail "systemctl enable weekswitch.service warned"
    fi
    install -m 755 "$HERE/guest/bench-agent.sh" "$HERE/guest/bench-timetable.sh" "$root/usr/local/bin/"
    install -m 644 "$HERE/guest/bench-agent.service" "$HERE/guest/bench-timetable.service" \
        "$HERE/guest/bench-relay.service" "$root/etc/systemd/system/"
    # The relay board of the boot with bench.relay (the other boots skip it).
    gcc -static -O2 -Wall -o "$root/usr/local/bin/relay_board" "$HERE/../qemu/relay_board.c" >"$WORK/relay_board.log" 2>&1 || {
        cat "$WORK/relay_board.log"; fail "static build of relay_board failed"; }
    chroot "$root" systemctl enable bench-agent.service bench-timetable.service bench-relay.service >>"$WORK/dpkg-i.log" 2>&1
    # The disk of the boots with bench.disk: the journal and the state folders on it.
    install -D -m 755 "$HERE/guest/bench-disk.generator" "$root/etc/systemd/system-generators/bench-disk"
    # The serial line is the bench's: no login prompt on it.
    ln -sf /dev/null "$root/etc/systemd/system/serial-getty@ttyS0.service"
    (cd "$root" && find . | cpio -o -H newc --quiet | zstd -q -T2 -3 >"$WORK/initrd.zst")
    rm -rf "$root"
    echo "guest root prepared in $(since "$t") s: $(du -h "$WORK/initrd.zst" | cut -f1) initramfs"
}

# --- main ---------------------------------------------------------------------------

mkdir -p "$WORK"
exec 9>"$WORK/lock"
flock 9
checkTools
fetchKernel
buildPackage
upgradePackage
baseRoot
prepareRoot

# The disk of the power cut: journal/ and private/ (the state folders of
# DynamicUser services), empty.
rm -rf "$WORK/disk-tree" "$WORK/disk.img"
mkdir -p "$WORK/disk-tree/journal" "$WORK/disk-tree/private"
chmod 700 "$WORK/disk-tree/private"
mkfs.ext4 -q -F -d "$WORK/disk-tree" "$WORK/disk.img" 64M

QMP=$WORK/qmp.sock
rm -f "$QMP"
status=0
# Monday 2026-12-07 12:00 UTC at power-on: far from midnight, so the
# timetable the guest writes never wraps round the week. drive.py boots the
# same machine a second time without its parallel port (the isa-parallel
# device left out), a third time so with bench.relay on the kernel's
# command line and the disk, whose power it cuts, and a fourth time after
# the cut.
# The package's weekswitch-week draws the guest's record on the host.
rm -rf "$WORK/pkg"
dpkg-deb -x "$DEB" "$WORK/pkg"
"$PY" "$HERE/drive.py" --log-dir "$WORK/logs" --qmp "$QMP" --week-tool "$WORK/pkg/usr/bin/weekswitch-week" \
    --disk "$WORK/disk.img" -- \
    qemu-system-x86_64 -M pc -accel tcg -m 1024 -display none -no-reboot -nic none \
    -rtc base=2026-12-07T12:00:00 -monitor none -parallel none \
    -kernel "$KDIR/vmlinuz" -initrd "$WORK/initrd.zst" \
    -append 'console=ttyS0 rdinit=/sbin/init panic=-1 systemd.show_status=1' \
    -serial stdio \
    -chardev null,id=lpt1 -device isa-parallel,chardev=lpt1,iobase=0x378,irq=7 \
    -qmp "unix:$QMP,server=on,wait=off" </dev/null || status=1
rm -f "$QMP"
echo "logs: $WORK/logs (serial.log, port.tsv, vt8-*.ppm, serial-noport.log, serial-relay.log)"
echo "boot test took $(since "$T_ALL") s in all"
exit $status
