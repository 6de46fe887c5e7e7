# lib.sh: what the end-to-end tests share. Sourced, not run.
#
# Each test runs weekswitch-sim in a pane of its own tmux server (a private
# socket; the server is killed on every way out), with the local clock set by
# libfaketime and the port bytes recorded in $work/port.log. Keys go in through
# `tmux send-keys`, so they arrive as a terminal sends them.

set -u

sim=$(realpath "$1")
work=$(mktemp -d)
libfaketime=$(ls /usr/lib/*/faketime/libfaketime.so.1 2>/dev/null | head -n 1)
export TZ=Europe/Berlin LC_ALL=C

# The server's socket lives in the scratch folder and goes with it.
tmx() {
    tmux -S "$work/tmux.sock" "$@"
}

cleanup() {
    tmx kill-server 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*"
    echo "--- screen:"
    tmx capture-pane -p -t e2e 2>/dev/null | sed '/^$/d'
    echo "--- port log:"
    cat "$work/port.log" 2>/dev/null
    exit 1
}

command -v tmux >/dev/null || fail "tmux is not installed"
[ -n "$libfaketime" ] || fail "libfaketime is not installed (Debian package faketime)"

# Words the pane puts before the program (a wrapper such as unshare), and
# where it sends the program's standard error: none by default.
sim_wrapper=()
sim_stderr=

# start_sim START ARGS...: runs weekswitch-sim ARGS in a new pane with the
# clock starting within a second after START (local time, "YYYY-MM-DD
# hh:mm:ss"). The clock is shifted by whole seconds, so its fraction is the
# real clock's: the passes meet second boundaries at any phase, not always
# the same. The pane saves the terminal settings before and after, and the
# exit status.
start_sim() {
    local offset=$(($(date -d "$1" +%s) - $(date +%s)))
    shift
    [ "$offset" -ge 0 ] && offset="+$offset"
    {
        echo "cd $(printf %q "$work")"
        echo "stty -g > stty.before"
        [ ${#sim_wrapper[@]} -eq 0 ] || printf '%q ' "${sim_wrapper[@]}"
        printf 'env WEEKSWITCH_SIM_PORT_LOG=port.log LD_PRELOAD=%q FAKETIME=%q' "$libfaketime" "$offset"
        printf ' ASAN_OPTIONS=%q' "${ASAN_OPTIONS:-}${ASAN_OPTIONS:+:}verify_asan_link_order=0"
        printf ' %q' "$sim" "$@"
        [ -z "$sim_stderr" ] || printf ' 2>%q' "$sim_stderr"
        echo
        # A prompt without a line end, as shells print it.
        echo "status=\$?; printf 'shell\$ '; echo \$status > status"
        echo "stty -g > stty.after"
    } > "$work/pane.sh"
    printf 'set -g remain-on-exit on\nset -s escape-time 0\n' > "$work/tmux.conf"
    tmx -f "$work/tmux.conf" new-session -d -s e2e -x 100 -y 40 "bash --noprofile --norc $work/pane.sh" ||
        fail "cannot start tmux"
}

# wait_until SECONDS WHAT COMMAND...: polls COMMAND every 50 ms.
wait_until() {
    local seconds=$1 what=$2 tries
    shift 2
    for ((tries = seconds * 20; tries > 0; tries--)); do
        "$@" && return 0
        sleep 0.05
    done
    fail "timed out waiting for $what"
}

port_writes() {
    [ -f "$work/port.log" ] && wc -l < "$work/port.log" || echo 0
}

has_port_writes() {
    [ "$(port_writes)" -ge "$1" ]
}

screen_has() {
    tmx capture-pane -p -t e2e -S - | grep -qF -- "$1"
}

has_ended() {
    [ -s "$work/status" ] && [ -s "$work/stty.after" ]
}

# port_line N: the Nth line of the port log.
port_line() {
    sed -n "${1}p" "$work/port.log"
}

# ms_of "YYYY-MM-DD hh:mm:ss.mmm": milliseconds since the epoch, local time.
ms_of() {
    date -d "$1" +%s%3N
}

# Presses Escape and checks the program ended with status 0 and left the
# terminal as it found it.
escape_ends_cleanly() {
    tmx send-keys -t e2e Escape
    wait_until 5 "the end after Escape" has_ended
    [ "$(cat "$work/status")" = 0 ] || fail "exit status $(cat "$work/status") after Escape"
    cmp -s "$work/stty.before" "$work/stty.after" ||
        fail "terminal settings changed: $(cat "$work/stty.before") -> $(cat "$work/stty.after")"
    screen_has "ERROR:  allocCnt" && fail "records left allocated"
    tmx capture-pane -p -t e2e | grep -qx 'shell\$' || fail "the prompt is not on a line of its own"
    return 0
}
