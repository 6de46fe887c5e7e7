#!/usr/bin/env bash
# Builds the Debian package from this tree with Debian's own tooling
# (dpkg-buildpackage -us -uc -b) in a scratch copy, so the tree stays clean.
#   scripts/package.sh [OUTDIR]      (default: build/deb)
# Prints the path of the .deb. DEB_BUILD_OPTIONS=nocheck skips the unit tests.
# What debian/control's Build-Depends name is installed first where missing
# (apt-get build-dep; under nocheck without the test tools), with sudo when
# not root.
set -euo pipefail
. "$(dirname "$0")/deps.sh"
# dpkg-checkbuilddeps and the compiler; control names neither.
ensure_packages build-essential
out=$(mkdir -p "${1:-$top/build/deb}" && cd "${1:-$top/build/deb}" && pwd)
rm -rf "$out/src" "$out"/weekswitch*_*
mkdir -p "$out/src"
# The tracked and new files, not the build folders of the tree.
if git -C "$top" rev-parse --git-dir >/dev/null 2>&1; then
    (cd "$top" && git ls-files -co --exclude-standard -z | tar --null -cf - -T -) | tar -C "$out/src" -xf -
else
    tar -C "$top" --exclude='./build*' --exclude='./obj-*' --exclude=./.git -cf - . | tar -C "$out/src" -xf -
fi
# nocheck skips the tests, so the nocheck build profile leaves out what only
# they need (the <!nocheck> in debian/control), here and in dpkg-buildpackage.
profiles=${DEB_BUILD_PROFILES:-}
case " ${DEB_BUILD_OPTIONS:-} " in
    *" nocheck "*) case " $profiles " in *" nocheck "*) ;; *) profiles="${profiles:+$profiles }nocheck" ;; esac ;;
esac
if ! (cd "$out/src" && DEB_BUILD_PROFILES=$profiles dpkg-checkbuilddeps) >/dev/null 2>&1; then
    echo "Installing the build dependencies of debian/control ..."
    as_root apt-get update -q >/dev/null
    as_root env DEBIAN_FRONTEND=noninteractive apt-get build-dep -y -q --no-install-recommends \
        -o APT::Build-Profiles="$profiles" "$out/src" >/dev/null
fi
if ! (cd "$out/src" && DEB_BUILD_PROFILES=$profiles DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:-} parallel=$(nproc)" \
        dpkg-buildpackage -us -uc -b >"$out/build.log" 2>&1); then
    tail -30 "$out/build.log" >&2
    echo "dpkg-buildpackage failed (log: $out/build.log)" >&2
    exit 1
fi
rm -rf "$out/src"
ls "$out"/weekswitch_*.deb
