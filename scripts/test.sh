#!/usr/bin/env bash
# Builds weekswitch and runs the whole test suite: unit tests, the command-line
# tests of the built program, and the end-to-end tests.
set -euo pipefail
. "$(dirname "$0")/deps.sh"
ensure_packages "${build_packages[@]}" "${test_packages[@]}" "${package_packages[@]}"
build "$top/build"
cd "$top/build"
ctest --output-on-failure "$@"
