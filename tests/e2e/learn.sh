#!/usr/bin/env bash
# Learn mode on a new file: an arrow key appends exactly one learned line,
# ending in CR LF, and the port follows through the reload; Alt+a re-reads
# without learning.
. "$(dirname "$0")/lib.sh"

start_sim "2026-12-08 09:00:00" -learn events.txt
wait_until 10 "the start" has_port_writes 1
[[ $(port_line 1) == *" 0x00" ]] || fail "start write: $(port_line 1)"
[ -f "$work/events.txt" ] || fail "learn mode did not create the file"

tmx send-keys -t e2e Up
wait_until 5 "the reload after the learned key" has_port_writes 2
[[ $(port_line 2) == *" 0xFF" ]] || fail "write after learning: $(port_line 2)"
lines=$(wc -l < "$work/events.txt")
[ "$lines" = 1 ] || fail "$lines lines learned from one key: $(cat -A "$work/events.txt")"
grep -qE $'^Tue 09:00:[0-5][0-9] 1 ;; \\*Learned event\\*\r$' "$work/events.txt" ||
    fail "learned line: $(cat -A "$work/events.txt")"
learned=$(cut -c1-12 "$work/events.txt")
wait_until 3 "the event line of the learned entry" screen_has "EVENT:  $learned On"

before=$(cat "$work/events.txt")
tmx send-keys -t e2e M-a
wait_until 5 "the reload after Alt+a" has_port_writes 3
[ "$(cat "$work/events.txt")" = "$before" ] || fail "Alt+a changed the file"
screen_has "*** Re-read Event file ***" || fail "no reload banner"

escape_ends_cleanly
echo "PASS"
