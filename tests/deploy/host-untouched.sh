#!/usr/bin/env bash
# The board's build leaves the host's package system alone: its libraries
# come from a sysroot of their own (scripts/make-sysroot.sh), never through
# the host's dpkg.
#
#   tests/deploy/host-untouched.sh snapshot FILE   records the host's foreign
#                                                   architectures and packages
#   tests/deploy/host-untouched.sh check FILE      compares with FILE
#
# check passes when the foreign architectures are the same, no package was
# removed, and every package added is of the host's own architecture (or
# "all") and was asked for by the set-up (.deps/host-packages) or pulled in by
# one of those. Ends with one line "N passed, N failed".
set -uo pipefail

top=$(cd "$(dirname "$0")/../.." && pwd)
usage="usage: tests/deploy/host-untouched.sh snapshot|check FILE
snapshot: records the host's foreign architectures and installed packages in FILE;
check: compares the host with FILE (only host packages the set-up asked for added)."
. "$top/scripts/cli.sh"
cli_help "$@"
[ $# -eq 2 ] || cli_error "$# arguments: snapshot|check FILE"
mode=$1
file=$2

state() {
	echo "foreign-architectures: $(dpkg --print-foreign-architectures | sort | tr '\n' ' ')"
	dpkg-query -W -f='${db:Status-Abbrev} ${binary:Package} ${Architecture}\n' | awk '$1 ~ /^.i/ { print $2, $3 }' | sort
}
case $mode in
snapshot)
	state >"$file"
	echo "host-untouched.sh: $(($(wc -l <"$file") - 1)) packages, foreign architectures: $(dpkg --print-foreign-architectures | wc -l)"
	exit 0
	;;
check) [ -f "$file" ] || cli_error "no snapshot $file" ;;
*) cli_error "unknown mode '$mode' (snapshot or check)" ;;
esac

passed=0
failed=0
check() { # check DESCRIPTION COMMAND...
	local what=$1
	shift
	if "$@"; then
		passed=$((passed + 1))
		echo "ok: $what"
	else
		failed=$((failed + 1))
		echo "FAILED: $what"
	fi
}
now=$(state)
native=$(dpkg --print-architecture)
before_arch=$(head -n 1 "$file")
after_arch=$(head -n 1 <<<"$now")
armhf_before=$(grep -c ' armhf$' "$file")
armhf_after=$(grep -c ' armhf$' <<<"$now")
echo "  before: $before_arch; $armhf_before armhf packages; after: $after_arch; $armhf_after armhf packages"
check "foreign architectures as before" [ "$before_arch" = "$after_arch" ]
removed=$(comm -23 <(tail -n +2 "$file") <(tail -n +2 <<<"$now"))
check "no package removed${removed:+ (removed: $(echo $removed))}" [ -z "$removed" ]
added=$(comm -13 <(tail -n +2 "$file") <(tail -n +2 <<<"$now"))
foreign=$(awk -v n="$native" '$2 != n && $2 != "all"' <<<"$added")
check "no package of another architecture added${foreign:+ (added: $(echo $foreign))}" [ -z "$foreign" ]
# Added: asked for by the set-up, or installed by apt as what one of them needs.
asked=$(sort -u "$top/.deps/host-packages" 2>/dev/null)
auto=$(apt-mark showauto 2>/dev/null | sed 's/:.*//' | sort -u)
stray=$(awk '{ sub(/:.*/, "", $1); print $1 }' <<<"$added" | sort -u | comm -23 - <(sort -u <<<"$asked
$auto"))
echo "  $(grep -c . <<<"$added") host packages added by the set-up"
check "every added package asked for by the set-up or needed by one${stray:+ (others: $(echo $stray))}" [ -z "$stray" ]
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
