#!/usr/bin/env bash
# Builds weekswitch and runs it on the bundled example timetable.
set -euo pipefail
. "$(dirname "$0")/deps.sh"
ensure_packages "${build_packages[@]}"
build "$top/build" >/dev/null
exec "$top/build/weekswitch" -check "$top/examples/office.txt"
