#!/usr/bin/env bash
# The host side of the booted-system test's upgrade check: one device
# provisioned twice, its token changed in between, for a broker on the
# guest's own loopback (a test system: --allow-test-settings).
#
#   tests/deploy/upgrade-packages.sh DIR [-- [--tls] CMAKE-ARGS...]
#
# Writes DIR/first.deb and DIR/second.deb (board packages, armhf), their
# versions in DIR/first.version and DIR/second.version (the second sorts
# above the first), and DIR/tokens, both tokens, the guest broker's registry.
# tests/deploy/guest-upgrade.sh installs them in the guest. Needs the board's
# builds (scripts/build-armhf.sh) first.
set -euo pipefail

top=$(cd "$(dirname "$0")/../.." && pwd)
usage="usage: tests/deploy/upgrade-packages.sh DIR [-- [--tls] CMAKE-ARGS...]
Provisions one device twice, with another token the second time, for a broker
on 127.0.0.1: DIR/first.deb, DIR/second.deb, their versions and DIR/tokens."
. "$top/scripts/cli.sh"
cli_help "$@"
[ $# -ge 1 ] || cli_error "no folder given"
[[ $1 != -* ]] || cli_error "unknown option '$1'"
dir=$1
shift
[ $# -eq 0 ] || [ "$1" = -- ] || cli_error "unexpected argument '$1'"

host=127.0.0.1
tokens=(upgradeFirstToken01 upgradeSecondToken02)
umask 077
mkdir -p "$dir"
work=$(mktemp -d "$dir/.work.XXXXXX")
trap 'rm -rf "$work"' EXIT
printf '%s\n' "${tokens[@]}" >"$dir/tokens"
for i in 0 1; do
	which=$([ $i -eq 0 ] && echo first || echo second)
	printf 'name,token,client_id\nupgrade-board,%s,upgradeBoard\n' "${tokens[$i]}" >"$work/devices.csv"
	"$top/scripts/provision.sh" --allow-test-settings --host "$host" "$work/devices.csv" "$work/$which" "$@" \
		>"$work/$which.log" 2>&1 || { cat "$work/$which.log" >&2; exit 1; }
	mv "$work/$which"/upgrade-board_*.deb "$dir/$which.deb"
	dpkg-deb -f "$dir/$which.deb" Version >"$dir/$which.version"
	# Versions are per second: the next run's must be a later one.
	[ $i -eq 1 ] || sleep 1
done
dpkg --compare-versions "$(cat "$dir/second.version")" gt "$(cat "$dir/first.version")" ||
	{ echo "upgrade-packages.sh: the second version does not sort above the first" >&2; exit 1; }
echo "upgrade-packages.sh: $dir/first.deb $(cat "$dir/first.version"), $dir/second.deb $(cat "$dir/second.version")"
