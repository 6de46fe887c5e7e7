#!/usr/bin/env bash
# Run mode at a switching time: the port goes off in the first pass after the
# entry comes into force (one second after its time), Escape ends with status
# 0 and the terminal settings restored.
. "$(dirname "$0")/lib.sh"

printf 'mo 08:00:00 1\nmo 17:00:00 0\n' > "$work/events.txt"
start_sim "2026-12-07 16:59:58" events.txt

wait_until 10 "the switch at 17:00:01" has_port_writes 2
first=$(port_line 1) second=$(port_line 2)
[[ $first == "2026-12-07 16:59:5"[89].???" 0xFF" ]] || fail "start write: $first"
[[ $second == "2026-12-07 17:00:01."???" 0x00" ]] || fail "switch write: $second"
delay=$(($(ms_of "${second% *}") - $(ms_of "2026-12-07 17:00:01")))
echo "delay from the entry coming into force to the port write: $delay ms"
[ "$delay" -lt 350 ] || fail "switched $delay ms late"

screen_has "EVENT:  Mon 08:00:00 On" || fail "no event line for the start"
screen_has " next:  Mon 17:00:00 Off" || fail "no next line at the start"
screen_has "EVENT:  Mon 17:00:00 Off" || fail "no event line for the switch"
wait_until 3 "the clock line" screen_has "*Off*:  Mon 17:00:0"

escape_ends_cleanly
[ "$(port_writes)" = 2 ] || fail "the port was written again"
echo "PASS"
