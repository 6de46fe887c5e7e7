#!/usr/bin/env bash
# idle.sh [WEEKSWITCH_SIM [SECONDS [ROUNDS]]]: what run mode costs while
# nothing switches. Runs weekswitch-sim (the port a recorder that records
# nothing here) in one tmux pane and, beside it for the same wall time, the
# floor: bench/idle_floor.c, a minimal loop showing the same clock line three
# times a second. Prints the processor time per hour of each (from
# /proc/PID/schedstat, in nanoseconds), their ratio, and the writes and
# read calls per pass (from /proc/PID/io), for the example timetable, for
# one of 100,000 records in random order, and for the example with ten years
# of dated lines (3,650: a pass must cost the same with them). SECONDS (default 60) is the time
# measured, from 3 s after the timetable is loaded; ROUNDS (default 1)
# repeats the pairs and then prints the ratio over all rounds. The left pane
# costs more than the right one (the floor against itself reads about 1.15),
# so rounds change sides: run an even number.
#
#   bash bench/idle.sh build/weekswitch-sim 60 4
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
sim=$(realpath "${1:-$top/build/weekswitch-sim}")
seconds=${2:-60}
rounds=${3:-1}
work=$(mktemp -d)
export LC_ALL=C
unset WEEKSWITCH_SIM_PORT_LOG

tmx() {
    tmux -S "$work/tmux.sock" "$@"
}
cleanup() {
    tmx kill-server 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

command -v tmux >/dev/null || { echo "tmux is not installed" >&2; exit 1; }
cc -O2 -o "$work/floor" "$top/bench/idle_floor.c"
cp "$top/examples/office.txt" "$work/example.txt"
awk 'BEGIN { split("mo tu we th fr sa su", d, " ");
    for (i = 0; i < 100000; i++) { s = int(i * 6.048);
        printf "%s %02d:%02d:%02d %d\n", d[int(s / 86400) + 1], int(s % 86400 / 3600), int(s % 3600 / 60), s % 60, i % 2 } }' |
    shuf --random-source=<(yes weekswitch) >"$work/random-100k.txt"
python3 -c 'import datetime, sys
d = datetime.date.today() - datetime.timedelta(days=1825)
for i in range(3650):
    print(d.isoformat(), ("as su", "0", "1", "07:30 1")[i % 4])
    d += datetime.timedelta(days=1)' | cat "$top/examples/office.txt" - >"$work/dated-10y.txt"

cpu_ns() {
    awk '{ print $1 }' "/proc/$1/schedstat"
}
# Write and read calls so far (poll, the sleep and the clock are neither).
calls() {
    awk '/^sysc[rw]:/ { n[$1] = $2 } END { print n["syscw:"], n["syscr:"] }' "/proc/$1/io"
}

# measure TIMETABLE SIDE: one pair, the program and the floor side by side,
# the program in the left pane (SIDE 0) or the right one (SIDE 1).
measure() {
    local file=$1 side=$2
    local run_prog run_floor
    run_prog="exec $(printf %q "$sim") $(printf %q "$work/$file")"
    run_floor="exec $(printf %q "$work/floor")"
    if [ "$side" = 0 ]; then
        tmx new-session -d -s idle -x 120 -y 40 "$run_prog"
        tmx split-window -d -h -t idle "$run_floor"
    else
        tmx new-session -d -s idle -x 120 -y 40 "$run_floor"
        tmx split-window -d -h -t idle "$run_prog"
    fi
    local pids prog floor
    pids=$(tmx list-panes -t idle -F '#{pane_index} #{pane_pid}')
    prog=$(awk -v i="$side" '$1 == i { print $2 }' <<<"$pids")
    floor=$(awk -v i="$((1 - side))" '$1 == i { print $2 }' <<<"$pids")
    # Loading is not idling: the clock line shows once the timetable is in.
    for ((tries = 0; tries < 1200; tries++)); do
        tmx capture-pane -p -t "idle.$side" | grep -q '^\*O' && break
        sleep 0.05
    done
    sleep 3
    local p0 f0 pc0 fc0 p1 f1 pc1 fc1
    p0=$(cpu_ns "$prog") f0=$(cpu_ns "$floor") pc0=$(calls "$prog") fc0=$(calls "$floor")
    sleep "$seconds"
    p1=$(cpu_ns "$prog") f1=$(cpu_ns "$floor") pc1=$(calls "$prog") fc1=$(calls "$floor")
    tmx send-keys -t "idle.$side" Escape
    tmx send-keys -t "idle.$((1 - side))" q
    sleep 0.5
    tmx kill-server 2>/dev/null || true
    total_prog[$file]=$((${total_prog[$file]:-0} + p1 - p0))
    total_floor[$file]=$((${total_floor[$file]:-0} + f1 - f0))
    awk -v name="$file $([ "$side" = 0 ] && echo left || echo right)" -v s="$seconds" -v p="$((p1 - p0))" -v f="$((f1 - f0))" \
        -v pc="$pc0 $pc1" -v fc="$fc0 $fc1" 'BEGIN {
        split(pc, a, " "); split(fc, b, " "); passes = s / 0.3;
        printf "%-22s weekswitch %6.3f s/h   floor %6.3f s/h   ratio %5.2f   per pass: writes %.2f/%.2f, reads %.2f/%.2f\n",
            name, p / 1e9 * 3600 / s, f / 1e9 * 3600 / s, (f > 0 ? p / f : 0),
            (a[3] - a[1]) / passes, (b[3] - b[1]) / passes, (a[4] - a[2]) / passes, (b[4] - b[2]) / passes }'
}

declare -A total_prog total_floor
echo "CPU per hour of $sim against the floor loop, $seconds s a pair, side by side in tmux"
for ((round = 1; round <= rounds; round++)); do
    measure example.txt $(((round - 1) % 2))
    measure random-100k.txt $(((round - 1) % 2))
    measure dated-10y.txt $(((round - 1) % 2))
done
if [ "$rounds" -gt 1 ]; then
    for file in example.txt random-100k.txt dated-10y.txt; do
        awk -v name="$file" -v s="$((seconds * rounds))" -v p="${total_prog[$file]}" -v f="${total_floor[$file]}" 'BEGIN {
            printf "%-16s all rounds: weekswitch %6.3f s/h   floor %6.3f s/h   ratio %5.2f\n",
                name, p / 1e9 * 3600 / s, f / 1e9 * 3600 / s, (f > 0 ? p / f : 0) }'
    done
fi
