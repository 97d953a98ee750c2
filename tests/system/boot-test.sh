#!/usr/bin/env bash
# The booted-system test: a throwaway Debian 12 system under qemu-system
# (x86-64), with the real systemd, journald and udev, installs the package
# built from deploy/ with apt and runs tests/system/guest-test.sh at each of
# three boots. No network device: the broker stand-in (broker/) runs on the
# guest's loopback; the sensor is the simulator's preload library (sim/).
#   boot-test.sh prepare   the root file system (debootstrap, Debian's packages
#                          only), the package and the guest's test files
#   boot-test.sh run       boots the guest (after prepare) and checks
#   boot-test.sh           both
# Everything lives in build-system/ (git-ignored): the root file system is
# kept there and reused while the list of packages is the same.
# Ends with one line "N passed, N failed". Run as root (debootstrap).
set -euo pipefail

top=$(cd "$(dirname "$0")/../.." && pwd)
work="$top/build-system"
root="$work/root"
here="$top/tests/system"
suite=bookworm
packages=systemd,systemd-sysv,udev,kmod,mosquitto,mosquitto-clients,libpaho-mqtt1.3,libjson-c5,linux-image-amd64
boots=3
boot_timeout_s=600 # one boot and its checks; about 1 minute under TCG
kvm_probe_s=20

log() { echo "boot-test.sh: $*"; }
die() {
	echo "boot-test.sh: $*" >&2
	exit 1
}

# ---- prepare ----
prepare_root() {
	local stamp="$root/.boot-test-$suite-$packages"
	[ -f "$stamp" ] && return 0
	rm -rf "$root"
	mkdir -p "$work"
	log "debootstrap $suite (log: $work/debootstrap.log)"
	debootstrap --variant=minbase --include="$packages" "$suite" "$root" >"$work/debootstrap.log" 2>&1 ||
		{ tail -n 20 "$work/debootstrap.log" >&2; die "debootstrap failed"; }
	touch "$stamp"
}

# The package from the board's packaging files, for x86-64: MRAA linked in
# statically as for armhf. The same build gives the guest's broker plugin and
# simulator library.
build_package() {
	local build="$work/deb"
	"$top/scripts/build-mraa.sh" native-static
	cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DAGENT_DEPS_TARGET=native-static \
		-DAGENT_TESTS=OFF -DCMAKE_PROJECT_INCLUDE="$top/deploy/cpack.cmake" >"$work/deb.log" 2>&1 &&
		cmake --build "$build" -j "$(nproc)" >>"$work/deb.log" 2>&1 &&
		rm -f "$build"/telemetry-agent_*.deb &&
		(cd "$build" && cpack -G DEB >>"$work/deb.log" 2>&1) ||
		{ tail -n 30 "$work/deb.log" >&2; die "the x86-64 package did not build"; }
}

install_test_files() {
	local t="$root/opt/system-test" etc="$root/etc" build="$work/deb"
	rm -rf "$t"
	mkdir -p "$t/broker"
	cp "$build"/telemetry-agent_*_amd64.deb "$build/broker/token_auth.so" "$build/sim/libboardsim.so" \
		"$build/broker/hostile-broker" "$here/guest-test.sh" "$t/"
	cp "$top/broker/run-broker.sh" "$top/broker/mosquitto.conf.in" "$top/broker/observer.acl" "$t/broker/"
	printf '45.0 -5.25\n50.0 30.0\n' >"$t/readings.txt"
	# The drop-in adds the simulator's environment and nothing else.
	cat >"$t/simulator.conf" <<-EOF
		[Service]
		Environment=LD_PRELOAD=/opt/system-test/libboardsim.so
		Environment=BOARDSIM_I2C_NODE=/dev/i2c-0 BOARDSIM_SCRIPT=/opt/system-test/readings.txt
	EOF
	cat >"$t/test-broker.service" <<-EOF
		[Unit]
		Description=The broker stand-in of the booted-system test
		Before=telemetry-agent.service
		[Service]
		Type=notify
		ExecStart=/usr/sbin/mosquitto -c /var/lib/system-test/broker/mosquitto.conf
		[Install]
		WantedBy=multi-user.target
	EOF
	cat >"$etc/systemd/system/system-test.service" <<-EOF
		[Unit]
		Description=The booted-system test of the board's package
		After=multi-user.target
		[Service]
		Type=oneshot
		ExecStart=/opt/system-test/guest-test.sh
		StandardOutput=journal+console
		StandardError=journal+console
		[Install]
		WantedBy=multi-user.target
	EOF
	mkdir -p "$etc/systemd/system/multi-user.target.wants"
	ln -sfn ../system-test.service "$etc/systemd/system/multi-user.target.wants/system-test.service"
	# Only the test's broker; no login prompts on the console.
	ln -sfn /dev/null "$etc/systemd/system/mosquitto.service"
	ln -sfn /dev/null "$etc/systemd/system/serial-getty@.service"
	ln -sfn /dev/null "$etc/systemd/system/getty@.service"
	ln -sfn /dev/null "$etc/systemd/system/getty-static.service"
	# A real I2C bus node, /dev/i2c-0: the kernel's i2c-stub answers at 0x38
	# (the simulator answers the transfers themselves).
	echo i2c-stub >"$etc/modules-load.d/system-test.conf"
	echo "options i2c-stub chip_addr=0x38" >"$etc/modprobe.d/system-test.conf"
	echo board >"$etc/hostname"
	printf '127.0.0.1 localhost\n::1 localhost\n127.0.1.1 board\n' >"$etc/hosts"
	rm -rf "$root/var/lib/system-test"
}

prepare() {
	command -v qemu-system-x86_64 >/dev/null && command -v debootstrap >/dev/null ||
		die "qemu-system-x86_64 or debootstrap missing: run scripts/setup.sh"
	[ "$(id -u)" -eq 0 ] || die "run as root (debootstrap)"
	prepare_root
	build_package
	install_test_files
}

# ---- run ----
# KVM when it works: on some machines /dev/kvm answers but a guest never
# gets past the firmware, so a kernel must show up on the console in time.
accelerator() {
	local probe="$work/kvm-probe.log"
	[ -r /dev/kvm ] && [ -w /dev/kvm ] || { echo tcg; return; }
	timeout "$kvm_probe_s" qemu-system-x86_64 -accel kvm -m 256 -display none -vga none -no-reboot \
		-kernel "$kernel" -append "console=ttyS0 panic=-1 rdinit=/none" -serial "file:$probe" \
		-monitor none -nic none >/dev/null 2>&1 || true
	if grep -q 'Linux version' "$probe" 2>/dev/null; then echo kvm; else echo tcg; fi
}

boot() { # boot N: one boot; the console goes to console-N.log, UART 0 to uart0-N.bin
	local n=$1
	timeout "$boot_timeout_s" qemu-system-x86_64 -accel "$accel" -M pc -m 1024 -smp 2 \
		-display none -vga none -monitor none -no-reboot -nic none \
		-kernel "$kernel" -initrd "$initrd" \
		-drive "file=$work/disk.img,format=raw,if=virtio" \
		-append "root=/dev/vda rw console=ttyS1 panic=-1 modprobe.blacklist=i2c_piix4" \
		-serial "file:$work/uart0-$n.bin" -serial "file:$work/console-$n.log" >"$work/qemu-$n.log" 2>&1
}

run() {
	local n started passed failed lines
	kernel=$(ls "$root"/boot/vmlinuz-*)
	initrd=$(ls "$root"/boot/initrd.img-*)
	rm -f "$work"/console-*.log "$work"/uart0-*.bin "$work"/results-*
	mkfs.ext4 -q -F -d "$root" -L root "$work/disk.img" 2G
	accel=$(accelerator)
	log "guest: x86-64, $accel, $boots boots (consoles: $work/console-N.log)"
	for n in $(seq 1 $boots); do
		started=$(date +%s)
		boot "$n" || echo "system-test: FAILED: boot $n: qemu ended with status $?" >>"$work/console-$n.log"
		tr -d '\r' <"$work/console-$n.log" | sed -n 's/^.*\(system-test: \)/\1/p' | tee "$work/results-$n"
		grep -q "^system-test: boot $n done" "$work/results-$n" ||
			{ echo "system-test: FAILED: boot $n did not finish" | tee -a "$work/results-$n"; break; }
		log "boot $n: $(($(date +%s) - started)) s"
	done
	# UART 0 (a real emulated 16550 at /dev/ttyS0): MRAA's one XOFF per start
	# of the agent, nothing else.
	for n in $(seq 1 $boots); do
		[ -f "$work/uart0-$n.bin" ] || continue
		lines=$(od -An -tx1 -v "$work/uart0-$n.bin" | tr -s ' \n' ' ')
		if [ -n "${lines// /}" ] && ! echo "$lines" | tr ' ' '\n' | grep -v '^$' | grep -qvx 13; then
			echo "system-test: ok: boot $n: UART 0 received only XOFF bytes:$lines"
		else
			echo "system-test: FAILED: boot $n: UART 0 received:$lines"
		fi
	done | tee -a "$work/results-uart"
	passed=$(cat "$work"/results-* | grep -c '^system-test: ok:' || true)
	failed=$(cat "$work"/results-* | grep -c '^system-test: FAILED:' || true)
	rm -f "$work"/results-*
	echo "$passed passed, $failed failed"
	[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
}

case ${1:-all} in
prepare) prepare ;;
run) run ;;
all)
	prepare
	run
	;;
*) die "usage: boot-test.sh [prepare|run]" ;;
esac
