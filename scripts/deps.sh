# deps.sh: installs the Debian packages the build and the tests need, where
# missing. Sourced by the other scripts; uses sudo when not run as root.

build_packages=(cmake ninja-build g++ pkg-config libsystemd-dev libical-dev libgtest-dev libgmock-dev)
test_packages=(tmux faketime python3 qemu-system-x86 busybox-static cpio kmod tzdata systemd-journal-remote)
fuzz_packages=(clang libclang-rt-14-dev)
# The Debian package (build-essential: dpkg-buildpackage insists on it) and
# the boot test of it (mmdebstrap, zstd for its initramfs).
package_packages=(build-essential debhelper dpkg-dev fakeroot lintian mmdebstrap zstd)

# as_root COMMAND...: runs COMMAND as root, through sudo when not root.
as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

ensure_packages() {
    local missing=() pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "ok installed" || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing ${missing[*]} ..."
    as_root apt-get update -q >/dev/null &&
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
}

# The host's own apt sources, for the roots mmdebstrap makes (the boot test's
# guest, CI's fresh root), so a local mirror or proxy serves them too.
mirrors() {
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        echo /etc/apt/sources.list.d/debian.sources
    elif [ -s /etc/apt/sources.list ]; then
        echo /etc/apt/sources.list
    else
        echo http://deb.debian.org/debian
    fi
}

# build DIR [cmake options...]: configures and builds the project into DIR.
build() {
    local dir=$1
    shift
    cmake -S "$top" -B "$dir" -G Ninja "$@" >/dev/null && cmake --build "$dir" -j "$(nproc)"
}

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
