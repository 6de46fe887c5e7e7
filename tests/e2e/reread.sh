#!/usr/bin/env bash
# F5 re-reads the event file: the reload banner, and the port and the event
# lines follow the file as it is now. Alt+a, also a two-code key, does the same.
. "$(dirname "$0")/lib.sh"

printf 'mo 08:00:00 1\n' > "$work/events.txt"
start_sim "2026-12-07 12:00:00" events.txt
wait_until 10 "the start" has_port_writes 1
[[ $(port_line 1) == *" 0xFF" ]] || fail "start write: $(port_line 1)"

printf 'mo 11:00:00 0\n' >> "$work/events.txt"
tmx send-keys -t e2e F5
wait_until 5 "the reload after F5" has_port_writes 2
[[ $(port_line 2) == *" 0x00" ]] || fail "write after the reload: $(port_line 2)"
screen_has "*** Re-read Event file ***" || fail "no reload banner"
screen_has "EVENT:  Mon 11:00:00 Off" || fail "no event line for the new entry"

printf 'mo 11:30:00 1\n' >> "$work/events.txt"
tmx send-keys -t e2e M-a
wait_until 5 "the reload after Alt+a" has_port_writes 3
[[ $(port_line 3) == *" 0xFF" ]] || fail "write after the second reload: $(port_line 3)"
wait_until 3 "the event line of the second reload" screen_has "EVENT:  Mon 11:30:00 On"

escape_ends_cleanly
echo "PASS"
