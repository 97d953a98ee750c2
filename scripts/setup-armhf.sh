#!/usr/bin/env bash
# Installs what the ARMv7-A (armhf) build, its qemu runs and its Debian package
# need, then cross-builds MRAA into .deps/armhf/mraa.
# Idempotent, asks nothing; run it as root (or through sudo) on Debian 12 x86-64.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
export DEBIAN_FRONTEND=noninteractive
apt_opts=(-o DPkg::Lock::Timeout=600 -y -q)

# Host tools, and the armhf libraries the agent links against (multiarch).
apt_packages=(
	cmake pkg-config
	crossbuild-essential-armhf qemu-user
	libpaho-mqtt-dev:armhf libjson-c-dev:armhf libgtest-dev:armhf
	libstdc++6:armhf
	lintian dpkg-dev fakeroot file systemd
)

# build-mraa.sh fetches MRAA's source with npm. On this machine image npm comes
# with the preinstalled nodejs package, which conflicts with Debian's npm.
command -v npm >/dev/null || apt_packages+=(npm)

missing_packages() {
	local p
	for p in "$@"; do
		dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || echo "$p"
	done
}

updated=0
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
	$sudo dpkg --add-architecture armhf
	$sudo apt-get "${apt_opts[@]}" update
	updated=1
fi

need=$(missing_packages "${apt_packages[@]}")
if [ -n "$need" ]; then
	[ "$updated" -eq 1 ] || $sudo apt-get "${apt_opts[@]}" update
	# Recommends stay on: crossbuild-essential-armhf brings the armhf C library
	# through them. --no-remove: an armhf -dev package must never make apt drop
	# an amd64 one (same version on both sides in Debian 12, so it does not).
	# shellcheck disable=SC2086
	$sudo apt-get "${apt_opts[@]}" install --no-remove $need
fi

"$top/scripts/build-mraa.sh" armhf
