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

# Ten years of dated lines (3,650 dates from January 1 of this year: runs as
# Sunday, held, one-offs) and then a holiday calendar of 2,000 events of
# those years (one or more days each; every tenth a public holiday recurring
# yearly, less a year; every fiftieth at a time of day), which must load in
# < 0.3 s together.
year=$(date +%Y)
awk -v year="$year" -v ics="$work/holidays.ics" '
    # The civil date of day n counted from 1970-01-01.
    function civil(n,   z, era, doe, yoe, doy, mp, d, m) {
        z = n + 719468; era = int(z / 146097); doe = z - era * 146097
        yoe = int((doe - int(doe / 1460) + int(doe / 36524) - int(doe / 146096)) / 365)
        doy = doe - (365 * yoe + int(yoe / 4) - int(yoe / 100)); mp = int((5 * doy + 2) / 153)
        d = doy - int((153 * mp + 2) / 5) + 1; m = mp < 10 ? mp + 3 : mp - 9
        return sprintf("%04d%02d%02d", yoe + era * 400 + (m <= 2), m, d)
    }
    function iso(n,   c) { c = civil(n); return substr(c, 1, 4) "-" substr(c, 5, 2) "-" substr(c, 7, 2) }
    BEGIN {
        y = year - 1970; first = y * 365 + int((y + 1) / 4)   # January 1 (1970..2099)
        print "mo-fr 07:30 1\nmo-fr 18:00 0"
        for (i = 0; i < 3650; i++)
            print iso(first + i), (i % 3 == 0 ? "as su" : i % 3 == 1 ? "0" : "07:45 1")
        print "holidays holidays.ics 0"
        print "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//weekswitch bench//EN\r" > ics
        for (i = 0; i < 2000; i++) {
            n = first + i * 2 - i % 2
            printf "BEGIN:VEVENT\r\nUID:%d@bench\r\nSUMMARY:Holiday %d\r\n", i, i > ics
            if (i % 50 == 49) printf "DTSTART:%sT090000Z\r\nDTEND:%sT100000Z\r\n", civil(n), civil(n) > ics
            else printf "DTSTART;VALUE=DATE:%s\r\nDTEND;VALUE=DATE:%s\r\n", civil(n), civil(n + 1 + i % 5) > ics
            if (i % 10 == 0) printf "RRULE:FREQ=YEARLY\r\nEXDATE;VALUE=DATE:%s\r\n", civil(n + 365) > ics
            print "END:VEVENT\r" > ics
        }
        print "END:VCALENDAR\r" > ics
    }' >"$work/dated.txt"
counts=$("$bin" -check "$work/dated.txt" 2>/dev/null | tail -n 1)
t=$(best_of_three "$work/dated.txt")
printf 'ten years of dated lines and a calendar of 2,000 events: %.3f s (limit 0.300 s) (%s)\n' "$t" "$counts"
awk -v t="$t" 'BEGIN { exit !(t < 0.3) }'
