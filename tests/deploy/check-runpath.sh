#!/usr/bin/env bash
# Checks every ELF binary under the given folders (programs, shared objects,
# plugins): a library search path (RPATH or RUNPATH) may hold only absolute
# folders or $ORIGIN-relative ones. An empty entry (a trailing ':', say) or a
# relative one makes the loader search the current working directory for
# every library the binary needs: a library planted there would be loaded.
#   check-runpath.sh DIR...
# Prints one line per binary with a search path and ends with
# "N binaries checked, N bad".
set -euo pipefail

usage="usage: tests/deploy/check-runpath.sh DIR...
Checks the RPATH/RUNPATH of every ELF binary under the folders DIR: only
absolute or \$ORIGIN-relative entries pass. Ends with \"N binaries checked, N bad\"."
. "$(dirname "$0")/../../scripts/cli.sh"
cli_help "$@"
[ $# -gt 0 ] || cli_error "no folder given"
for d in "$@"; do
	[[ $d != -* ]] || cli_error "unknown option '$d'"
	[ -d "$d" ] || cli_error "no folder '$d'"
done

checked=0
bad=0
while IFS= read -r -d '' f; do
	[ "$(head -c 4 "$f" | od -An -tx1 | tr -d ' ')" = 7f454c46 ] || continue
	checked=$((checked + 1))
	paths=$(readelf -d "$f" 2>/dev/null | sed -n 's/.*Library r\(un\)\{0,1\}path: \[\(.*\)\]$/\2/p')
	[ -n "$paths" ] || continue
	while IFS= read -r path; do
		ok=1
		# A trailing ':' leaves an empty last entry that read -a would drop.
		[[ $path == *: || $path == :* || $path == *::* ]] && ok=0
		IFS=: read -r -a entries <<<"$path"
		for e in "${entries[@]}"; do
			[[ $e == /* || $e == '$ORIGIN' || $e == '$ORIGIN/'* ]] || ok=0
		done
		if [ $ok -eq 1 ]; then
			echo "ok: $f: $path"
		else
			echo "BAD: $f: '$path' has an empty or relative entry"
			bad=$((bad + 1))
		fi
	done <<<"$paths"
done < <(find "$@" -type f -print0)
echo "$checked binaries checked, $bad bad"
[ "$bad" -eq 0 ]
