#!/usr/bin/env bash
# switch-delay.sh WEEKSWITCH_SIM [WEEKSWITCH_SIM ...]: how soon run mode
# follows the clock and the keys, at the real clock (no libfaketime: its
# speed-up scales some waits and not others). For each binary, in a tmux pane
# of a private server:
#   - switching: a timetable of on/off entries 2 s apart for the next minute;
#     for each change, the port write's delay after the start of the second in
#     which its entry comes into force (an entry at hh:mm:ss at hh:mm:ss+1);
#   - the clock line: in a quiet stretch, how long after a second's start the
#     pane's output shows it (stamped as tmux hands the output on);
#   - F5: 5 presses at stepped phases of a 300 ms pass, from the send to the
#     port write that follows every re-read;
#   - Escape: 5 presses, the program started afresh for each, from the send
#     to the end of the process.
# All times are epoch milliseconds; the program and the timetable run in UTC
# so that the port log's local stamps are UTC too and no clock change falls
# into the run.
#
#   bash bench/switch-delay.sh build-before/weekswitch-sim build-rel/weekswitch-sim
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: $0 WEEKSWITCH_SIM [WEEKSWITCH_SIM ...]" >&2; exit 2; }
command -v tmux >/dev/null || { echo "tmux is not installed" >&2; exit 1; }
command -v perl >/dev/null || { echo "perl is not installed" >&2; exit 1; }
export LC_ALL=C TZ=UTC
work=$(mktemp -d)
changes=28     # entries; the first ones may fall before the start
presses=5

tmx() {
    tmux -S "$work/tmux.sock" "$@"
}
cleanup() {
    tmx kill-server 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

now_ms() {
    local t=$EPOCHREALTIME
    echo "$((${t%.*} * 1000 + 10#${t#*.} / 1000))"
}
lines() {
    [ -f "$work/port.log" ] && wc -l <"$work/port.log" || echo 0
}
# stamp_ms N: the Nth port log line's stamp in epoch ms.
stamp_ms() {
    date -d "$(sed -n "${1}p" "$work/port.log" | cut -c1-23)" +%s%3N
}
# wait_for SECONDS COMMAND...: polls every 2 ms.
wait_for() {
    local until=$(($(now_ms) + $1 * 1000))
    shift
    until "$@"; do
        [ "$(now_ms)" -lt "$until" ] || { echo "timed out: $*" >&2; exit 1; }
        sleep 0.002
    done
}
sleep_until() {
    local left=$(($1 - $(now_ms)))
    [ "$left" -le 0 ] || sleep "$(printf '%d.%03d' $((left / 1000)) $((left % 1000)))"
}
more_lines_than() {
    [ "$(lines)" -gt "$1" ]
}
# median_max VALUES...: "median max" of integers.
median_max() {
    printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END {
        if (NR == 0) { print "- -"; exit }
        m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
        print m, v[NR] }'
}

# The pane runs the program and then stamps its end, without a fork between.
cat >"$work/pane.sh" <<'EOF'
cd "$1"
export TZ=UTC
WEEKSWITCH_SIM_PORT_LOG=port.log "$2" events.txt
t=$EPOCHREALTIME
echo "$((${t%.*} * 1000 + 10#${t#*.} / 1000))" > ended.tmp
mv ended.tmp ended
EOF
# Output of the pane, stamped: "ms hh:mm:ss" each time the clock line shows
# another second, the second's start "ms" found among the last three seconds.
cat >"$work/stamp.pl" <<'EOF'
use Time::HiRes qw(time);
$| = 1;
my $last = "";
while (sysread(STDIN, my $chunk, 65536)) {
    my $t = time;
    while ($chunk =~ /(\d\d:\d\d:\d\d)\r/g) {
        my $shown = $1;
        next if $shown eq $last;
        $last = $shown;
        for my $s (int($t), int($t) - 1, int($t) - 2) {
            my @g = gmtime($s);
            if (sprintf("%02d:%02d:%02d", $g[2], $g[1], $g[0]) eq $shown) {
                printf "%d %s\n", ($t - $s) * 1000, $shown;
                last;
            }
        }
    }
}
EOF
printf 'set -g remain-on-exit on\nset -s escape-time 0\n' >"$work/tmux.conf"

start_program() {
    local pane
    pane="bash --noprofile --norc $(printf '%q ' "$work/pane.sh" "$work" "$sim")"
    rm -f "$work/ended"
    if tmx has-session -t bench 2>/dev/null; then
        tmx respawn-pane -k -t bench "$pane"
    else
        tmx -f "$work/tmux.conf" new-session -d -s bench -x 100 -y 40 "$pane"
    fi
}

measure() {
    local sim=$1 k
    rm -f "$work/port.log" "$work/clock.log"
    # Entries every 2 s from 5 s on; each has its own day word, so a day's
    # end or the week's wrap within the minute is just another entry.
    local first=$(($(date +%s) + 5))
    for ((k = 0; k < changes; k++)); do
        echo "$(date -d "@$((first + 2 * k))" '+%a %H:%M:%S') $(((k + 1) % 2))"
    done >"$work/events.txt"
    start_program
    wait_for 10 more_lines_than 0
    local started
    started=$(stamp_ms 1)
    local last_due=$(((first + 2 * (changes - 1) + 1) * 1000))
    sleep "$(((last_due - $(now_ms)) / 1000 + 2))"
    # Quiet now until the F5 presses: the clock line's seconds.
    tmx pipe-pane -O -t bench "exec perl $work/stamp.pl > $work/clock.log"
    sleep 6.3
    tmx pipe-pane -t bench

    # One stamp per port write after the start one, matched to the entry
    # whose force time it follows within the 2 s to the next.
    local stamps=() delays=() missed=0 doubled=0 due t n
    mapfile -t stamps < <(cut -c1-23 "$work/port.log" | date -f - +%s%3N)
    for ((k = 0; k < changes; k++)); do
        due=$(((first + 2 * k + 1) * 1000))
        [ "$due" -gt "$started" ] || continue
        n=0
        for t in "${stamps[@]:1}"; do
            if [ "$t" -ge "$due" ] && [ "$t" -lt $((due + 2000)) ]; then
                [ "$n" = 0 ] && delays+=($((t - due)))
                n=$((n + 1))
            fi
        done
        [ "$n" = 0 ] && missed=$((missed + 1))
        [ "$n" -gt 1 ] && doubled=$((doubled + 1))
    done
    read -r switch_med switch_max < <(median_max "${delays[@]}")

    local clock=()
    # The first second seen may have been shown before the pipe opened.
    mapfile -t clock < <(awk 'NR > 1 { print $1 }' "$work/clock.log")
    read -r clock_med clock_max < <(median_max "${clock[@]}")

    # F5: passes follow a re-read's port write every 300 ms, so pressing
    # 1 s and 60 ms more each time after the last write meets them at
    # different phases.
    local f5=() before sent
    for ((k = 0; k < presses; k++)); do
        before=$(lines)
        sleep_until $(($(stamp_ms "$before") + 1000 + 60 * k))
        sent=$(now_ms)
        tmx send-keys -t bench F5
        wait_for 5 more_lines_than "$before"
        f5+=($(($(stamp_ms $((before + 1))) - sent)))
    done
    read -r f5_med f5_max < <(median_max "${f5[@]}")

    # Escape: each press ends a program started afresh, 0.5 s and 60 ms
    # more each time after its first port write (its first pass).
    local esc=()
    for ((k = 0; k < presses; k++)); do
        if [ "$k" -gt 0 ]; then
            before=$(lines)
            start_program
            wait_for 10 more_lines_than "$before"
        fi
        sleep_until $(($(stamp_ms "$(lines)") + 500 + 60 * k))
        sent=$(now_ms)
        tmx send-keys -t bench Escape
        wait_for 5 test -s "$work/ended"
        esc+=($(($(cat "$work/ended") - sent)))
    done
    read -r esc_med esc_max < <(median_max "${esc[@]}")
    tmx kill-server 2>/dev/null || true

    echo "$sim"
    printf '  %-34s %s\n' "changes measured (missed, twice)" "${#delays[@]} ($missed, $doubled)"
    printf '  %-34s %s / %s ms\n' "switch after the second, median/max" "$switch_med" "$switch_max"
    printf '  %-34s %s / %s ms   (%s seconds)\n' "clock line shows it, median/max" "$clock_med" "$clock_max" "${#clock[@]}"
    printf '  %-34s %s / %s ms   (%s)\n' "F5 to the port write, median/worst" "$f5_med" "$f5_max" "${f5[*]}"
    printf '  %-34s %s / %s ms   (%s)\n' "Escape to the end, median/worst" "$esc_med" "$esc_max" "${esc[*]}"
}

for sim in "$@"; do
    sim=$(realpath "$sim")
    measure "$sim"
done
