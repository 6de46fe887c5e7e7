#!/usr/bin/env bash
# Switching does not wait for the terminal: with entries falling due every
# 3 s, the pane's output is stopped for 9 s (flow control, as Scroll Lock
# does on a console) and later flooded with ordinary keys for 9 s, and still
# every entry is written to the port once, within 150 ms of coming into
# force. After output resumes, Escape ends cleanly.
#
# Nor does it wait for the journal or systemd: as root the program runs as
# under the service, its standard error the journal's stream (JOURNAL_STREAM,
# a FIFO nobody reads) and the journal's socket, in a mount namespace of its
# own, one whose reader reads nothing until the switching has been judged,
# and its NOTIFY_SOCKET one whose queue is full from the start (PID 1 busy).
# Then every switching must be in the record, and with the journal's queue
# full SIGTERM must end the program within the end's wait for the journal
# (a second), the terminal put back. The record on disk (STATE_DIRECTORY)
# holds every switching and the end, the journal or not.
. "$(dirname "$0")/lib.sh"

command -v python3 >/dev/null || fail "python3 is not installed"
# 150 ms leaves room for a sanitizer build on a busy machine; an unstalled
# program switches within a few ms.
bound=150

# Monday 12:00:03, 12:00:06, ... 12:01:30: on, off, on, ...
last=90
for ((s = 3; s <= last; s += 3)); do
    printf 'mo 12:%02d:%02d %d\n' $((s / 60)) $((s % 60)) $(((s / 3) % 2))
done > "$work/events.txt"
journal=
if [ "$(id -u)" = 0 ] && unshare -m true 2>/dev/null; then
    journal=$work/journal
    mkdir "$journal"
    mkfifo "$work/stream"
    mkdir "$work/state"
    exec 8<>"$work/stream"
    # The journal's socket: read only while $journal/read exists.
    python3 -c 'import os, socket, sys, time
d = sys.argv[1]
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(d + "/socket")
s.setblocking(False)
n = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
n.bind(d + "/notify")
filler = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
filler.setblocking(False)
try:
    while True:
        filler.sendto(b"STATUS=filler", d + "/notify")
except BlockingIOError:
    pass
with open(d + "/records", "ab") as out:
    while not os.path.exists(d + "/stop"):
        while os.path.exists(d + "/read"):
            try:
                out.write(s.recv(65536) + b"\n")
                out.flush()
            except BlockingIOError:
                break
        time.sleep(0.02)' "$journal" &
    reader=$!
    trap 'touch "$journal/stop"; wait $reader; cleanup' EXIT
    sim_wrapper=(unshare -m sh -c 'mount -t tmpfs none /run && mkdir -p /run/systemd/journal &&
        mount --bind "$0" /run/systemd/journal && exec "$@"' "$journal"
        env JOURNAL_STREAM="$(stat -c %d:%i "$work/stream")" NOTIFY_SOCKET=/run/systemd/journal/notify STATE_DIRECTORY="$work/state")
    sim_stderr=$work/stream
    wait_until 5 "the journal's and systemd's sockets" test -S "$journal/notify"
else
    echo "the journal part needs root (a mount namespace): left out"
fi
start_sim "2026-12-07 12:00:00" events.txt
wait_until 10 "the start" has_port_writes 1

# The clock is shifted by whole seconds, so the shift is the start write's
# stamp less the real time, rounded: real times of what the test does
# become times on the program's clock.
real_ms() {
    date +%s%3N
}
shift_ms=$(($(ms_of "$(port_line 1 | cut -c1-23)") - $(real_ms)))
shift_ms=$(((shift_ms + (shift_ms < 0 ? -500 : 500)) / 1000 * 1000))

tty=$(tmx display -p -t e2e '#{pane_tty}')
flow() {
    python3 -c "import os, sys, termios
termios.tcflow(os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY), getattr(termios, sys.argv[2]))" "$tty" "$1"
}

sleep 1
stop_from=$(real_ms)
flow TCOOFF
sleep 9.5
flow TCOON
stop_to=$(real_ms)

sleep 1
# tmux takes a command of up to 16 KiB; sent as fast as 500 KB/s allows,
# the flood is about 4.5 MB.
letters=$(head -c 16000 /dev/zero | tr '\0' 'x')
sent=0
flood_from=$(real_ms)
while [ $((now = $(real_ms) - flood_from)) -lt 9000 ]; do
    if [ "$sent" -lt $((now * 500)) ]; then
        tmx send-keys -t e2e -l "$letters" || fail "cannot send keys"
        sent=$((sent + ${#letters}))
    else
        sleep 0.01
    fi
done

# Much of the flood is still on its way through tmux. The program has read
# it all when it has read as many bytes (the timetable adds a few); the
# entries falling due until then are in the flood too, and Escape comes
# after it.
program=$(pgrep -P "$(tmx display -p -t e2e '#{pane_pid}')") || fail "the program is not running"
has_read() {
    [ "$(awk '$1 == "rchar:" { print $2 }' "/proc/$program/io")" -ge "$sent" ]
}
wait_until 20 "the program to read the $sent bytes of the key flood" has_read
flood_to=$(real_ms)
echo "$sent bytes of keys sent, all read $((flood_to - flood_from)) ms after the flood began"
sleep 1

# Every entry due while the program ran: one write, of its value, in time.
# All are judged before the verdict, so a failure shows the whole picture.
clock_of() {
    date -d "@$((($1 + shift_ms) / 1000))" +%T
}
echo "output stopped $(clock_of "$stop_from")-$(clock_of "$stop_to"), keys $(clock_of "$flood_from")-$(clock_of "$flood_to")"
stamps=$(cut -c1-23 "$work/port.log" | date -f - +%s%3N)
values=$(cut -c25- "$work/port.log")
start=$(ms_of "2026-12-07 12:00:00")
in_stop=0 in_flood=0 checked=0 wrong=0
for ((s = 3; s <= last; s += 3)); do
    due=$((start + (s + 1) * 1000))
    [ "$due" -le $((flood_to + shift_ms)) ] || break
    entry=$(printf '12:%02d:%02d' $((s / 60)) $((s % 60)))
    value=$([ $(((s / 3) % 2)) = 1 ] && echo 0xFF || echo 0x00)
    writes=$(paste <(echo "$stamps") <(echo "$values") |
        awk -v from="$due" -v to="$((due + 3000))" '$1 >= from && $1 < to')
    count=$(grep -c . <<<"$writes" || true)
    read -r at got <<<"$writes"
    delay=$((${at:-due} - due))
    if [ "$count" != 1 ]; then
        echo "$entry $value: written $count times"
        wrong=$((wrong + 1))
    elif [ "$got" != "$value" ] || [ "$delay" -ge "$bound" ]; then
        echo "$entry $value: wrote $got $delay ms after coming into force"
        wrong=$((wrong + 1))
    else
        echo "$entry $value: after $delay ms"
    fi
    [ "$due" -ge $((stop_from + shift_ms)) ] && [ "$due" -lt $((stop_to + shift_ms)) ] && in_stop=$((in_stop + 1))
    [ "$due" -ge $((flood_from + shift_ms)) ] && [ "$due" -lt $((flood_to + shift_ms)) ] && in_flood=$((in_flood + 1))
    checked=$((checked + 1))
done
[ "$in_stop" -ge 3 ] || fail "only $in_stop entries fell due while output was stopped"
[ "$in_flood" -ge 3 ] || fail "only $in_flood entries fell due in the key flood"
[ "$wrong" = 0 ] || fail "$wrong of $checked entries not switched once within $bound ms ($in_stop due with output stopped, $in_flood in the key flood)"
echo "$checked entries switched once within $bound ms, $in_stop of them with output stopped, $in_flood in the key flood"

if [ -z "$journal" ]; then
    escape_ends_cleanly
    echo "PASS"
    exit 0
fi

# The journal reads again: what waited goes out at the next passes, the
# first In force and every switching, in order.
touch "$journal/read"
sleep 1.5
records=$(grep -c '^WEEKSWITCH_RECORD=' "$journal/records" || true)
in_force=$(grep -c '^MESSAGE=In force: Mon 12:01:30 Off, port 0x00$' "$journal/records" || true)
switched=$(grep -c '^MESSAGE=Switched: Mon 12:0' "$journal/records" || true)
echo "journal: $records records, $in_force In force, $switched Switched, for $(port_writes) port writes"
[ "$in_force" = 1 ] && [ "$switched" = $(($(port_writes) - 1)) ] ||
    fail "the journal holds $in_force In force and $switched Switched records for $(port_writes) port writes"

# A journal that stops reading with its queue full: SIGTERM ends the
# program all the same, after at most the second it gives journald.
rm "$journal/read"
python3 -c 'import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.setblocking(False)
try:
    while True:
        s.sendto(b"MESSAGE=filler\n", sys.argv[1])
except BlockingIOError:
    pass' "$journal/socket"
sent_at=$(real_ms)
kill -TERM "$program"
wait_until 3 "the end after SIGTERM with the journal full" has_ended
echo "SIGTERM ended it $(($(real_ms) - sent_at)) ms after it was sent"
[ "$(cat "$work/status")" = 143 ] || fail "exit status $(cat "$work/status") after SIGTERM"
on_disk=$(tr '\0' '\n' <"$work/state/record" | grep -c '^MESSAGE=Switched: Mon 12:0' || true)
echo "record on disk: $on_disk Switched, $(tr '\0' '\n' <"$work/state/record" | grep -c '^MESSAGE=Ended: signal SIGTERM$') end"
[ "$on_disk" = $(($(port_writes) - 1)) ] && tr '\0' '\n' <"$work/state/record" | grep -q '^MESSAGE=Ended: signal SIGTERM$' ||
    fail "the record on disk holds $on_disk switchings for $(port_writes) port writes, or not the end"
cmp -s "$work/stty.before" "$work/stty.after" ||
    fail "terminal settings changed: $(cat "$work/stty.before") -> $(cat "$work/stty.after")"
echo "PASS"
