#!/usr/bin/env bash
# Builds the Debian package from this tree with Debian's own tooling
# (dpkg-buildpackage -us -uc -b) in a scratch copy, so the tree stays clean.
#   scripts/package.sh [OUTDIR]      (default: build/deb)
# Prints the path of the .deb. DEB_BUILD_OPTIONS=nocheck skips the unit tests.
set -euo pipefail
. "$(dirname "$0")/deps.sh"
ensure_packages "${build_packages[@]}" debhelper dpkg-dev fakeroot
out=$(mkdir -p "${1:-$top/build/deb}" && cd "${1:-$top/build/deb}" && pwd)
rm -rf "$out/src" "$out"/weekswitch*_*
mkdir -p "$out/src"
# The tracked and new files, not the build folders of the tree.
if git -C "$top" rev-parse --git-dir >/dev/null 2>&1; then
    (cd "$top" && git ls-files -co --exclude-standard -z | tar --null -cf - -T -) | tar -C "$out/src" -xf -
else
    tar -C "$top" --exclude='./build*' --exclude='./obj-*' --exclude=./.git -cf - . | tar -C "$out/src" -xf -
fi
if ! (cd "$out/src" && DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:-} parallel=$(nproc)" \
        dpkg-buildpackage -us -uc -b >"$out/build.log" 2>&1); then
    tail -30 "$out/build.log" >&2
    echo "dpkg-buildpackage failed (log: $out/build.log)" >&2
    exit 1
fi
rm -rf "$out/src"
ls "$out"/weekswitch_*.deb
