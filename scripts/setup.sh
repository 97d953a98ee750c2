#!/usr/bin/env bash
# Installs what the agent needs to build and to be tested on this PC:
# Debian packages, then MRAA built from its pinned source into .deps/native.
# Idempotent, asks nothing; run it as root (or through sudo) on Debian 12.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)

apt_packages=(
	build-essential cmake pkg-config clang-format
	libpaho-mqtt-dev libjson-c-dev libgtest-dev
	mosquitto mosquitto-clients mosquitto-dev libmosquitto-dev
	python3
)
# npm fetches MRAA's source package; this machine kind may ship its own Node.js.
command -v npm >/dev/null || apt_packages+=(npm)

missing_packages() {
	local p
	for p in "$@"; do
		dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || echo "$p"
	done
}

install_packages() {
	local need
	need=$(missing_packages "$@")
	[ -z "$need" ] && return 0
	local sudo=""
	[ "$(id -u)" -eq 0 ] || sudo=sudo
	export DEBIAN_FRONTEND=noninteractive
	$sudo apt-get update -q
	# shellcheck disable=SC2086
	$sudo apt-get install -y -q --no-install-recommends $need
}

install_packages "${apt_packages[@]}"
"$top/scripts/build-mraa.sh" native
