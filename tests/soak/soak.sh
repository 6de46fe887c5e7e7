#!/usr/bin/env bash
# soak.sh WEEKSWITCH_SIM [HOURS [SPEED]]: runs weekswitch-sim through HOURS
# simulated hours (default 24) of a realistic timetable, with libfaketime
# running the clock SPEED times as fast (default 1440: a day a minute; the
# 300 ms sleeps shrink with it). Checks that the port was written once at the
# start and exactly once at each change, no more and no later than one pass
# plus some slack after the entry came into force, and that memory does not
# grow, also with its output going to a full pipe. Prints the processor time
# the run cost per simulated hour.
#
# The whole week:  bash tests/soak/soak.sh build/weekswitch-sim 168 2016
set -u

sim=$(realpath "$1")
hours=${2:-24}
speed=${3:-1440}
work=$(mktemp -d)
libfaketime=$(ls /usr/lib/*/faketime/libfaketime.so.1 2>/dev/null | head -n 1)
pid=
export TZ=Europe/Berlin LC_ALL=C

cleanup() {
    if [ -n "$pid" ]; then
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*"
    exit 1
}

[ -n "$libfaketime" ] || fail "libfaketime is not installed (Debian package faketime)"

# A house: heating on work days and at weekends, a gap without a state, the
# week's wrap from Sunday to Monday, and ranges that wrap over the weekend.
cat > "$work/events.txt" <<'EOF'
; heating and hall light
mo-fr  06:15:00  1
mo-fr  08:00     0
mo-fr  16:45:30  1
mo-th  22:30     0
fr-sa  23:45     0
sa-su  08:30     1
sa     13:00    -1     ; no state: off
sa     15:00     1
su     22:00     0
su     23:59:59  1     ; in force on Monday at 00:00:00
mo     00:20     0
we     12:00:00  1
we     12:10:00  0
EOF

# The Sunday before a week without a daylight-saving change; the run ends
# two minutes before a midnight, far from every entry.
start="2026-12-06 23:58:00"
start_s=$(date -d "$start" +%s)
# A write may come one pass (300 ms) after the entry comes into force, plus
# the real time a pass takes, which the speed-up multiplies.
slack_ms=$((300 + speed * 3))

# The entries as the program reads them, one "day seconds value" a line.
"$sim" -check "$work/events.txt" | awk '
    BEGIN { split("Mon Tue Wed Thu Fri Sat Sun", names, " "); for (d = 1; d <= 7; d++) day[names[d]] = d - 1 }
    $1 in day {
        split($2, t, ":")
        print day[$1], t[1] * 3600 + t[2] * 60 + t[3], ($3 == "On" ? 255 : 0)
    }' > "$work/entries"
[ -s "$work/entries" ] || fail "the timetable did not load"

# Every moment in the run at which an entry comes into force, in order:
# "ms value". Entries of the week before give the state at the start.
dow=$(date -d "$start" +%u)
monday_s=$(date -d "$(date -d "$start" +%F) -$((dow - 1)) days" +%s)
# Times are milliseconds from the start, which keeps them in awk's range.
awk -v from=$((monday_s - start_s)) -v weeks=$((hours / 168 + 2)) '
    { for (w = -1; w < weeks; w++) printf "%d %d\n", (from + w * 604800 + $1 * 86400 + $2 + 1) * 1000, $3 }
' "$work/entries" | sort -n > "$work/in_force"

# The output goes to a pipe that is held open but never read: it is full
# after the first minutes, and the switching must go on all the same.
mkfifo "$work/output"
exec 3<> "$work/output"
setsid env WEEKSWITCH_SIM_PORT_LOG="$work/port.log" LD_PRELOAD="$libfaketime" FAKETIME="@$start x$speed" \
    "$sim" "$work/events.txt" > "$work/output" 2> "$work/stderr" < /dev/null 3<&- &
pid=$!
started=$(date +%s.%N)

memory() {
    awk '/^VmRSS|^VmHWM/ { printf "%s %s kB ", $1, $2 }' "/proc/$pid/status"
}
kb() {
    awk -v key="$1:" '$1 == key { print $2 }' "/proc/$pid/status"
}
cpu_ticks() {
    # utime and stime: the fields after the parenthesised command name.
    sed 's/.*) //' "/proc/$pid/stat" | awk '{ print $12 + $13 }'
}

real_s=$(awk -v h="$hours" -v s="$speed" 'BEGIN { printf "%.1f", h * 3600 / s }')
echo "simulating $hours h at x$speed: about $real_s s"
# Memory after the first changes, when every path of a pass has run once.
for ((i = 0; i < 600; i++)); do
    [ -f "$work/port.log" ] && [ "$(wc -l < "$work/port.log")" -ge 3 ] && break
    kill -0 "$pid" 2>/dev/null || fail "weekswitch-sim ended early: $(cat "$work/stderr")"
    sleep 0.05
done
early_rss=$(kb VmRSS) early_hwm=$(kb VmHWM)
echo "memory early: $(memory)"
sleep "$(awk -v r="$real_s" -v t0="$started" -v t="$(date +%s.%N)" 'BEGIN { print t0 + r + 1 - t }')"
kill -0 "$pid" 2>/dev/null || fail "weekswitch-sim ended early: $(cat "$work/stderr")"
late_rss=$(kb VmRSS) late_hwm=$(kb VmHWM)
echo "memory late:  $(memory)"
ticks=$(cpu_ticks)
kill "$pid"
wait "$pid" 2>/dev/null
pid=

awk -v ticks="$ticks" -v hz="$(getconf CLK_TCK)" -v h="$hours" 'BEGIN {
    printf "processor time: %.2f s for %d simulated hours, %.3f s per hour\n", ticks / hz, h, ticks / hz / h }'

# The writes of the run, "ms value", up to the end of the window.
while read -r day time value; do
    echo "$(($(date -d "$day $time" +%s%3N) - start_s * 1000)) $((value))"
done < "$work/port.log" | awk -v end=$((hours * 3600000)) '$1 <= end' > "$work/writes"

# The first write is the start; each later one must be the next change.
awk -v slack="$slack_ms" -v end=$((hours * 3600000)) '
    NR == FNR { at[NR] = $1; value[NR] = $2; n = NR; next }
    FNR == 1 {
        for (i = 1; i <= n && at[i] <= $1; i++) inForce = i
        if ($2 != value[inForce]) { printf "start write %d, expected %d\n", $2, value[inForce]; bad++ }
        next_i = inForce + 1
        next
    }
    {
        if (next_i > n || at[next_i] > end || $1 < at[next_i] || $1 > at[next_i] + slack || $2 != value[next_i]) {
            printf "write %d at %d; expected %d at %d .. %d\n", $2, $1, value[next_i], at[next_i], at[next_i] + slack
            bad++
        } else {
            delay = $1 - at[next_i]
            if (delay > worst) worst = delay
            sum += delay
            changes++
        }
        next_i++
    }
    END {
        if (next_i <= n && at[next_i] <= end) { printf "missed the change at %d\n", at[next_i]; bad++ }
        printf "%d changes written once each; delay after coming into force: mean %d ms, worst %d ms (simulated)\n",
            changes, changes ? sum / changes : 0, worst
        exit bad > 0
    }' "$work/in_force" "$work/writes" || fail "the port log does not follow the timetable"

[ "$late_hwm" -le $((early_hwm + 64)) ] || fail "memory grew: peak $early_hwm kB -> $late_hwm kB"
[ "$late_rss" -le $((early_rss + 64)) ] || fail "memory grew: resident $early_rss kB -> $late_rss kB"
echo "PASS"
