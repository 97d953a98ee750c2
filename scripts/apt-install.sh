#!/usr/bin/env bash
# Installs those of the given Debian packages that are missing, after an
# apt-get update. Idempotent, asks nothing, waits for a package manager that
# another process is running; run it as root (or through sudo).
#   apt-install.sh [--recommends] PACKAGE...
set -euo pipefail

usage="usage: scripts/apt-install.sh [--recommends] PACKAGE...
Installs those of the Debian packages that are missing (apt-get update, then
apt-get install; as root or through sudo). --recommends: with their Recommends."
. "$(dirname "$0")/cli.sh"
cli_help "$@"
recommends=--no-install-recommends
if [ "${1:-}" = --recommends ]; then
	recommends=--install-recommends
	shift
fi
[ $# -gt 0 ] || cli_error "no package given"
for p in "$@"; do
	[[ $p != -* ]] || cli_error "unknown option '$p'"
done

need=()
for p in "$@"; do
	dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || need+=("$p")
done
[ ${#need[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo DEBIAN_FRONTEND=noninteractive"
export DEBIAN_FRONTEND=noninteractive
apt_opts=(-o DPkg::Lock::Timeout=600 -y -q)
$sudo apt-get "${apt_opts[@]}" update
# --no-remove: installing one package must never take another away.
$sudo apt-get "${apt_opts[@]}" install --no-remove "$recommends" "${need[@]}"
