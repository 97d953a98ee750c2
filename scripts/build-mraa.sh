#!/usr/bin/env bash
# Builds MRAA 1.9.0 from its pinned source package and installs it into
# .deps/<target>/mraa (git-ignored). Skips the work when that prefix is complete.
#   build-mraa.sh native         for this PC
#   build-mraa.sh armhf          cross-built with cmake/armhf-toolchain.cmake, as a
#                                static library (the board's package then carries
#                                one binary, no private library nor RUNPATH); its
#                                mraa.pc names json-c, which a static link of MRAA
#                                needs.
#   build-mraa.sh native-static  for this PC, static like armhf: the x86-64
#                                package of the booted-system test (tests/system).
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
usage="usage: scripts/build-mraa.sh [native|armhf|native-static]
Builds MRAA 1.9.0 from its pinned source package into .deps/TARGET/mraa
(default native); does nothing when that build is complete."
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

# Build outside our work tree: MRAA's build looks for a .git folder in every
# parent directory and would describe our repository instead of itself.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -rf "$prefix"
mkdir -p "$top/.deps"

tarball="$top/.deps/mraa-$MRAA_VERSION.tgz"
if [ ! -f "$tarball" ] || ! echo "$MRAA_SHA256  $tarball" | sha256sum --check --quiet 2>/dev/null; then
	rm -f "$tarball"
	(cd "$top/.deps" && npm pack --silent "mraa@$MRAA_VERSION" >/dev/null)
fi
echo "$MRAA_SHA256  $tarball" | sha256sum --check --quiet

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
	export PKG_CONFIG_LIBDIR=/usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig
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
