#!/usr/bin/env bash
# Runs the built program on each case under cases/ and compares its standard
# output, standard error and exit status with the expected ones, byte for byte.
#
# A case is a folder holding:
#   args      one argument a line (an empty line is an empty argument)
#   stdout, stderr, status   what the program must print and return
#   faketime  optional: the frozen local time (TZ=UTC) the program sees
#   setup     optional: bash script run first, in the case's scratch folder
#             (CASES_DIR names the cases folder, for helpers kept beside it)
#   after     optional: bash script run last there; it fails the case by exiting non-zero
#   stdout-to optional: a path standard output goes to instead (such as
#             /dev/full), or &- to start the program without one; stdout
#             then holds what must reach it, unchecked
# plus any files the program reads. Each case runs in a scratch copy.
set -u
bin=$(realpath "$1")
cases=${2:-$(dirname "$0")}/cases
passed=0 failed=0
libfaketime=$(ls /usr/lib/*/faketime/libfaketime.so.1 2>/dev/null | head -n 1)

run_case() {
    local dir=$1 work status
    work=$(mktemp -d)
    cp -r "$dir"/. "$work"/
    (
        cd "$work" || exit 1
        [ -f setup ] && { CASES_DIR=$cases bash setup || exit 1; }
        mapfile -t args < args
        envs=(TZ=UTC LC_ALL=C)
        if [ -f faketime ]; then
            [ -n "$libfaketime" ] || { echo "libfaketime is not installed"; exit 1; }
            envs+=(LD_PRELOAD="$libfaketime" FAKETIME="$(cat faketime)" FAKETIME_DONT_RESET=1)
            # A sanitizer build wants its runtime first; the preloaded clock is harmless.
            envs+=(ASAN_OPTIONS="${ASAN_OPTIONS:-}${ASAN_OPTIONS:+:}verify_asan_link_order=0")
        fi
        out=actual.stdout
        [ -f stdout-to ] && out=$(cat stdout-to)
        if [ "$out" = "&-" ]; then
            env "${envs[@]}" "$bin" "${args[@]}" >&- 2>actual.stderr </dev/null
        else
            env "${envs[@]}" "$bin" "${args[@]}" >"$out" 2>actual.stderr </dev/null
        fi
        echo $? >actual.status
        [ -f stdout-to ] && cp stdout actual.stdout
        ok=0
        for part in stdout stderr status; do
            if ! cmp -s "$part" "actual.$part"; then
                echo "--- $part differs:"
                diff <(od -c "$part") <(od -c "actual.$part") | head -n 20
                ok=1
            fi
        done
        if [ -f after ] && ! bash after; then
            echo "--- the after-check failed"
            ok=1
        fi
        exit $ok
    ) >"$work.log" 2>&1
    status=$?
    if [ $status -eq 0 ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL: $(basename "$dir")"
        sed 's/^/    /' "$work.log"
    fi
    rm -rf "$work" "$work.log"
}

for dir in "$cases"/*/; do
    run_case "${dir%/}"
done
echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
