# kernel.sh: the guest kernel of the QEMU benches, sourced by tests/qemu/run.sh
# and tests/boot/run.sh: Debian's linux-image-amd64, fetched with apt-get
# download and unpacked with dpkg -x (no maintainer scripts), of which vmlinuz
# and the modules the benches load (the parallel port's, and uhid with the
# HID driver that gives its devices a hidraw node) are kept in $CACHE.
# fetchKernel sets KDIR.
# Needs from the caller: CACHE, WORK, MODULES, and the functions of
# bench-lib.sh (missing, now, since).

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
    # Made aside and put in place at once: a bench of another tree may be
    # reading the one it replaces.
    mkdir -p "$tmp/keep/modules"
    cp "$tmp/root/boot/vmlinuz-$kver" "$tmp/keep/vmlinuz"
    for m in $MODULES; do
        copyModule "$m" "$tmp/root/lib/modules/$kver/kernel" "$tmp/keep/modules" || { rm -rf "$tmp"; return 1; }
    done
    echo "$pkg" >"$tmp/keep/complete"
    [ ! -e "$dir" ] || mv "$dir" "$tmp/old"
    mv "$tmp/keep" "$dir"
    rm -rf "$tmp"
}

# Whether the kernel kept in $1 has every module of MODULES: a cache made
# when the list was shorter is unpacked again.
hasModules() {
    local m
    [ -f "$1/complete" ] || return 1
    for m in $MODULES; do
        grep -qx "$m" "$1/modules/load-order" 2>/dev/null || return 1
    done
}

fetchKernel() {
    local pkg ver t dir
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
        if ! hasModules "$KDIR"; then
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
    if [ -z "$KDIR" ] || ! hasModules "$KDIR"; then
        KDIR=
        for dir in $(find "$CACHE" -mindepth 2 -maxdepth 2 -name complete -printf '%h\n' 2>/dev/null | sort -V); do
            ! hasModules "$dir" || KDIR=$dir
        done
    fi
    [ -n "$KDIR" ] || missing "no Debian kernel package to boot (apt-get download linux-image-amd64 failed; apt-get update?)"
    echo "guest kernel: $(cat "$KDIR/complete") from $KDIR"
}

