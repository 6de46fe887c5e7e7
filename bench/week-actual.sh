#!/usr/bin/env bash
# week-actual.sh: weekswitch-week beside a year of the service's record.
#   bash bench/week-actual.sh [WEEKSWITCH-WEEK]   (default build/weekswitch-week)
#
# Makes a journal file holding a year of records of a timetable that
# switches every 150 s (4032 switchings a week, about 210,000 in the year,
# as systemd-journal-remote makes journal files of export text), and a
# second one holding only one week of it (each a folder of journal files). Then it draws one week, and four,
# from the middle of the year, and the one week from the small journal, and
# prints the times, the peak memory and the ratios of the year's to the
# week's: the work and the memory follow the weeks drawn, not the journal.
set -euo pipefail
week_bin=$(realpath "${1:-build/weekswitch-week}")
remote=/lib/systemd/systemd-journal-remote
[ -x "$remote" ] || { echo "needs systemd-journal-remote (Debian package systemd-journal-remote)"; exit 1; }
work=${WEEKSWITCH_BENCH_WORK:-$(dirname "$week_bin")/bench-week-actual}
mkdir -p "$work"
export TZ=UTC LC_ALL=C

# The timetable: on and off every 150 s through the week.
python3 - "$work/every150s.txt" <<'PY'
import sys
with open(sys.argv[1], "w") as f:
    for i, s in enumerate(range(0, 7 * 86400, 150)):
        d, t = divmod(s, 86400)
        f.write("%s %02d:%02d:%02d %d\n" % (["mo", "tu", "we", "th", "fr", "sa", "su"][d], t // 3600, t // 60 % 60, t % 60, i % 2))
PY

# Export text of the records from Monday 2026-01-05 on, for WEEKS weeks.
records() {
    python3 - "$1" "$2" <<'PY'
import sys
first, weeks = int(sys.argv[1]), int(sys.argv[2])
days = ["Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"]
out = sys.stdout
monday = 1767571200  # 2026-01-05 00:00:00 UTC
seq = 0
for w in range(first, first + weeks):
    for i, s in enumerate(range(0, 7 * 86400, 150)):
        usec = (monday + w * 7 * 86400 + s + 1) * 10**6 + 3000
        d, t = divmod(s, 86400)
        entry = "%s %02d:%02d:%02d %s" % (days[d], t // 3600, t // 60 % 60, t % 60, "On" if i % 2 else "Off")
        value = "0xFF" if i % 2 else "0x00"
        seq += 1
        out.write("__REALTIME_TIMESTAMP=%d\n__MONOTONIC_TIMESTAMP=%d\n_BOOT_ID=0123456789abcdef0123456789abcdef\n"
                  "_SYSTEMD_UNIT=weekswitch.service\nSYSLOG_IDENTIFIER=weekswitch\nPRIORITY=6\n"
                  "MESSAGE=Switched: %s, port %s\nWEEKSWITCH_RECORD=switched\nWEEKSWITCH_ENTRY=%s\n"
                  "WEEKSWITCH_PORT_VALUE=%s\nWEEKSWITCH_DELAY_MS=3\nWEEKSWITCH_REALTIME_USEC=%d\n\n"
                  % (usec, seq * 10**6, entry, value, entry, value, usec))
PY
}

# journal-remote starts a new file when one is full: a folder each, read as
# journalctl --directory reads one.
journal() {
    local name=$1 first=$2 weeks=$3 t
    [ -d "$work/$name" ] && return
    t=$(date +%s%N)
    rm -rf "$work/$name.tmp"
    mkdir "$work/$name.tmp"
    records "$first" "$weeks" | "$remote" --output="$work/$name.tmp/$name.journal" - 2>/dev/null
    mv "$work/$name.tmp" "$work/$name"
    echo "$name: made in $((($(date +%s%N) - t) / 1000000)) ms, $(du -sh "$work/$name" | cut -f1)"
}
journal year 0 52
journal week 26 1
echo "year: $(journalctl --directory "$work/year" WEEKSWITCH_RECORD=switched -o cat 2>/dev/null | wc -l) switchings"

# One run: prints seconds and peak memory (kB).
measure() {
    /usr/bin/time -f "%e %M" -o "$work/time" "$week_bin" "$@" "$work/every150s.txt" >"$work/out" 2>&1 || {
        cat "$work/out"; exit 1; }
    cat "$work/time"
}
read -r year_s year_kb < <(measure --directory "$work/year" --week 2026-07-08)
read -r year4_s year4_kb < <(measure --directory "$work/year" --week 2026-07-08 --weeks 4)
read -r week_s week_kb < <(measure --directory "$work/week" --week 2026-07-08)
grep '^Planned' "$work/out"
printf '%-34s %8s s %8s kB\n' "one week of the year's journal" "$year_s" "$year_kb" \
    "four weeks of the year's journal" "$year4_s" "$year4_kb" "the week's own journal" "$week_s" "$week_kb"
echo "ratio year/week journal, one week drawn: time $(echo "scale=2; $year_s / ($week_s + 0.005)" | bc)," \
    "memory $(echo "scale=2; $year_kb / $week_kb" | bc)"
