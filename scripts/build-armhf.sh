#!/usr/bin/env bash
# Cross-builds for the board (armhf: ARMv7-A Cortex-A5, NEON + VFPv4,
# hard-float), from the same sources, toolchain and flags, twice:
#   build-armhf/      the tested build: the agent compiled to reach the test
#                     broker on 127.0.0.4, its unit tests, the simulator's
#                     preload library and mraa-probe. `ctest --test-dir
#                     build-armhf` runs the unit tests and the agent's
#                     end-to-end scenarios through qemu-arm (the broker on the
#                     host needs the native build's plugin: build/ first).
#   build-armhf-deb/  the board's package, telemetry-agent_<version>_armhf.deb:
#                     the agent compiled with the deployment's settings (extra
#                     arguments of this script go to this configure, e.g.
#                     -DAGENT_BROKER_HOST=broker.local; default localhost).
# The two agents differ only in the broker host compiled in; check-deploy.sh
# compares them. Checks that what it built is ARM code of the board's kind.
# One run at a time builds in these folders (build-armhf.lock, which
# scripts/provision.sh takes too): another waits for it, and says so.
# Needs scripts/setup-armhf.sh first.
#
#   build-armhf.sh --tls [CMAKE-ARGS...]
# does the same for an agent with MQTT over TLS (-DAGENT_TLS=ON) in
# build-armhf-tls/ (broker 127.0.0.6, trusting the CA its tests make) and
# build-armhf-tls-deb/ (trusting AGENT_CA_FILE, default the system's CAs).
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
usage="usage: scripts/build-armhf.sh [--tls] [--maintainer 'NAME <ADDRESS>'] [-DNAME=VALUE...]
Cross-builds the agent for the board (armhf): build-armhf/ (tested, its broker
on this machine) and build-armhf-deb/ with the board's Debian package. The
-D arguments go to the package's configure, e.g.
  scripts/build-armhf.sh -DAGENT_BROKER_HOST=broker.example.org -DAGENT_ACCESS_TOKEN=... -DAGENT_CLIENT_ID=...
--maintainer: the package's Maintainer, whoever makes and ships it (default:
a test build's, said so in the field). It warns when the package keeps the
demo access token, a loopback broker host or the test build's maintainer.
--tls: the same with MQTT over TLS, in build-armhf-tls/ and build-armhf-tls-deb/.
One run at a time builds in these folders: another waits (and says so).
Needs scripts/setup-armhf.sh first."
. "$top/scripts/cli.sh"
cli_help "$@"
tls=0
cmake_args=()
while [ $# -gt 0 ]; do
	case $1 in
	--tls) tls=1 ;;
	--maintainer)
		[ $# -ge 2 ] || cli_error "--maintainer needs a value: 'NAME <ADDRESS>'"
		cmake_args+=(-DAGENT_PACKAGE_MAINTAINER="$2")
		shift
		;;
	-[DU]?*) cmake_args+=("$1") ;;
	*) cli_error "unknown argument '$1' (--tls, --maintainer 'NAME <ADDRESS>', CMake settings -DNAME=VALUE)" ;;
	esac
	shift
done
set -- "${cmake_args[@]}"
build="$top/build-armhf"
deb_build="$top/build-armhf-deb"
toolchain="$top/cmake/armhf-toolchain.cmake"
# The tested agent's broker: a loopback address of its own, so that the ARM
# end-to-end suite runs beside the native ones (127.0.0.1, 127.0.0.2);
# AGENT_TEST_NET=127.X.Y (scripts/test.sh) makes it 127.X.Y.4.
test_host=${AGENT_TEST_NET:-127.0.0}.4
# Its longest suites on a second address, beside its others.
second_host=(-DAGENT_TEST_SECOND_HOST=${AGENT_TEST_NET:-127.0.0}.9)
tested_tls=()
deb_tls=()
if [ $tls -eq 1 ]; then
	build="$top/build-armhf-tls"
	deb_build="$top/build-armhf-tls-deb"
	test_host=${AGENT_TEST_NET:-127.0.0}.6
	second_host=()
	tested_tls=(-DAGENT_TLS=ON -DAGENT_CA_FILE="$build/e2e-ca/ca.crt")
	deb_tls=(-DAGENT_TLS=ON)
fi

die() {
	echo "build-armhf.sh: $*" >&2
	exit 1
}

# One run at a time in these folders: provision.sh's runs and this script's.
. "$top/scripts/build-lock.sh"
build_lock "$build.lock" "${build#"$top/"}/ and ${deb_build#"$top/"}/"

command -v arm-linux-gnueabihf-gcc >/dev/null || die "no cross compiler: run scripts/setup-armhf.sh"
# The board's libraries: the sysroot (made once, remade when its package
# list changes) and MRAA in it; AGENT_ARMHF_SYSROOT names another.
sysroot=${AGENT_ARMHF_SYSROOT:-$top/.deps/armhf/sysroot}
"$top/scripts/make-sysroot.sh" "$sysroot"
AGENT_ARMHF_SYSROOT=$sysroot "$top/scripts/build-mraa.sh" armhf
mraa_lib="$sysroot/usr/local/lib/libmraa.a"

configure() { # configure DIR CMAKE-ARGS...
	local dir=$1
	shift
	mkdir -p "$dir"
	cmake --fresh -S "$top" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DAGENT_ARMHF_SYSROOT="$sysroot" \
		-DCMAKE_BUILD_TYPE=Release \
		-DCMAKE_PROJECT_INCLUDE="$top/deploy/cpack.cmake" "$@" >"$dir.configure.log" 2>&1 ||
		{ cat "$dir.configure.log" >&2; die "configure of ${dir##*/} failed"; }
	mv "$dir.configure.log" "$dir/configure.log"
}
# Settings that shape the agent's code (the reading store) go to the tested
# build too: the two agents still differ only in their deployment's settings.
tested_code=()
for a in "$@"; do
	case $a in
	-DAGENT_STORE_SIZE=* | -DAGENT_STORE_SIZE:*=* | -DAGENT_STORE_MESSAGE_BYTES=* | -DAGENT_STORE_MESSAGE_BYTES:*=* | \
		-DAGENT_STORE_CLOCK_FLAG=* | -DAGENT_STORE_CLOCK_FLAG:*=*) tested_code+=("$a") ;;
	esac
done
configure "$build" -DAGENT_BROKER_HOST=$test_host "${second_host[@]}" -DAGENT_HOST_BUILD_DIR="$top/build" "${tested_tls[@]}" \
	"${tested_code[@]}"
cmake --build "$build" -j "$(nproc)"
configure "$deb_build" -DAGENT_TESTS=OFF "${deb_tls[@]}" "$@"
cmake --build "$deb_build" -j "$(nproc)"

sim_lib="$build/sim/libboardsim.so"
if [ ! -f "$sim_lib" ] || [ ! -f "$build/sim/mraa-probe" ]; then
	die "the simulator's ARM build is missing in $build/sim"
fi

# What the board runs: 32-bit ARM, hard-float ABI (arguments in VFP
# registers), VFPv4 and NEON with fused multiply-add. Objects of the static
# MRAA are checked too: its build takes the same toolchain.
check_arm() {
	local f=$1 header attrs
	# Captured first: grep -q leaving a pipe early would fail it (pipefail).
	header=$(readelf -h "$f")
	grep -q 'Machine: *ARM$' <<<"$header" || die "$f: not ARM code"
	attrs=$(readelf -A "$f")
	grep -q 'Tag_ABI_VFP_args: VFP registers' <<<"$attrs" || die "$f: not hard-float"
	grep -q 'Tag_FP_arch: VFPv4$' <<<"$attrs" || die "$f: not built for VFPv4"
	grep -q 'Tag_Advanced_SIMD_arch: NEONv1 with Fused-MAC' <<<"$attrs" || die "$f: not built for NEON"
}
arm_files=("$build/telemetry-agent" "$deb_build/telemetry-agent" "$sim_lib" "$mraa_lib")
for f in "${arm_files[@]}"; do
	check_arm "$f"
done
# Every MRAA object, not only the archive's first.
objs=$(mktemp -d)
trap 'rm -rf "$objs"' EXIT
(cd "$objs" && arm-linux-gnueabihf-ar x "$mraa_lib")
for f in "$objs"/*.o; do
	check_arm "$f"
done
echo "ARM attributes (hard-float, VFPv4, NEON with FMA) checked: ${arm_files[*]#"$top/"} and $(ls "$objs" | wc -l) MRAA objects"

rm -f "$build"/telemetry-agent_*.deb "$deb_build"/telemetry-agent_*.deb
# The package's own modes (folders 0755) whatever the caller's umask
# (provision.sh's is 077: its build's files hold access tokens).
(cd "$deb_build" && umask 022 && cpack -G DEB >"$deb_build/cpack.log" 2>&1) ||
	{ cat "$deb_build/cpack.log" >&2; die "cpack failed"; }
deb=$(ls "$deb_build"/telemetry-agent_*_armhf.deb)
deb_host=$(sed -n 's/^AGENT_BROKER_HOST:STRING=//p' "$deb_build/CMakeCache.txt")
echo "package: $deb ($(stat -c %s "$deb") bytes), broker host $deb_host"
# A package for a board with the demo token, or a broker on the board itself,
# is a test package: say so (scripts/provision.sh refuses them).
warnings=$("$top/scripts/devices.py" test-settings --host "$deb_host" \
	--token "$(sed -n 's/^AGENT_ACCESS_TOKEN:STRING=//p' "$deb_build/CMakeCache.txt")" \
	--maintainer "$(dpkg-deb -f "$deb" Maintainer)")
[ -z "$warnings" ] || sed "s/^/build-armhf.sh: warning: the package's /" <<<"$warnings" >&2
