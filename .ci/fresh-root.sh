#!/usr/bin/env bash
# fresh-root.sh: what the README promises a fresh Debian 12 machine, tried on
# one. A minimal bookworm root (mmdebstrap --variant=minbase: the essential
# and required packages and apt, nothing of this project's) gets a copy of
# the tree's tracked files, and in it, as root:
#
#   bash scripts/example.sh -check     the first quick-start command, check form
#   bash scripts/example.sh            the same in run form, under script(1) for
#                                      a terminal: Escape once EVENT: shows, status 0
#   bash scripts/package.sh            with its tests: the whole of Build-Depends
#                                      (the boot test builds with nocheck on
#                                      every run, on the host)
#   bash scripts/test.sh -R '^cli$'    the second quick-start command, on one test:
#                                      the host runs the whole suite; here the point
#                                      is that its installs are complete
#
# The package build comes before test.sh, which installs a superset of its
# build dependencies, so that it installs its own itself.
#
# The root is made once and cached as a tar in
# ${WEEKSWITCH_FRESH_CACHE:-/var/cache/weekswitch-fresh}, keyed by its package
# list. apt's downloads are not kept: from the mirror here a run took as long
# without them as with them. Work files and logs:
# ${WEEKSWITCH_FRESH_WORK:-/tmp/weekswitch-fresh-UID}. Needs root, mmdebstrap
# and apt access to a Debian mirror (the host's apt sources are used).
set -euo pipefail
export LC_ALL=C
export PATH=$PATH:/usr/sbin:/sbin

TOP=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$TOP/scripts/deps.sh"
SUITE=bookworm
VARIANT=minbase
CACHE=${WEEKSWITCH_FRESH_CACHE:-/var/cache/weekswitch-fresh}
WORK=${WEEKSWITCH_FRESH_WORK:-${TMPDIR:-/tmp}/weekswitch-fresh-$(id -u)}
ROOT=$WORK/root
TREE=/root/weekswitch

fail() {
    echo "FAIL: $*"
    exit 1
}

[ "$(id -u)" = 0 ] || fail "needs root (mmdebstrap, chroot, mounts)"
for tool in mmdebstrap chroot setpriv unshare mount git; do
    command -v "$tool" >/dev/null || fail "$tool not found"
done

# The mounts live in a mount namespace of their own: if this script is
# killed before its trap can unmount them, they vanish with it rather than
# stay on the host.
if [ -z "${WEEKSWITCH_FRESH_NS:-}" ]; then
    exec env WEEKSWITCH_FRESH_NS=1 unshare --mount --propagation private bash "${BASH_SOURCE[0]}" "$@"
fi

mkdir -p "$WORK" "$CACHE"
exec 9>"$WORK/lock"
flock 9
T_ALL=$SECONDS

# --- the root, and a copy of it to work in -------------------------------------

key=$(echo "$SUITE $VARIANT" | sha256sum | cut -c1-12)
BASE=$CACHE/$SUITE-$VARIANT-$key.tar
if [ ! -s "$BASE" ]; then
    t=$SECONDS
    if ! mmdebstrap --variant="$VARIANT" --format=tar "$SUITE" "$BASE.tmp" "$(mirrors)" \
            >"$WORK/mmdebstrap.log" 2>&1; then
        rm -f "$BASE.tmp"
        tail -20 "$WORK/mmdebstrap.log"
        fail "mmdebstrap could not make the $SUITE root (log: $WORK/mmdebstrap.log)"
    fi
    mv "$BASE.tmp" "$BASE"
    find "$CACHE" -maxdepth 1 -name "$SUITE-*.tar" ! -path "$BASE" -delete
    echo "root made by mmdebstrap in $((SECONDS - t)) s: $BASE"
else
    echo "root from the cache: $BASE"
fi

mounted=()
cleanup() {
    local status=$? pid i
    set +e
    # Whatever still runs in the root was started here: end it by its id.
    for pid in $(ls /proc | grep -E '^[0-9]+$'); do
        [ "$(readlink "/proc/$pid/root" 2>/dev/null)" = "$ROOT" ] && kill -KILL "$pid" 2>/dev/null && sleep 0.1
    done
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" || status=1
    done
    # Never remove the root while anything is mounted in it.
    if grep -q " $ROOT[/ ]" /proc/mounts; then
        echo "FAIL: still mounted in $ROOT, left in place"
        status=1
    else
        rm -rf "$ROOT"
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# mountIn PATH MOUNT-ARGS...: mounts at PATH in the root, for cleanup to undo.
mountIn() {
    local target=$ROOT$1
    shift
    mkdir -p "$target"
    mount "$@" "$target"
    mounted+=("$target")
}

rm -rf "$ROOT"
mkdir -p "$ROOT"
tar -C "$ROOT" -xpf "$BASE"
cp /etc/resolv.conf "$ROOT/etc/resolv.conf"
mountIn /proc -t proc proc
mountIn /dev/pts -t devpts -o newinstance,ptmxmode=0666,mode=0620,gid=5 devpts
ln -sfn pts/ptmx "$ROOT/dev/ptmx"
mountIn /dev/shm -t tmpfs -o mode=1777 tmpfs
mkdir -p "$ROOT$TREE"
git -C "$TOP" ls-files -z | tar -C "$TOP" --null -T - -cf - | tar -C "$ROOT$TREE" -xf -

# Safety: the run form of the program, as root, would write a port it finds
# by direct I/O. Every command here runs without CAP_SYS_RAWIO (dropped from
# the bounding and inheritable sets, so no program started in the root gets
# it back), which ioperm, iopl and /dev/port need, and the root's /dev holds
# no /dev/parport* (nor /dev/port): the program can only warn and run on
# without port output.
inRoot() {
    setpriv --bounding-set=-sys_rawio --inh-caps=-sys_rawio \
        chroot "$ROOT" env -i HOME=/root TERM=xterm LANG=C.UTF-8 \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
}
ls "$ROOT"/dev/parport* "$ROOT/dev/port" >/dev/null 2>&1 && fail "the root's /dev has a port node"
caps=$(inRoot sh -c 'grep -E "^Cap(Prm|Eff|Bnd|Amb):" /proc/self/status' | awk '{ print $2 }')
for c in $caps; do
    (( (0x$c >> 17) & 1 )) && fail "CAP_SYS_RAWIO is not dropped in the root: $caps"
done
[ -n "$caps" ] || fail "the capabilities in the root could not be read"

# step NAME COMMAND...: runs COMMAND in the tree in the root, its output in
# $WORK/NAME.log, and reports its time.
step() {
    local name=$1 t=$SECONDS status=0
    shift
    # In the background, so that a signal ends this script at once.
    inRoot sh -c 'cd "$0" && exec "$@"' "$TREE" timeout 1200 "$@" >"$WORK/$name.log" 2>&1 &
    wait $! || status=$?
    if [ "$status" -ne 0 ]; then
        tail -30 "$WORK/$name.log"
        fail "$* in a fresh root: status $status (log: $WORK/$name.log)"
    fi
    echo "PASS $* ($((SECONDS - t)) s)"
}

# --- the commands -----------------------------------------------------------------

step example-check bash scripts/example.sh -check

# Run form: a terminal from script(1), its keys from a pipe. Escape once the
# program shows the entry in force.
t=$SECONDS
rm -f "$WORK/keys"
mkfifo "$WORK/keys"
exec 7<>"$WORK/keys"
inRoot sh -c 'cd "$0" && exec script -qfec "bash scripts/example.sh" /dev/null' "$TREE" \
    <&7 >"$WORK/example-run.log" 2>&1 &
pid=$!
for ((i = 0; i < 1200; i++)); do
    grep -q 'EVENT:' "$WORK/example-run.log" && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.5
done
grep -q 'EVENT:' "$WORK/example-run.log" || { tail -c 2000 "$WORK/example-run.log"; fail "bash scripts/example.sh showed no EVENT: line"; }
kill -0 "$pid" 2>/dev/null || fail "bash scripts/example.sh ended before Escape"
printf '\033' >&7
for ((i = 0; i < 100; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.2
done
kill -0 "$pid" 2>/dev/null && fail "bash scripts/example.sh did not end on Escape"
status=0
wait "$pid" || status=$?
exec 7>&-
rm -f "$WORK/keys"
[ "$status" -eq 0 ] || { tail -c 2000 "$WORK/example-run.log"; fail "bash scripts/example.sh ended with status $status on Escape"; }
echo "PASS bash scripts/example.sh: EVENT: shown, Escape ends it with status 0 ($((SECONDS - t)) s)"

step package bash scripts/package.sh
step test-cli bash scripts/test.sh -R '^cli$'
grep -q '100% tests passed' "$WORK/test-cli.log" || fail "scripts/test.sh ran no test (log: $WORK/test-cli.log)"
echo "fresh root: the quick start and the package build passed in $((SECONDS - T_ALL)) s"
