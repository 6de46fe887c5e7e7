#!/usr/bin/env bash
# Builds weekswitch and runs it on the bundled example timetable, in run mode
# (Escape ends it). Options go through: `scripts/example.sh -check` only lists.
set -euo pipefail
. "$(dirname "$0")/deps.sh"
ensure_packages "${build_packages[@]}"
build "$top/build" >/dev/null
exec "$top/build/weekswitch" "$@" "$top/examples/office.txt"
