#!/usr/bin/env bash
# The project's test command: installs what is missing (scripts/setup-tests.sh;
# the board's libraries in a sysroot of their own, the host's package system
# left as it was, which it checks), builds the agent
# (release, and debug with ASan+UBSan, for this PC; release for the board,
# armhf, with its Debian package; and release with MQTT over TLS for both,
# with the board's TLS package), checks formatting, the packages and the
# unit, provisioning of a device list, the run commands (run.sh, fleet.sh),
# and runs every test. The ARM suites run the ARM agent and the ARM
# simulator under qemu-arm; the booted-system test boots an emulated ARM
# board (armhf Debian 12 under qemu-system-arm) and installs the board's
# packages on it. Each build's agent is compiled to
# reach its own loopback address (127.0.0.1, .2, .4; with TLS .5 and .6; a
# second one each for its longest suites .7, .8, .9; the reading store's
# build .10), so the suites run side by side. AGENT_TEST_NET=127.X.Y moves
# them to 127.X.Y.1 to .10, so
# that two work trees can run their suites on one machine at the same time.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
usage="usage: scripts/test.sh
The test command: installs what is missing (apt, as root or through sudo),
builds the agent for the PC and the board, and runs every test. Takes no
arguments; AGENT_TEST_NET=127.X.Y moves the test brokers to 127.X.Y.*."
. "$top/scripts/cli.sh"
cli_no_args "$@"
cd "$top"

started=$(date +%s)
phase() { echo "test.sh: $* at $(($(date +%s) - started)) s"; }
net=${AGENT_TEST_NET:-127.0.0}
[[ $net =~ ^127\.[0-9]{1,3}\.[0-9]{1,3}$ ]] || { echo "test.sh: AGENT_TEST_NET must be 127.X.Y" >&2; exit 2; }
export AGENT_TEST_NET=$net
# The release build is the one scripts/run.sh runs: it keeps the default host.
release_host=localhost
[ "$net" = 127.0.0 ] || release_host=$net.1

# The host's package system as it was: the board's build must leave it so.
mkdir -p build-system
tests/deploy/host-untouched.sh snapshot build-system/host-packages.before
# Everything the tests need: the demo's set-up, the test tools, and the
# board's cross toolchain, sysroot and MRAA, before the guest's preparation,
# which cross-builds the board's packages with them.
scripts/setup-tests.sh
phase "set-up done"
# Every script answers --help and nothing else (before anything else runs in
# the tree: the check compares the tree before and after each script).
/usr/bin/python3 tests/scripts/test_help.py | grep -v '^ok: '

# The booted-system test's guest (mmdebstrap, armhf, from Debian's packages of
# the sysroot's suites, the board's packages built for its broker name) is prepared while
# the agent builds; the suites and then the guest's boots run alone, so that
# neither loads the machine under the suites' time bounds.
setsid tests/system/boot-test.sh prepare >build-system/prepare.log 2>&1 &
prepare_pid=$!
# A step that fails ends the test command: the preparation with it.
trap 'kill -TERM -- -$prepare_pid 2>/dev/null || true' EXIT

configure_and_build() {
	local dir=$1
	shift
	cmake -S . -B "$dir" "$@" >/dev/null
	cmake --build "$dir" -j "$(nproc)"
}
# Each build's longest suites (the broker's faults, the fleet) reach a
# second address ($net.7, .8; the board's .9): they run beside its others.
configure_and_build build -DCMAKE_BUILD_TYPE=Release -DAGENT_TESTS=ON -DAGENT_BROKER_HOST=$release_host \
	-DAGENT_TEST_SECOND_HOST=$net.7
configure_and_build build-asan -DCMAKE_BUILD_TYPE=Debug -DAGENT_TESTS=ON -DAGENT_SANITIZE=ON \
	-DAGENT_BROKER_HOST=$net.2 -DAGENT_TEST_SECOND_HOST=$net.8
# The reading store, small (full in a few cycles) with small messages: its
# suite alone runs there; the tests set the clock's flag in the build folder.
configure_and_build build-store -DCMAKE_BUILD_TYPE=Release -DAGENT_TESTS=ON -DAGENT_BROKER_HOST=$net.10 \
	-DAGENT_FLEET_SIZE=0 -DAGENT_STORE_SIZE=16 -DAGENT_STORE_MESSAGE_BYTES=240 \
	-DAGENT_STORE_CLOCK_FLAG="$top/build-store/e2e-clock/synchronized"
# TLS: the tests make the CA this agent trusts (tests/CMakeLists.txt).
configure_and_build build-tls -DCMAKE_BUILD_TYPE=Release -DAGENT_TESTS=ON -DAGENT_TLS=ON \
	-DAGENT_BROKER_HOST=$net.5 -DAGENT_CA_FILE="$top/build-tls/e2e-ca/ca.crt"

# The board: build-armhf/ (tested, $net.4) and the package from build-armhf-deb/;
# with TLS build-armhf-tls/ (tested, $net.6) and build-armhf-tls-deb/.
scripts/build-armhf.sh
scripts/build-armhf.sh --tls

git ls-files -co --exclude-standard -- '*.c' '*.cpp' '*.hpp' '*.h' |
	xargs clang-format --dry-run --Werror

# No binary of ours may make the loader search the working directory.
tests/deploy/check-runpath.sh build build-asan build-tls build-store build-armhf build-armhf-deb \
	build-armhf-tls build-armhf-tls-deb .deps | grep -v '^ok: '

tests/deploy/check-deploy.sh
tests/deploy/check-deploy.sh --tls
# Board packages for a device list, built on the same shared build.
/usr/bin/python3 tests/deploy/test_provision.py
# The demo and the fleet as a person runs them (scripts/run.sh, fleet.sh:
# builds of their own, brokers on $net.1 before the suites use it).
/usr/bin/python3 tests/scripts/test_run_scripts.py
# One device provisioned twice, its token changed: the booted-system test
# installs both and sees the upgrade (tests/deploy/guest-upgrade.sh).
tests/deploy/upgrade-packages.sh build-system/upgrade
# The board's package without Debian's security archive; the host's package
# system as it was before the set-up and the board's builds.
tests/deploy/sysroot-without-security.sh
tests/deploy/host-untouched.sh check build-system/host-packages.before

# Runs ctest in each given build folder at the same time; prints each log
# whole, in order, and fails if any failed.
run_suites() {
	local dir pids=() status=0 i=0
	for dir in "$@"; do
		# Two at a time: tests of one loopback address still take turns.
		ctest --test-dir "$dir" -j 2 --output-on-failure >"$dir/ctest.log" 2>&1 &
		pids+=($!)
	done
	for dir in "$@"; do
		wait "${pids[$i]}" || status=1
		i=$((i + 1))
		echo "=== ctest in $dir"
		cat "$dir/ctest.log"
	done
	return $status
}
phase "builds and checks done"
prepared=0
wait "$prepare_pid" || prepared=$?
phase "the guest prepared"

status=0
run_suites build build-asan build-armhf build-tls build-armhf-tls build-store || status=1
phase "suites done"

echo "=== booted-system test (tests/system)"
if [ "$prepared" -eq 0 ]; then
	tests/system/boot-test.sh run || status=1
else
	cat build-system/prepare.log
	echo "booted-system test: the guest could not be prepared"
	status=1
fi
phase "booted-system test done"
exit $status
