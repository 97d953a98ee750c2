#!/usr/bin/env bash
# Installs what the agent needs to build and to be tested on this PC:
# Debian packages (with qemu-system-arm and debootstrap for the booted-system test,
# tests/system), then MRAA built from its pinned source into .deps/native.
# Idempotent, asks nothing; run it as root (or through sudo) on Debian 12.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
usage="usage: scripts/setup.sh
Installs the Debian packages the agent's build and tests need (apt, as root or
through sudo) and builds MRAA into .deps/native. Takes no arguments."
. "$top/scripts/cli.sh"
cli_no_args "$@"

apt_packages=(
	build-essential cmake pkg-config clang-format
	libpaho-mqtt-dev libjson-c-dev libgtest-dev
	mosquitto mosquitto-clients mosquitto-dev libmosquitto-dev
	python3
	libssl-dev openssl # the TLS build; the local endpoint's TLS certificates
	# the unit's system call filter, measured (tests/e2e/test_syscall_filter.py)
	strace seccomp systemd
	# the booted-system test (tests/system): an armhf Debian guest under
	# qemu-system-arm, its device tree edited with dtc
	qemu-system-arm qemu-utils debootstrap e2fsprogs device-tree-compiler
)
# npm fetches MRAA's source package; this machine kind may ship its own Node.js.
command -v npm >/dev/null || apt_packages+=(npm)

"$top/scripts/apt-install.sh" "${apt_packages[@]}"
"$top/scripts/build-mraa.sh" native
