#!/usr/bin/env bash
# The board's package is built even when Debian's security archive cannot be
# read (a mirror in the middle of a sync, an archive out of reach): the
# sysroot is made from the release and its updates, with one warning line,
# and the package's dependencies are the same. And when the release itself
# cannot be read, the sysroot is refused in one line and nothing is left.
#
#   tests/deploy/sysroot-without-security.sh [DIR]   (default build-sysroot-check/)
#
# The security archive is an address on this machine's loopback that refuses
# connections. Needs the board's build (scripts/build-armhf.sh) first: its
# package is the one compared with. Ends with one line "N passed, N failed".
set -uo pipefail

top=$(cd "$(dirname "$0")/../.." && pwd)
usage="usage: tests/deploy/sysroot-without-security.sh [DIR]
Makes a sysroot with the security archive unreachable in DIR (default
build-sysroot-check/), builds the board's package against it and compares its
dependencies with build-armhf-deb's package."
. "$top/scripts/cli.sh"
cli_help "$@"
[ $# -le 1 ] || cli_error "one folder at most"
[[ ${1:-} != -* ]] || cli_error "unknown option '$1'"
dir=$(realpath -m "${1:-$top/build-sysroot-check}")
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
finish() {
	echo "$passed passed, $failed failed"
	[ "$failed" -eq 0 ]
	exit
}
reference=$(ls "$top"/build-armhf-deb/telemetry-agent_*_armhf.deb 2>/dev/null | head -n 1)
[ -n "$reference" ] || { echo "sysroot-without-security.sh: no package in build-armhf-deb: run scripts/build-armhf.sh" >&2; exit 1; }
rm -rf "$dir"
mkdir -p "$dir"
# A loopback port nothing listens on.
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
unreachable="http://127.0.0.1:$port/debian-security"

sysroot="$dir/sysroot"
"$top/scripts/make-sysroot.sh" --security-mirror "$unreachable" "$sysroot" >"$dir/make-sysroot.log" 2>&1
rc=$?
sed 's/^/  /' "$dir/make-sysroot.log"
check "sysroot made without the security archive (exit $rc)" [ $rc -eq 0 -a -f "$sysroot/.sysroot-key" ]
check "one warning line, naming bookworm-security" \
	[ "$(grep -c 'warning: bookworm-security left out' "$dir/make-sysroot.log")" = 1 -a "$(grep -c warning "$dir/make-sysroot.log")" = 1 ]
check "its sources: the release and its updates only" \
	[ "$(awk '{ print $(NF - 1) }' "$sysroot/etc/apt/sources.list" 2>/dev/null | tr '\n' ' ')" = "bookworm bookworm-updates " ]
[ $rc -eq 0 ] || finish

build="$dir/package"
AGENT_ARMHF_SYSROOT="$sysroot" "$top/scripts/build-mraa.sh" armhf >"$dir/build.log" 2>&1 &&
	cmake -S "$top" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/armhf-toolchain.cmake" \
		-DAGENT_ARMHF_SYSROOT="$sysroot" -DCMAKE_BUILD_TYPE=Release -DAGENT_TESTS=OFF \
		-DCMAKE_PROJECT_INCLUDE="$top/deploy/cpack.cmake" >>"$dir/build.log" 2>&1 &&
	cmake --build "$build" -j "$(nproc)" >>"$dir/build.log" 2>&1 &&
	(cd "$build" && umask 022 && cpack -G DEB >>"$dir/build.log" 2>&1)
rc=$?
[ $rc -eq 0 ] || tail -n 20 "$dir/build.log" | sed 's/^/  /'
deb=$(ls "$build"/telemetry-agent_*_armhf.deb 2>/dev/null | head -n 1)
check "the board's package built against it" [ $rc -eq 0 -a -n "$deb" ]
if [ -n "$deb" ]; then
	echo "  Depends: $(dpkg-deb -f "$deb" Depends)"
	check "the same dependencies as build-armhf-deb's package" \
		[ "$(dpkg-deb -f "$deb" Depends)" = "$(dpkg-deb -f "$reference" Depends)" ]
fi

# The release itself out of reach: refused in one line, no root left behind.
"$top/scripts/make-sysroot.sh" --mirror "$unreachable" --security-mirror "$unreachable" "$dir/none" \
	>"$dir/refused.log" 2>&1
rc=$?
sed 's/^/  /' "$dir/refused.log"
check "without the release's index: refused (exit $rc) in one line naming it" \
	[ $rc -ne 0 -a "$(grep -c "cannot read Debian bookworm's armhf index" "$dir/refused.log")" = 1 ]
check "and no sysroot left" [ ! -e "$dir/none" -a ! -e "$dir/none.new" ]
finish
