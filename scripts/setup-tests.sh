#!/usr/bin/env bash
# Installs what the test command (scripts/test.sh) needs beyond the demo's
# set-up (scripts/setup.sh): the PC builds' test tools, the board's build
# (scripts/setup-armhf.sh: cross compiler, qemu-user, the board's sysroot),
# the package checkers and the booted-system test's tools. Idempotent, asks
# nothing; run it as root (or through sudo) on Debian 12.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
usage="usage: scripts/setup-tests.sh
Installs what the tests need (apt, as root or through sudo), on top of
scripts/setup.sh and scripts/setup-armhf.sh, which it runs. Takes no arguments."
. "$top/scripts/cli.sh"
cli_no_args "$@"

apt_packages=(
	libgtest-dev clang-format
	libssl-dev openssl       # the TLS build; the local endpoint's TLS certificates
	mosquitto-clients        # the tests' observers
	strace seccomp systemd   # the unit's system call filter and its checks
	lintian file             # the package checks
	# the booted-system test (tests/system): an armhf Debian guest under
	# qemu-system-arm, its root made by mmdebstrap, its device tree edited with dtc
	qemu-system-arm qemu-utils mmdebstrap arch-test e2fsprogs device-tree-compiler
)

"$top/scripts/setup.sh"
"$top/scripts/apt-install.sh" "${apt_packages[@]}"
"$top/scripts/setup-armhf.sh"
