#!/usr/bin/env bash
# Installs what the agent, the board simulator and the local broker need on
# this PC (scripts/run.sh, the demo): Debian packages, then MRAA built from
# its pinned source into .deps/native. The tests need more:
# scripts/setup-tests.sh. Idempotent, asks nothing; run it as root (or through
# sudo) on Debian 12.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
usage="usage: scripts/setup.sh
Installs what the agent, the simulator and the local broker need (apt, as root
or through sudo) and builds MRAA into .deps/native. Takes no arguments."
. "$top/scripts/cli.sh"
cli_no_args "$@"

apt_packages=(
	build-essential cmake pkg-config
	libpaho-mqtt-dev libjson-c-dev # the agent (json-c: MRAA's platform file)
	mosquitto mosquitto-dev libmosquitto-dev # the local broker and its plugin
	python3 # the simulator
)
# npm fetches MRAA's source package; this machine kind may ship its own Node.js.
command -v npm >/dev/null || apt_packages+=(npm)

"$top/scripts/apt-install.sh" "${apt_packages[@]}"
"$top/scripts/build-mraa.sh" native
