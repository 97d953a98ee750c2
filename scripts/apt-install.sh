#!/usr/bin/env bash
# Installs those of the given Debian packages that are missing on this host,
# after an apt-get update. Idempotent, asks nothing, waits for a package
# manager that another process is running; run it as root (or through sudo).
#   apt-install.sh [--recommends] PACKAGE...
# An index that apt-get update cannot fetch (a mirror in the middle of a
# sync, say) is a warning: the install goes on with the others, and fails
# only if something needed cannot be had, with one line naming the package
# and why; apt then installs nothing. What it installs is noted in
# .deps/host-packages (scripts/remove-setup.sh removes it again).
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
usage="usage: scripts/apt-install.sh [--recommends] PACKAGE...
Installs those of the Debian packages that are missing (apt-get update, then
apt-get install; as root or through sudo). --recommends: with their Recommends."
. "$top/scripts/cli.sh"
cli_help "$@"
recommends=--no-install-recommends
if [ "${1:-}" = --recommends ]; then
	recommends=--install-recommends
	shift
fi
[ $# -gt 0 ] || cli_error "no package given"
for p in "$@"; do
	[[ $p != -* ]] || cli_error "unknown option '$p'"
	[[ $p != *:* ]] || cli_error "'$p': packages of this host's own architecture only"
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
echo "apt-install.sh: installing ${need[*]} (apt-get update, then apt-get install)"
if ! update_log=$($sudo apt-get "${apt_opts[@]}" update 2>&1); then
	# apt goes on with the indexes it could read: so do we.
	grep -E '^(E|W): ' <<<"$update_log" | grep -v 'Some index files failed' |
		sed 's/^/apt-install.sh: warning: apt-get update: /' >&2 || true
fi
# --no-remove: installing one package must never take another away.
if ! install_log=$($sudo apt-get "${apt_opts[@]}" install --no-remove "$recommends" "${need[@]}" 2>&1); then
	why=$(grep -m 1 -E '^ *[^ ]+ : (Pre-)?Depends:' <<<"$install_log" | sed -E 's/^ +//; s/  +/ /g' ||
		grep -m 1 -E '^E: ' <<<"$install_log" || tail -n 1 <<<"$install_log")
	mkdir -p "$top/.deps"
	printf '%s\n' "$update_log" "$install_log" >"$top/.deps/apt-install.log"
	echo "apt-install.sh: cannot install ${need[*]}: ${why#E: } (apt's words: .deps/apt-install.log)" >&2
	exit 1
fi
mkdir -p "$top/.deps"
printf '%s\n' "${need[@]}" >>"$top/.deps/host-packages"
