# bench-lib.sh: what the QEMU benches (tests/qemu/run.sh, tests/boot/run.sh)
# share: timing, and the rule for a missing tool. Needs PACKAGES and SKIP.

now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }

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
