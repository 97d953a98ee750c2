#!/usr/bin/env bash
# Installs what the agent needs to build and to be tested on this PC:
# Debian packages (with qemu-system-arm and debootstrap for the booted-system test,
# tests/system), then MRAA built from its pinned source into .deps/native.
# Idempotent, asks nothing; run it as root (or through sudo) on Debian 12.
set -euo pipefail

usage() {
	cat <<-EOF
		usage: scripts/setup.sh
		  installs the Debian packages the builds and tests need and builds MRAA into .deps/native (as root)
	EOF
}
case ${1:-} in
"") ;;
-h | --help)
	usage
	exit 0
	;;
*)
	echo "setup.sh: unknown option: $1" >&2
	usage >&2
	exit 2
	;;
esac

top=$(cd "$(dirname "$0")/.." && pwd)

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
