#!/usr/bin/env bash
# The booted-system test: an emulated ARMv7 board (qemu-system-arm -M virt,
# TCG) running Debian 12 armhf with Debian's armmp kernel, the real systemd,
# journald and udev, installs the board's own armhf packages with apt and runs
# tests/system/guest-test.sh at each of four boots. No network device: the
# broker stand-in (broker/) and a DNS stand-in (dnsmasq) run on the guest's
# loopback; the sensor is the simulator's preload library (sim/), added by a
# drop-in of Environment= lines only. Real kernel devices: /dev/i2c-0 from an
# i2c-gpio bus on the board's PL061 GPIO lines (added to the device tree),
# /dev/ttyS0 from an emulated PCI 16550.
#
#   boot-test.sh prepare     the root file system (mmdebstrap, armhf, from
#                            the suites of the board's sysroot, Debian's
#                            packages only, their scripts run under qemu-user
#                            through a binfmt_misc entry registered for this
#                            run), the packages, the device tree and the
#                            guest's test files
#   boot-test.sh run [N]     boots the guest (after prepare) four times and
#                            checks; with N, boot N alone, from the disk as an
#                            earlier run left it after boot N-1 (to work on
#                            one boot's checks)
#   boot-test.sh             both
#   boot-test.sh -h|--help   this text
#
# Everything lives in build-system/ (git-ignored): the root file system is
# kept there and reused while its package list is the same. Consoles:
# build-system/console-N.log (ttyAMA0 of boot N), UART 0's output
# build-system/uart0-N.bin. Ends with one line "N passed, N failed".
# Run as root (mmdebstrap, chroot, binfmt_misc).
set -euo pipefail

top=$(cd "$(dirname "$0")/../.." && pwd)
work="$top/build-system"
root="$work/root-armhf"
# The board's sysroot (scripts/make-sysroot.sh): the packages build against
# it, and the guest's root comes from the same suites.
sysroot=${AGENT_ARMHF_SYSROOT:-$top/.deps/armhf/sysroot}
here="$top/tests/system"
suite=bookworm
packages=systemd,systemd-sysv,udev,kmod,mosquitto,mosquitto-clients,libpaho-mqtt1.3,libjson-c5,libssl3
packages+=,ca-certificates,dnsmasq-base,linux-image-armmp
# The initramfs holds only what mounts the root file system (MODULES=list).
initramfs_modules="virtio_pci virtio_blk ext4 crc32c_generic"
# The guest's broker by name: the agents are built for it and the guest's
# resolver stand-in answers it (it is in no hosts file).
broker_name=broker.guest.test
boots=4
boot_timeout_s=600 # one boot and its checks: 50 to 120 s under TCG
# Debian's armmp kernel has no LPAE: highmem=off keeps PCI below 4 GiB.
machine=virt,highmem=off
qemu_board=(-cpu cortex-a15 -m 1024 -smp 2 -accel tcg)

usage() {
	cat <<-EOF
		usage: boot-test.sh [prepare | run [N]]
		  prepare   make the armhf guest (build-system/): root file system, packages, device tree
		  run [N]   boot it $boots times and check (N: boot N alone, from the disk an earlier run left)
		  (none)    prepare, then run
		Run as root. Consoles: build-system/console-N.log; UART 0: build-system/uart0-N.bin.
	EOF
}
log() { echo "boot-test.sh: $*"; }
die() {
	echo "boot-test.sh: $*" >&2
	exit 1
}
now() { date +%s; }

# ---- qemu-user through binfmt_misc, for this run only ----
binfmt=/proc/sys/fs/binfmt_misc
# One entry per work tree: runs of two work trees may overlap.
binfmt_entry=telemetry-system-test-arm-$(echo "$top" | md5sum | cut -c1-8)
binfmt_mounted=0
binfmt_registered=0
qemu_static="$work/qemu-user-static/usr/bin/qemu-arm-static"
# 32-bit little-endian ARM ELF executables and shared objects (qemu's own).
arm_magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x28\x00'
arm_mask='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

# The static qemu-arm out of Debian's qemu-user-static package, unpacked in
# the work tree: installing that package would remove qemu-user-binfmt.
fetch_qemu_static() {
	[ -x "$qemu_static" ] && return 0
	rm -rf "$work/qemu-user-static" "$work/qemu-user-static.x" "$work"/qemu-user-static_*.deb
	# With the package lists of the last apt-get update, or new ones.
	(cd "$work" && { apt-get download -q qemu-user-static || { apt-get update -q && apt-get download -q qemu-user-static; }; }) \
		>"$work/qemu-user-static.log" 2>&1 ||
		{ cat "$work/qemu-user-static.log" >&2; die "apt-get download qemu-user-static failed"; }
	# Only qemu-arm-static of the package's emulators is kept.
	dpkg-deb -x "$work"/qemu-user-static_*.deb "$work/qemu-user-static.x"
	rm -f "$work"/qemu-user-static_*.deb
	mkdir -p "${qemu_static%/*}"
	mv "$work/qemu-user-static.x/usr/bin/qemu-arm-static" "$qemu_static" ||
		die "no qemu-arm-static in qemu-user-static"
	rm -rf "$work/qemu-user-static.x"
}

# F: the kernel opens the interpreter now, so it works inside the chroot.
binfmt_register() {
	if ! mountpoint -q "$binfmt"; then
		mount -t binfmt_misc binfmt_misc "$binfmt"
		binfmt_mounted=1
	fi
	[ ! -e "$binfmt/$binfmt_entry" ] || echo -1 >"$binfmt/$binfmt_entry" # a killed run's
	printf ':%s:M::%s:%s:%s:OCF' "$binfmt_entry" "$arm_magic" "$arm_mask" "$qemu_static" >"$binfmt/register"
	binfmt_registered=1
}

# What mmdebstrap mounts inside the root, if it was stopped.
umount_under_root() {
	local m
	for m in $(awk -v r="$root/" 'index($2, r) == 1 { print $2 }' /proc/mounts | sort -r); do
		umount -l "$m" || true
	done
}

# Leaves the machine as it was: runs on every exit of prepare, also a failed one.
cleanup_prepare() {
	local others
	umount_under_root
	if [ "$binfmt_registered" = 1 ] && [ -e "$binfmt/$binfmt_entry" ]; then
		echo -1 >"$binfmt/$binfmt_entry" || true
	fi
	binfmt_registered=0
	if [ "$binfmt_mounted" = 1 ]; then
		# Unless another run registered an entry on it meanwhile.
		others=$(ls "$binfmt" | grep -vx -e register -e status || true)
		if [ -z "$others" ]; then umount "$binfmt" || true; else log "binfmt_misc left mounted for:" $others; fi
	fi
	binfmt_mounted=0
}

# ---- prepare ----
# The guest's root from the suites the board's sysroot was made from
# (scripts/make-sysroot.sh left out any whose index was unsound): its
# sources list is mmdebstrap's mirror list.
prepare_root() {
	local sources="$sysroot/etc/apt/sources.list" key t
	[ -f "$sources" ] || die "no board sysroot in $sysroot: run scripts/setup-armhf.sh"
	key="$suite armhf $packages; initramfs: $initramfs_modules; $(tr '\n' ' ' <"$sources")"
	[ "$(cat "$root/.boot-test" 2>/dev/null)" = "$key" ] && { log "root file system reused"; return 0; }
	rm -rf "$root"
	# Before the kernel's package builds the initramfs: only the modules
	# that reach the root disk (virtio over PCI, ext4).
	cat >"$work/setup-hook.sh" <<-EOF
		#!/bin/sh
		set -e
		mkdir -p "\$1/etc/initramfs-tools/conf.d" "\$1/etc/initramfs-tools/hooks"
		echo MODULES=list >"\$1/etc/initramfs-tools/conf.d/system-test"
		cat >"\$1/etc/initramfs-tools/hooks/system-test" <<-'HOOK'
			#!/bin/sh
			[ "\$1" = prereqs ] && exit 0
			. /usr/share/initramfs-tools/hook-functions
			for m in $initramfs_modules; do manual_add_modules "\$m"; done
			for m in $initramfs_modules; do echo "\$m" >>"\$DESTDIR/conf/modules"; done
		HOOK
		chmod 755 "\$1/etc/initramfs-tools/hooks/system-test"
	EOF
	chmod 755 "$work/setup-hook.sh"
	t=$(now)
	log "mmdebstrap $suite armhf from $(awk '{ print $(NF - 1) }' "$sources" | tr '\n' ' ')under qemu-arm (binfmt_misc entry $binfmt_entry; log: $work/mmdebstrap.log)"
	binfmt_register
	# The emulator is checked by the binfmt_misc entry of our own.
	mmdebstrap --mode=root --variant=minbase --architectures=armhf --include="$packages" \
		--skip=check/qemu --dpkgopt=force-unsafe-io --setup-hook="$work/setup-hook.sh" \
		"$suite" "$root" "$sources" >"$work/mmdebstrap.log" 2>&1 ||
		{ tail -n 20 "$work/mmdebstrap.log" >&2; die "mmdebstrap failed"; }
	cleanup_prepare
	log "root file system: $(($(now) - t)) s"
	ls "$root"/boot/vmlinuz-* "$root"/boot/initrd.img-* >/dev/null || die "no kernel or initramfs in $root/boot"
	echo "$key" >"$root/.boot-test"
}

# The board's packages, plain and TLS, configured as scripts/build-armhf.sh
# configures build-armhf-deb and build-armhf-tls-deb, but for the guest's
# broker name; and from the same cross build the simulator's ARM preload
# library and the broker plugin for the guest's mosquitto.
build_packages() {
	local dir variant options
	AGENT_ARMHF_SYSROOT=$sysroot "$top/scripts/build-mraa.sh" armhf >"$work/packages.log" 2>&1 ||
		{ cat "$work/packages.log" >&2; die "MRAA for armhf did not build (scripts/setup-armhf.sh)"; }
	# plain, TLS, and with a reading store of a day (12,343 readings at 7 s).
	for variant in plain tls store; do
		dir="$work/armhf-deb"
		options=(-DAGENT_TLS=OFF)
		case $variant in
		tls) dir="$work/armhf-tls-deb" options=(-DAGENT_TLS=ON) ;;
		store) dir="$work/armhf-store-deb" options=(-DAGENT_STORE_SIZE=12343) ;;
		esac
		cmake -S "$top" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/armhf-toolchain.cmake" -DAGENT_ARMHF_SYSROOT="$sysroot" \
			-DCMAKE_BUILD_TYPE=Release -DCMAKE_PROJECT_INCLUDE="$top/deploy/cpack.cmake" -DAGENT_TESTS=OFF \
			"${options[@]}" -DAGENT_BROKER_HOST=$broker_name >>"$work/packages.log" 2>&1 &&
			cmake --build "$dir" -j "$(nproc)" >>"$work/packages.log" 2>&1 &&
			rm -f "$dir"/telemetry-agent_*.deb &&
			(cd "$dir" && cpack -G DEB >>"$work/packages.log" 2>&1) ||
			{ tail -n 30 "$work/packages.log" >&2; die "the armhf package ($variant) did not build"; }
	done
	# The plugin links nothing (the broker provides its symbols); mosquitto's
	# plugin headers are architecture-independent ("all") and come from the
	# host's mosquitto-dev, the C library's from the cross compiler.
	arm-linux-gnueabihf-gcc -shared -fPIC -O2 -Wall -Wextra -Werror -o "$work/token_auth.so" \
		"$top/broker/token_auth.c" || die "the broker plugin did not cross-build"
}

# The virt board's own device tree with an I2C bus on two free lines of its
# PL061 GPIO controller (line 3 is the power key): i2c-gpio, open drain.
make_device_tree() {
	local gpio phandle
	qemu-system-arm -M "$machine,dumpdtb=$work/virt.dtb" "${qemu_board[@]}" -display none -nic none >"$work/dtb.log" 2>&1 || { cat "$work/dtb.log" >&2; die "dumpdtb failed"; }
	gpio=$(fdtget -l "$work/virt.dtb" / | grep '^pl061@' | head -n 1)
	phandle=$(fdtget "$work/virt.dtb" "/$gpio" phandle) || die "no PL061 in the virt board's device tree"
	{
		dtc -q -I dtb -O dts "$work/virt.dtb"
		cat <<-EOF
			/ {
				i2c-gpio {
					compatible = "i2c-gpio";
					sda-gpios = <$phandle 0 6>;
					scl-gpios = <$phandle 1 6>;
					i2c-gpio,delay-us = <5>;
					#address-cells = <1>;
					#size-cells = <0>;
				};
			};
		EOF
	} >"$work/virt-i2c.dts"
	dtc -q -I dts -O dtb -o "$work/virt-i2c.dtb" "$work/virt-i2c.dts" || die "dtc failed"
}

# What the guest's checks use, in /opt/system-test. Files a check needs go
# in the list below.
install_test_files() {
	local t="$root/opt/system-test" etc="$root/etc"
	local files=(
		"$work"/armhf-deb/telemetry-agent_*_armhf.deb
		"$work/token_auth.so"
		"$work/armhf-deb/sim/libboardsim.so"
		"$work/armhf-deb/broker/hostile-broker"
		"$here/guest-test.sh"
		"$top/tests/deploy/guest-upgrade.sh"
	)
	rm -rf "$t"
	mkdir -p "$t/broker" "$t/tls"
	cp "${files[@]}" "$t/"
	cp "$work"/armhf-tls-deb/telemetry-agent_*_armhf.deb "$t/tls/"
	mkdir -p "$t/store"
	cp "$work"/armhf-store-deb/telemetry-agent_*_armhf.deb "$t/store/"
	cp "$top/broker/run-broker.sh" "$top/broker/tls-certs.sh" "$top/broker/mosquitto.conf.in" \
		"$top/broker/observer.acl" "$t/broker/"
	trust_test_ca
	printf '45.0 -5.25\n50.0 30.0\n' >"$t/readings.txt"
	echo "$broker_name" >"$t/broker-name"
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
	# The DNS stand-in, at every boot: it answers the broker's name alone
	# (forking: it listens before the agent may start).
	cat >"$etc/systemd/system/test-resolver.service" <<-EOF
		[Unit]
		Description=The DNS stand-in of the booted-system test
		Before=nss-lookup.target telemetry-agent.service
		Wants=nss-lookup.target
		[Service]
		Type=forking
		PIDFile=/run/test-resolver.pid
		ExecStart=/usr/sbin/dnsmasq --pid-file=/run/test-resolver.pid --user=nobody --group=nogroup \
			--no-resolv --no-hosts --listen-address=127.0.0.1 --bind-interfaces --log-queries \
			--address=/$broker_name/127.0.0.1
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
	ln -sfn ../test-resolver.service "$etc/systemd/system/multi-user.target.wants/test-resolver.service"
	# Only the test's broker; no login prompts on the console.
	ln -sfn /dev/null "$etc/systemd/system/mosquitto.service"
	ln -sfn /dev/null "$etc/systemd/system/serial-getty@.service"
	ln -sfn /dev/null "$etc/systemd/system/getty@.service"
	ln -sfn /dev/null "$etc/systemd/system/getty-static.service"
	echo board >"$etc/hostname"
	printf '127.0.0.1 localhost\n::1 localhost\n127.0.1.1 board\n' >"$etc/hosts"
	echo 'nameserver 127.0.0.1' >"$etc/resolv.conf"
	rm -rf "$root/var/lib/system-test"
}

# A CA made for this run, added to the guest's CA store the way an
# administrator adds one (update-ca-certificates, run under qemu-user here:
# inside the emulated board it takes a minute of the boots' time). The TLS
# package trusts the system's store, so it stays as the boards get it.
trust_test_ca() {
	local ca="$root/opt/system-test/tls/ca"
	"$top/broker/tls-certs.sh" ca "$ca"
	cp "$ca/ca.crt" "$root/usr/local/share/ca-certificates/system-test.crt"
	binfmt_register
	chroot "$root" update-ca-certificates >"$work/ca.log" 2>&1 ||
		{ cat "$work/ca.log" >&2; die "update-ca-certificates failed in the guest's root"; }
	cleanup_prepare
}

prepare() {
	local t
	command -v qemu-system-arm >/dev/null && command -v mmdebstrap >/dev/null && command -v dtc >/dev/null ||
		die "qemu-system-arm, mmdebstrap or dtc missing: run scripts/setup-tests.sh"
	command -v arm-linux-gnueabihf-gcc >/dev/null || die "no cross compiler: run scripts/setup-armhf.sh"
	[ "$(id -u)" -eq 0 ] || die "run as root (mmdebstrap, chroot, binfmt_misc)"
	mkdir -p "$work"
	trap cleanup_prepare EXIT
	trap 'exit 143' TERM INT
	t=$(now)
	fetch_qemu_static
	log "qemu-user-static: $(($(now) - t)) s"
	prepare_root
	t=$(now)
	build_packages
	log "packages: $(($(now) - t)) s"
	make_device_tree
	t=$(now)
	install_test_files
	log "device tree and test files: $(($(now) - t)) s"
}

# ---- run ----
boot() { # boot N DISK: one boot; the console goes to console-N.log, UART 0 to uart0-N.bin
	local n=$1
	timeout "$boot_timeout_s" qemu-system-arm -M "$machine" "${qemu_board[@]}" \
		-display none -monitor none -no-reboot -nic none \
		-kernel "$kernel" -initrd "$initrd" -dtb "$work/virt-i2c.dtb" \
		-drive "file=$2,format=qcow2,if=virtio" \
		-append "root=/dev/vda rw console=ttyAMA0 panic=-1" \
		-serial "file:$work/console-$n.log" \
		-chardev "file,id=uart0,path=$work/uart0-$n.bin" -device pci-serial,chardev=uart0 \
		>"$work/qemu-$n.log" 2>&1
}

# disk-N.qcow2: the disk after boot N, over the one after boot N-1.
boot_disk() {
	local n=$1 base="$work/disk.img" format=raw
	[ "$n" -eq 1 ] || { base="$work/disk-$((n - 1)).qcow2"; format=qcow2; }
	[ -f "$base" ] || die "no $base: run all boots first"
	rm -f "$work/disk-$n.qcow2"
	qemu-img create -q -f qcow2 -b "$base" -F $format "$work/disk-$n.qcow2"
	echo "$work/disk-$n.qcow2"
}

# UART 0 (the emulated 16550 at /dev/ttyS0): MRAA's one XOFF per start of
# the agent, nothing else.
check_uart() {
	local n=$1 bytes
	bytes=$(od -An -tx1 -v "$work/uart0-$n.bin" | tr -s ' \n' ' ')
	if [ -n "${bytes// /}" ] && ! echo "$bytes" | tr ' ' '\n' | grep -v '^$' | grep -qvx 13; then
		echo "system-test: ok: boot $n: UART 0 received only XOFF bytes:$bytes"
	else
		echo "system-test: FAILED: boot $n: UART 0 received:$bytes"
	fi
}

# The guest runs the libraries the packages were built against: its root
# and the board's sysroot come from the same suites.
check_libraries() {
	local p guest built bad=""
	for p in libc6 libpaho-mqtt1.3 libjson-c5 libssl3; do
		guest=$(dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${Version}' "$p:armhf" 2>/dev/null)
		built=$(dpkg-query --admindir="$sysroot/var/lib/dpkg" -W -f='${Version}' "$p:armhf" 2>/dev/null)
		[ -n "$guest" ] && [ "$guest" = "$built" ] || bad+=" $p (guest ${guest:-none}, sysroot ${built:-none})"
	done
	if [ -z "$bad" ]; then
		echo "system-test: ok: the guest's libc6, libpaho-mqtt1.3, libjson-c5, libssl3 are the sysroot's versions"
	else
		echo "system-test: FAILED: the guest's libraries are not the sysroot's:$bad"
	fi
}

run() {
	local n started passed failed first=1 last=$boots t
	[ $# -eq 0 ] || { first=$1; last=$1; }
	kernel=$(ls "$root"/boot/vmlinuz-*)
	initrd=$(ls "$root"/boot/initrd.img-*)
	for n in $(seq "$first" "$last"); do rm -f "$work/console-$n.log" "$work/uart0-$n.bin" "$work/results-$n"; done
	rm -f "$work/results-uart"
	check_libraries | tee "$work/results-libraries"
	if [ "$first" -eq 1 ]; then
		# The re-provisioned device's two packages (scripts/test.sh makes them
		# after the board's builds: tests/deploy/upgrade-packages.sh).
		rm -rf "$root/opt/system-test/upgrade"
		[ ! -d "$work/upgrade" ] || cp -r "$work/upgrade" "$root/opt/system-test/upgrade"
		t=$(now)
		mkfs.ext4 -q -F -d "$root" -L root "$work/disk.img" 2G
		log "disk image: $(($(now) - t)) s"
	fi
	log "guest: armv7 (qemu-system-arm -M virt, TCG), boots $first to $last (consoles: $work/console-N.log)"
	for n in $(seq "$first" "$last"); do
		started=$(now)
		boot "$n" "$(boot_disk "$n")" ||
			echo "system-test: FAILED: boot $n: qemu ended with status $?" >>"$work/console-$n.log"
		tr -d '\r' <"$work/console-$n.log" | sed -n 's/^.*\(system-test: \)/\1/p' | tee "$work/results-$n"
		grep -q "^system-test: boot $n done" "$work/results-$n" ||
			{ echo "system-test: FAILED: boot $n did not finish" | tee -a "$work/results-$n"; break; }
		check_uart "$n" | tee -a "$work/results-uart"
		log "boot $n: $(($(now) - started)) s"
	done
	passed=$(cat "$work"/results-* | grep -c '^system-test: ok:' || true)
	failed=$(cat "$work"/results-* | grep -c '^system-test: FAILED:' || true)
	rm -f "$work"/results-*
	echo "$passed passed, $failed failed"
	[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
}

case ${1:-all} in
-h | --help) usage ;;
prepare)
	[ $# -eq 1 ] || { echo "boot-test.sh: prepare takes no argument" >&2; usage >&2; exit 2; }
	prepare
	;;
run)
	if [ $# -gt 2 ] || { [ $# -eq 2 ] && ! [[ $2 =~ ^[1-9]$ && $2 -le $boots ]]; }; then
		echo "boot-test.sh: run takes a boot number from 1 to $boots" >&2
		usage >&2
		exit 2
	fi
	shift
	run "$@"
	;;
all)
	prepare
	run
	;;
*)
	echo "boot-test.sh: unknown option or command: $1" >&2
	usage >&2
	exit 2
	;;
esac
