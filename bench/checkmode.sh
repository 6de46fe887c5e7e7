#!/usr/bin/env bash
# Times check mode (load, list, count; output to /dev/null) on generated
# timetables of about 1,000, 10,000 and 100,000 records, in two file orders:
#   days   one line a record, the week in order (as a user lists a timetable)
#   ranges "mo-fr hh:mm:ss v" lines in time order, five records a line
# and the one-entry-a-minute week (10,080 records), which must take < 0.2 s.
# Each time is the best of three runs. Usage: bench/checkmode.sh [weekswitch binary]
set -euo pipefail
bin=${1:-build/weekswitch}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# days N: N records spread evenly over the week, one a line, in day order.
gen_days() {
    awk -v n="$1" 'BEGIN { split("mo tu we th fr sa su", d, " ");
        step = 604800 / n;
        for (i = 0; i < n; i++) { s = int(i * step);
            printf "%s %02d:%02d:%02d %d\n", d[int(s / 86400) + 1], int(s % 86400 / 3600), int(s % 3600 / 60), s % 60, i % 2 } }'
}
# ranges N: N/5 weekday times, each line naming mo-fr.
gen_ranges() {
    awk -v n="$1" 'BEGIN { lines = int(n / 5); step = 86400 / lines;
        for (i = 0; i < lines; i++) { s = int(i * step);
            printf "mo-fr %02d:%02d:%02d %d\n", int(s / 3600), int(s % 3600 / 60), s % 60, i % 2 } }'
}

best_of_three() {
    local file=$1 best="" t
    for _ in 1 2 3; do
        t=$( { TIMEFORMAT=%R; time "$bin" -check "$file" >/dev/null 2>&1 || true; } 2>&1 )
        if [ -z "$best" ] || awk -v a="$t" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$t; fi
    done
    echo "$best"
}

for shape in days ranges; do
    prev=""
    for n in 1000 10000 100000; do
        "gen_$shape" "$n" >"$work/$shape-$n.txt"
        records=$("$bin" -check "$work/$shape-$n.txt" | tail -n 1)
        t=$(best_of_three "$work/$shape-$n.txt")
        ratio=$([ -n "$prev" ] && awk -v a="$t" -v b="$prev" 'BEGIN { printf "x%.1f", (b > 0 ? a / b : 0) }' || echo "-")
        printf '%-7s %7d records  %6.3f s  %-6s (%s)\n' "$shape" "$n" "$t" "$ratio" "$records"
        prev=$t
    done
done

gen_days 10080 >"$work/minutes.txt"
t=$(best_of_three "$work/minutes.txt")
printf 'one entry a minute, a whole week (10,080 records): %.3f s (limit 0.200 s)\n' "$t"
awk -v t="$t" 'BEGIN { exit !(t < 0.2) }'
