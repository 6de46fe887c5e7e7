#!/usr/bin/env bash
# Times check mode (load, list, count; output to /dev/null) on generated
# timetables of 1,000 up to 604,800 records (every second of the week), in
# these line orders:
#   days   one line a record, the week in order (as a user lists a timetable)
#   random the same lines shuffled
#   twice  the same lines, each twice, shuffled (every second one refused as
#          a duplicate)
#   ranges "mo-fr hh:mm:ss v" lines in time order, five records a line
# and the one-entry-a-minute week (10,080 records), which must take < 0.2 s.
# Random and twice print their ratio to days with the same records (twice
# also per line read, as it reads twice the lines); days and ranges their
# growth against the size before. A time is the processor time
# (user + system) of the best of three runs, so that other load on the
# machine counts little; a run over 60 s is stopped and shown as such.
# Usage: bench/checkmode.sh [weekswitch binary [sizes...]]
set -euo pipefail
bin=${1:-build/weekswitch}
shift || true
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(1000 10000 100000 604800)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# days N: N records spread evenly over the week, one a line, in day order.
gen_days() {
    awk -v n="$1" 'BEGIN { split("mo tu we th fr sa su", d, " ");
        step = 604800 / n;
        for (i = 0; i < n; i++) { s = int(i * step);
            printf "%s %02d:%02d:%02d %d\n", d[int(s / 86400) + 1], int(s % 86400 / 3600), int(s % 3600 / 60), s % 60, i % 2 } }'
}
# The same order every run: shuf draws from a fixed stream.
shuffled() {
    shuf --random-source=<(yes weekswitch)
}
gen_random() {
    gen_days "$1" | shuffled
}
gen_twice() {
    { gen_days "$1"; gen_days "$1"; } | shuffled
}
# ranges N: N/5 weekday times, each line naming mo-fr.
gen_ranges() {
    awk -v n="$1" 'BEGIN { lines = int(n / 5); step = 86400 / lines;
        for (i = 0; i < lines; i++) { s = int(i * step);
            printf "mo-fr %02d:%02d:%02d %d\n", int(s / 3600), int(s % 3600 / 60), s % 60, i % 2 } }'
}

cpu_seconds() {
    local file=$1 t
    t=$( { TIMEFORMAT='%U %S'; time timeout 60 "$bin" -check "$file" >/dev/null 2>&1; } 2>&1 ) ||
        [ $? -ne 124 ] || { echo 60; return; }
    awk -v t="$t" 'BEGIN { split(t, p, " "); printf "%.3f", p[1] + p[2] }'
}

best_of_three() {
    local file=$1 best="" t
    for _ in 1 2 3; do
        t=$(cpu_seconds "$file")
        if [ -z "$best" ] || awk -v a="$t" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$t; fi
        [ "$t" = 60 ] && break
    done
    echo "$best"
}

ratio() {
    awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "x%.2f", a / b; else print "-" }'
}

declare -A days_time
for shape in days random twice ranges; do
    prev=""
    for n in "${sizes[@]}"; do
        "gen_$shape" "$n" >"$work/$shape-$n.txt"
        records=$(timeout 60 "$bin" -check "$work/$shape-$n.txt" 2>/dev/null | tail -n 1 || echo "over 60 s")
        t=$(best_of_three "$work/$shape-$n.txt")
        case $shape in
        days)
            days_time[$n]=$t
            what=$([ -n "$prev" ] && echo "$(ratio "$t" "$prev") size before" || echo "-") ;;
        ranges) what=$([ -n "$prev" ] && echo "$(ratio "$t" "$prev") size before" || echo "-") ;;
        random) what="$(ratio "$t" "${days_time[$n]}") days" ;;
        twice) what="$(ratio "$t" "${days_time[$n]}") days, $(ratio "$t" "$(awk -v d="${days_time[$n]}" 'BEGIN { print 2 * d }')") a line" ;;
        esac
        [ "$t" = 60 ] && t="> 60"
        printf '%-7s %7d records  %6s s  %-28s (%s)\n' "$shape" "$n" "$t" "$what" "$records"
        prev=$t
        rm -f "$work/$shape-$n.txt"
    done
done

gen_days 10080 >"$work/minutes.txt"
t=$(best_of_three "$work/minutes.txt")
printf 'one entry a minute, a whole week (10,080 records): %.3f s (limit 0.200 s)\n' "$t"
awk -v t="$t" 'BEGIN { exit !(t < 0.2) }'
