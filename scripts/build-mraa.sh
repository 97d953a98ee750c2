#!/usr/bin/env bash
# Builds MRAA 1.9.0 from its pinned source package and installs it into
# .deps/<target>/mraa (git-ignored). Skips the work when that prefix is complete.
#   build-mraa.sh native         for this PC
#   build-mraa.sh armhf          cross-built with cmake/armhf-toolchain.cmake
#                                against the board's sysroot, into its /usr/local
#                                (.deps/armhf/sysroot, or $AGENT_ARMHF_SYSROOT),
#                                as a static library (the board's package then
#                                carries one binary, no private library nor
#                                RUNPATH); its mraa.pc names json-c, which a
#                                static link of MRAA needs.
#   build-mraa.sh native-static  for this PC, static like armhf: the x86-64
#                                package of the booted-system test (tests/system).
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
usage="usage: scripts/build-mraa.sh [native|armhf|native-static]
Builds MRAA 1.9.0 from its pinned source package into .deps/TARGET/mraa
(default native; armhf: into the board's sysroot, .deps/armhf/sysroot/usr/local,
or \$AGENT_ARMHF_SYSROOT/usr/local); does nothing when that build is complete.
The source package comes from the npm registry, unless .deps/mraa-1.9.0.tgz
is there already (a copy fetched elsewhere: its SHA-256 is checked)."
. "$top/scripts/cli.sh"
cli_help "$@"
[ $# -le 1 ] || cli_error "one target at most"
target=${1:-native}
case $target in
native | armhf | native-static) ;;
*) cli_error "unknown target '$target' (native, native-static or armhf)" ;;
esac

MRAA_VERSION=1.9.0
MRAA_SHA256=3c0dd7aee10cddccfbc40acfab232daf1bf027c3837aa1ebf2b52d621f22aa06

prefix="$top/.deps/$target/mraa"
if [ "$target" = armhf ]; then
	sysroot=${AGENT_ARMHF_SYSROOT:-$top/.deps/armhf/sysroot}
	[ -f "$sysroot/.sysroot-key" ] || { echo "build-mraa.sh: no board sysroot in $sysroot: run scripts/setup-armhf.sh" >&2; exit 1; }
	# Debian's packages install nothing into /usr/local: it is MRAA's alone.
	prefix="$sysroot/usr/local"
fi
variant=""
[ "$target" = native ] || variant="-static"
stamp="$prefix/.installed-$MRAA_SHA256$variant"
pc="$prefix/lib/pkgconfig/mraa.pc"
# mraa.pc names its folder relative to itself, so that a copy or a move of the
# work tree builds against its own .deps; one an older build wrote with an
# absolute path (the tree it was made in) is made so.
relocatable_pc() {
	sed -i 's|^prefix=.*|prefix=${pcfiledir}/../..|' "$pc"
	grep -qx 'prefix=${pcfiledir}/../..' "$pc" && ! grep -q "$top" "$pc"
}
if [ -f "$stamp" ]; then
	relocatable_pc
	exit 0
fi

# One build of a prefix at a time: another run waits, then finds it built.
mkdir -p "$top/.deps" "$(dirname "$prefix")"
exec 9>"$prefix.lock"
if ! flock -n 9; then
	echo "build-mraa.sh: waiting for another run that builds MRAA into $prefix"
	flock 9
	[ ! -f "$stamp" ] || exit 0
fi

# Build outside our work tree: MRAA's build looks for a .git folder in every
# parent directory and would describe our repository instead of itself.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -rf "$prefix"

tarball="$top/.deps/mraa-$MRAA_VERSION.tgz"
sound_tarball() { echo "$MRAA_SHA256  $tarball" | sha256sum --check --quiet 2>/dev/null; }
if [ ! -f "$tarball" ] || ! sound_tarball; then
	rm -f "$tarball"
	command -v npm >/dev/null || { echo "build-mraa.sh: no npm to fetch MRAA's source with: run scripts/setup.sh" >&2; exit 1; }
	echo "build-mraa.sh: fetching mraa@$MRAA_VERSION, MRAA's source package, from the npm registry (npm pack)"
	# npm's own defaults retry for minutes when the registry does not answer:
	# at most a minute here (npm's settings in the environment still win).
	if ! npm_log=$(cd "$work" && npm_config_fetch_retries=${npm_config_fetch_retries:-1} \
		npm_config_fetch_timeout=${npm_config_fetch_timeout:-30000} \
		npm_config_fetch_retry_mintimeout=${npm_config_fetch_retry_mintimeout:-2000} \
		npm_config_fetch_retry_maxtimeout=${npm_config_fetch_retry_maxtimeout:-5000} \
		npm pack --loglevel=error "mraa@$MRAA_VERSION" 2>&1 >/dev/null); then
		# npm's reason: "reason: ..." of a failed request, else its first
		# line that is not a code, a stack frame or the log's name.
		reason=$(sed -n -E 's/.*reason: (.*)$/\1/p' <<<"$npm_log" | head -n 1)
		[ -n "$reason" ] || reason=$(sed -n -E 's/^npm (error|ERR!) //p' <<<"$npm_log" |
			grep -vE '^(code|errno|syscall) |^A complete log|^ +at ' | head -n 1 | sed -E 's/ at: [^ ]+$//')
		echo "build-mraa.sh: the npm registry could not be reached (npm: ${reason:-no reason given}): set npm's proxy (npm config set proxy URL, or HTTPS_PROXY), or place mraa-$MRAA_VERSION.tgz (SHA-256 $MRAA_SHA256) in .deps/" >&2
		exit 1
	fi
	mv "$work/mraa-$MRAA_VERSION.tgz" "$tarball"
fi
sound_tarball || { echo "build-mraa.sh: $tarball is not mraa@$MRAA_VERSION's source package (SHA-256 $MRAA_SHA256)" >&2; exit 1; }

tar -xzf "$tarball" -C "$work"

cmake_args=(
	-S "$work/mraa" -B "$work/build"
	-DCMAKE_BUILD_TYPE=Release
	-DCMAKE_INSTALL_PREFIX="$prefix"
	-DCMAKE_INSTALL_LIBDIR=lib
	-DCMAKE_DISABLE_FIND_PACKAGE_Git=TRUE
	-DBUILDSWIG=OFF -DBUILDSWIGPYTHON=OFF -DBUILDSWIGNODE=OFF -DBUILDSWIGJAVA=OFF
	-DBUILDDOC=OFF -DENABLEEXAMPLES=OFF -DBUILDTESTS=OFF -DINSTALLTOOLS=OFF
	-DJSONPLAT=ON -DFIRMATA=OFF -DUSBPLAT=OFF -DIMRAA=OFF
)
case "$target" in
native) ;;
native-static) cmake_args+=(-DBUILD_SHARED_LIBS=OFF) ;;
armhf)
	cmake_args+=(-DCMAKE_TOOLCHAIN_FILE="$top/cmake/armhf-toolchain.cmake" -DBUILD_SHARED_LIBS=OFF)
	export AGENT_ARMHF_SYSROOT="$sysroot"
	# MRAA adds the folder of <stdlib.h> to its include path: the cross
	# compiler's own C library (the sysroot holds the board's run-time
	# libraries, not the C library's headers).
	libc_include=$(echo '#include <stdlib.h>' | arm-linux-gnueabihf-gcc --sysroot="$sysroot" -E -M -x c - |
		tr ' \\' '\n\n' | sed -n 's|/stdlib\.h$||p' | head -n 1)
	[ -d "$libc_include" ] || { echo "build-mraa.sh: the cross compiler has no <stdlib.h>" >&2; exit 1; }
	cmake_args+=(-DSYSTEM_USR_DIR="$libc_include")
	;;
esac

# gcc 12 defaults to -fno-common and a MRAA header defines globals. CFLAGS is
# added to the toolchain's own flags; -DCMAKE_C_FLAGS would replace them.
CFLAGS="${CFLAGS:-} -fcommon" cmake "${cmake_args[@]}" >"$work/configure.log" 2>&1 ||
	{ cat "$work/configure.log" >&2; exit 1; }
cmake --build "$work/build" -j "$(nproc)" >"$work/build.log" 2>&1 ||
	{ tail -n 50 "$work/build.log" >&2; exit 1; }
cmake --install "$work/build" >/dev/null
if [ -n "$variant" ]; then
	# Only libmraa.a is installed, so -ljson-c belongs in Libs (pkg-config's
	# Libs.private would be ignored by CMake's pkg_check_modules). The licence
	# text goes into the board's package with the library's code.
	sed -i 's|^Libs: .*-lmraa$|& -ljson-c|' "$prefix/lib/pkgconfig/mraa.pc"
	grep -q '^Libs: .*-lmraa -ljson-c$' "$prefix/lib/pkgconfig/mraa.pc"
	install -D -m 644 "$work/mraa/COPYING" "$prefix/share/doc/mraa/COPYING"
fi
relocatable_pc
touch "$stamp"
echo "MRAA $MRAA_VERSION installed in $prefix"
