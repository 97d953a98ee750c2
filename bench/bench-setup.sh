#!/usr/bin/env bash
# Installs what the benchmark needs on top of the project's own set-up
# (scripts/setup.sh): the two alternatives' runtimes and the measuring tools.
# Idempotent, asks nothing; run as root (or through sudo) on Debian 12.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
usage="usage: bench/bench-setup.sh
Installs what the benchmark needs on top of scripts/setup.sh (apt, as root or
through sudo). Takes no arguments."
. "$top/scripts/cli.sh"
cli_no_args "$@"

"$top/scripts/setup.sh"

bench_packages=(
	python3-paho-mqtt python3-smbus2 # the Python alternative
	mosquitto-clients i2c-tools      # the shell alternative
	valgrind strace linux-perf       # instructions, system calls, CPU time
	gnuplot-nox                      # the chart
	git patch                        # the patched agent variant, when there is one
)

"$top/scripts/apt-install.sh" "${bench_packages[@]}"
