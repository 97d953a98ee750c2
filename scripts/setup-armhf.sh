#!/usr/bin/env bash
# Installs what the board's (armhf) build needs on this host: Debian's cross
# compiler and qemu-user (host packages), then makes the board's sysroot of
# Debian 12 armhf packages in .deps/armhf/sysroot (scripts/make-sysroot.sh:
# the host's package system gets no foreign architecture and no armhf
# package) and cross-builds MRAA into it.
# Idempotent, asks nothing; run it as root (or through sudo) on Debian 12 x86-64.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
usage="usage: scripts/setup-armhf.sh
Installs what the board's (armhf) build needs: the cross compiler and
qemu-user (apt, as root or through sudo); makes the board's sysroot in
.deps/armhf/sysroot and builds MRAA for armhf into it. Takes no arguments."
. "$top/scripts/cli.sh"
cli_no_args "$@"

# No Recommends: qemu-user's would register its emulators with the host's
# binfmt_misc, and the cross compiler needs none.
apt_packages=(
	cmake pkg-config
	g++-arm-linux-gnueabihf qemu-user
	debian-archive-keyring # the sysroot's packages are checked against it
	dpkg-dev               # dpkg-shlibdeps: the board's package's dependencies
)
# build-mraa.sh fetches MRAA's source with npm. On this machine image npm comes
# with the preinstalled nodejs package, which conflicts with Debian's npm.
command -v npm >/dev/null || apt_packages+=(npm)

"$top/scripts/apt-install.sh" "${apt_packages[@]}"
"$top/scripts/make-sysroot.sh"
"$top/scripts/build-mraa.sh" armhf
