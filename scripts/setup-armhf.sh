#!/usr/bin/env bash
# Installs what the ARMv7-A (armhf) build, its qemu runs and its Debian package
# need, then cross-builds MRAA into .deps/armhf/mraa.
# Idempotent, asks nothing; run it as root (or through sudo) on Debian 12 x86-64.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
usage="usage: scripts/setup-armhf.sh
Installs what the board's (armhf) build needs: the cross compiler, qemu-user,
the armhf libraries (multiarch, apt as root or through sudo), and builds MRAA
for armhf into .deps/armhf. Takes no arguments."
. "$top/scripts/cli.sh"
cli_no_args "$@"

# Host tools, and the armhf libraries the agent links against (multiarch).
apt_packages=(
	cmake pkg-config
	crossbuild-essential-armhf qemu-user
	libpaho-mqtt-dev:armhf libjson-c-dev:armhf libgtest-dev:armhf
	libstdc++6:armhf libssl-dev:armhf
	lintian dpkg-dev fakeroot file systemd
)

# build-mraa.sh fetches MRAA's source with npm. On this machine image npm comes
# with the preinstalled nodejs package, which conflicts with Debian's npm.
command -v npm >/dev/null || apt_packages+=(npm)

if ! dpkg --print-foreign-architectures | grep -qx armhf; then
	if [ "$(id -u)" -eq 0 ]; then dpkg --add-architecture armhf; else sudo dpkg --add-architecture armhf; fi
fi
# Recommends stay on: crossbuild-essential-armhf brings the armhf C library
# through them.
"$top/scripts/apt-install.sh" --recommends "${apt_packages[@]}"

"$top/scripts/build-mraa.sh" armhf
