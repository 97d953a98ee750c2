#!/usr/bin/env bash
# Checks the board's Debian package made by scripts/build-armhf.sh:
#   - its contents, control fields and maintainer scripts;
#   - the binary: ARM hard-float/VFPv4/NEON, stripped, no RPATH, MRAA linked in,
#     nothing newer than Debian 12's glibc; the settings of the package's
#     configure compiled in (never the test build's broker host); and the very
#     binary the end-to-end tests ran but for the settings' bytes;
#   - the MRAA platform file: MRAA 1.9 itself maps bus 0 and UART 0 with it
#     (a malformed file would silently fall back to "Unknown platform");
#   - the systemd unit: systemd-analyze verify, its exposure (systemd-analyze
#     security, at most 1.5), its user, and its ExecStart command line
#     run as systemd runs it (a session leader) with no broker reachable: the
#     agent's exit status 255 and its message must come through the shell and
#     stdbuf (tests/e2e/test_service.py runs the same line natively through a
#     hang-up of the serial line and a stop);
#   - lintian: no error and no warning. The info-level tags left are explained
#     in deploy/README.md.
# Ends with one line "N passed, N failed".
#
#   check-deploy.sh [--tls]                                the package of build-armhf-deb/
#                                                          (with --tls, build-armhf-tls-deb/)
#   check-deploy.sh [--tls] PACKAGE HOST CLIENT_ID TOKEN   another made from it (a board's,
#                                                          scripts/provision.sh) with these settings
# --tls checks the package of `scripts/build-armhf.sh --tls` against its own
# tested build: MQTT over TLS, its CA file, and what it depends on.
set -uo pipefail

top=$(cd "$(dirname "$0")/../.." && pwd)
usage="usage: tests/deploy/check-deploy.sh [--tls] [PACKAGE HOST CLIENT_ID TOKEN]
Checks the board's package of build-armhf-deb/ (--tls: build-armhf-tls-deb/)
and its unit, or PACKAGE made from it with these settings (a board's, from
scripts/provision.sh). Ends with one line \"N passed, N failed\"."
. "$top/scripts/cli.sh"
cli_help "$@"
build="$top/build-armhf"          # the tested build (simulator, mraa-probe)
deb_build="$top/build-armhf-deb"  # the package's build
tls=false
if [ "${1:-}" = --tls ]; then
	tls=true
	build="$top/build-armhf-tls"
	deb_build="$top/build-armhf-tls-deb"
	shift
fi
passed=0
failed=0

pass() {
	passed=$((passed + 1))
	echo "ok: $*"
}
fail() {
	failed=$((failed + 1))
	echo "FAILED: $*"
}
cached() { # cached BUILD-DIR VARIABLE: its value in the build's CMake cache
	sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt"
}
check() { # check DESCRIPTION COMMAND...
	local what=$1
	shift
	if "$@"; then pass "$what"; else fail "$what"; fi
}

# The board's libraries, and their packages' database: the sysroot the
# package was built against.
sysroot=$(cached "$deb_build" AGENT_ARMHF_SYSROOT 2>/dev/null || true)
sysroot=${sysroot:-$top/.deps/armhf/sysroot}
sysroot_dpkg=(dpkg-query --admindir="$sysroot/var/lib/dpkg")

[ $# -eq 0 ] || [ $# -eq 4 ] || cli_error "$# arguments: none, or PACKAGE HOST CLIENT_ID TOKEN"
[ $# -eq 0 ] || [[ $1 != -* ]] || cli_error "unknown option '$1'"
shopt -s nullglob
debs=("$deb_build"/telemetry-agent_*_armhf.deb)
[ $# -eq 4 ] && debs=("$1")
if [ "${#debs[@]}" -ne 1 ]; then
	echo "check-deploy.sh: expected one package in $deb_build: run scripts/build-armhf.sh" >&2
	echo "0 passed, 1 failed"
	exit 1
fi
deb=${debs[0]}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root="$work/root"
dpkg-deb -x "$deb" "$root"
dpkg-deb -e "$deb" "$work/control"
agent="$root/usr/bin/telemetry-agent"
unit="$root/lib/systemd/system/telemetry-agent.service"
platform_file=/etc/telemetry-agent/mraa-platform.json

# ---- contents and control ----
contents_ok() {
	local want got
	want=$(printf '%s\n' ./etc/telemetry-agent/mraa-platform.json \
		./lib/systemd/system/telemetry-agent.service ./lib/udev/rules.d/60-telemetry-agent.rules \
		./usr/bin/telemetry-agent ./usr/lib/modules-load.d/telemetry-agent.conf \
		./usr/lib/sysusers.d/telemetry-agent.conf \
		./usr/share/doc/telemetry-agent/README.md ./usr/share/doc/telemetry-agent/changelog.gz \
		./usr/share/doc/telemetry-agent/copyright ./usr/share/man/man8/telemetry-agent.8.gz)
	got=$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
	[ "$got" = "$want" ] || { diff <(echo "$want") <(echo "$got"); return 1; }
	dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ && $2 != "root/root" {bad=1} END {exit bad}'
}
check "package holds exactly the agent, platform file, unit, sysusers, udev and modules-load files, manual and docs (root-owned)" contents_ok

control_ok() {
	local depends
	[ "$(dpkg-deb -f "$deb" Architecture)" = armhf ] || return 1
	depends=$(dpkg-deb -f "$deb" Depends)
	echo "  Depends: $depends"
	local d
	for d in systemd 'libc6 (>= ' libpaho-mqtt1.3 libjson-c5; do
		grep -qF "$d" <<<"$depends" || { echo "  missing dependency $d"; return 1; }
	done
	# MRAA and the C++ run-time are linked in statically.
	! grep -qE 'mraa|libstdc\+\+' <<<"$depends" || return 1
	# The system's CA bundle: the TLS agent's default CA file.
	if $tls && [ "$(cached "$deb_build" AGENT_CA_FILE)" = /etc/ssl/certs/ca-certificates.crt ]; then
		grep -qE '(^|, )ca-certificates(,|$)' <<<"$depends" || { echo "  missing ca-certificates"; return 1; }
	elif grep -qE 'ca-certificates|libssl' <<<"$depends"; then
		echo "  TLS dependencies in a package without TLS"
		return 1
	fi
}
check "armhf package; dependencies: systemd (sysusers), computed libc6, libpaho-mqtt1.3, libjson-c5, no libstdc++6$($tls && echo '; ca-certificates')" control_ok

# The agent links Paho's plain client, or with TLS its TLS client, whose
# package (a dependency) brings OpenSSL.
paho_ok() {
	local lib=libpaho-mqtt3c.so.1 paho_depends
	$tls && lib=libpaho-mqtt3cs.so.1
	readelf -d "$agent" | grep -qF "Shared library: [$lib]" || { echo "  does not need $lib"; return 1; }
	$tls || return 0
	paho_depends=$("${sysroot_dpkg[@]}" -W -f='${Depends}' libpaho-mqtt1.3:armhf)
	echo "  libpaho-mqtt1.3:armhf Depends: $paho_depends"
	grep -qE '(^|, )libssl3( |,|$)' <<<"$paho_depends" &&
		readelf -d "$sysroot/usr/lib/arm-linux-gnueabihf/$lib" | grep -qF 'Shared library: [libssl.so.3]'
}
check "binary links $($tls && echo 'libpaho-mqtt3cs.so.1, whose package brings libssl3' || echo libpaho-mqtt3c.so.1)" paho_ok

# Who makes the package and under which licence: the maintainer the build
# was given, and a machine-readable copyright file naming our licence and
# crediting the code linked into the agent.
licence_ok() {
	local copyright="$root/usr/share/doc/telemetry-agent/copyright" maintainer
	maintainer=$(dpkg-deb -f "$deb" Maintainer)
	echo "  Maintainer: $maintainer"
	[ "$maintainer" = "$(cached "$deb_build" AGENT_PACKAGE_MAINTAINER)" ] || { echo "  not the build's maintainer"; return 1; }
	head -n 1 "$copyright" | grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' &&
		awk '/^Files: \*$/ { f = 1; next } f && /^License:/ { print; exit }' "$copyright" | grep -qx 'License: Apache-2.0' &&
		grep -qx 'License: Apache-2.0' "$copyright" && grep -q '/usr/share/common-licenses/Apache-2.0' "$copyright" &&
		grep -qx 'Files: mraa/\*' "$copyright" && grep -q 'Permission is hereby granted' "$copyright" &&
		grep -qx 'License: GPL-3+ with GCC-exception-3.1' "$copyright" && grep -q 'GCC RUNTIME LIBRARY EXCEPTION' "$copyright"
}
check "Maintainer as built; copyright: Apache-2.0, MRAA (MIT) and the GCC run-time credited" licence_ok

check "platform file is a conffile" grep -qx "$platform_file" "$work/control/conffiles"

scripts_ok() {
	local s
	for s in postinst prerm postrm; do
		[ -x "$work/control/$s" ] && sh -n "$work/control/$s" || return 1
	done
}
check "maintainer scripts are executable and parse" scripts_ok

# The agent holds the device's access token. Installed, it is executable by
# the service and readable by no other user: the package's postinst sets its
# mode with dpkg-statoverride (kept by dpkg at upgrades), its postrm forgets
# that on purge. The scripts run here as dpkg would run them, in a mount
# namespace of their own where /etc, /var/lib (dpkg's and systemd's state),
# /usr/bin and sysusers.d are overlays and /run is empty (no systemd, no
# udev): nothing of this machine changes.
token_at_rest_ok() {
	WORK=$work ROOT=$root unshare --mount sh -c '
	set -e
	for d in /etc /var/lib /usr/bin /usr/lib/sysusers.d; do
		mkdir -p "$WORK/ov$d/upper" "$WORK/ov$d/work"
		mount -t overlay overlay -o "lowerdir=$d,upperdir=$WORK/ov$d/upper,workdir=$WORK/ov$d/work" "$d"
	done
	mount -t tmpfs run /run
	cp "$ROOT/usr/lib/sysusers.d/telemetry-agent.conf" /usr/lib/sysusers.d/
	install -m 0755 "$ROOT/usr/bin/telemetry-agent" /usr/bin/telemetry-agent
	agent=/usr/bin/telemetry-agent
	# Reading as a user: the service user, and one outside its group.
	reads() { setpriv --reuid="$1" --regid="$1" --init-groups head -c 1 "$agent" >/dev/null 2>&1; }
	export DPKG_MAINTSCRIPT_PACKAGE=telemetry-agent DPKG_MAINTSCRIPT_NAME=postinst
	"$WORK/control/postinst" configure >>"$WORK/scripts.log" 2>&1
	"$WORK/control/postinst" configure 1.0.0 >>"$WORK/scripts.log" 2>&1 # an upgrade: the same again
	export DPKG_MAINTSCRIPT_NAME=postrm
	echo "  installed: $(stat -c "%A %U:%G" "$agent"); override: $(dpkg-statoverride --list "$agent")"
	[ "$(stat -c "%a %U %G" "$agent")" = "750 root telemetry-agent" ]
	reads telemetry-agent && ! reads nobody || { echo "  read by nobody, or not by the service"; exit 1; }
	"$WORK/control/postrm" remove >>"$WORK/scripts.log" 2>&1
	"$WORK/control/postrm" purge >>"$WORK/scripts.log" 2>&1
	! dpkg-statoverride --list "$agent" >/dev/null || { echo "  the override outlived the purge"; exit 1; }
	! getent group telemetry-agent >/dev/null
	' || { echo "  the maintainer scripts said:"; sed 's/^/    /' "$work/scripts.log"; return 1; }
}
check "installed agent: mode 0750 root:telemetry-agent (no other user reads the token), forgotten on purge" token_at_rest_ok

# ---- the binary ----
binary_ok() {
	local attrs dyn sections
	attrs=$(readelf -A "$agent")
	grep -q 'Tag_ABI_VFP_args: VFP registers' <<<"$attrs" &&
		grep -q 'Tag_FP_arch: VFPv4$' <<<"$attrs" &&
		grep -q 'Tag_Advanced_SIMD_arch: NEONv1 with Fused-MAC' <<<"$attrs" || return 1
	sections=$(readelf -S "$agent")
	! grep -q '\.symtab' <<<"$sections" || { echo "  not stripped"; return 1; }
	dyn=$(readelf -d "$agent")
	! grep -qE 'RPATH|RUNPATH' <<<"$dyn" || { echo "  has a library search path"; return 1; }
	# MRAA is linked in: no libmraa at run time.
	! grep -q 'libmraa' <<<"$dyn" || { echo "  needs libmraa"; return 1; }
	# The reading store is compiled out, not merely empty: none of its texts.
	! grep -qaE 'stored reading|STATE_DIRECTORY|timesync' "$agent" || { echo "  holds the reading store"; return 1; }
}
check "binary: hard-float VFPv4 + NEON, stripped, no RPATH, MRAA linked in, no reading store" binary_ok

glibc_ok() {
	local newest
	newest=$(arm-linux-gnueabihf-objdump -T "$agent" | grep -o 'GLIBC_[0-9.]*' | sort -V | tail -n 1)
	echo "  newest glibc symbol version: $newest"
	# Debian 12 has glibc 2.36.
	[ "$(printf '%s\n' "$newest" GLIBC_2.36 | sort -V | tail -n 1)" = GLIBC_2.36 ]
}
check "binary runs on glibc 2.36 (Debian 12)" glibc_ok

# The end-to-end tests ran build-armhf's agent, compiled to reach the test
# broker on a loopback address (and, with TLS, to trust the tests' CA); the
# package's agent is the same code with the deployment's settings. A tested
# setting in the package would point the board at itself.
settings=("$@")
[ $# -eq 4 ] || settings=("$deb" "$(cached "$deb_build" AGENT_BROKER_HOST)" \
	"$(cached "$deb_build" AGENT_CLIENT_ID)" "$(cached "$deb_build" AGENT_ACCESS_TOKEN)")
same_agent_ok() {
	local ca=()
	$tls && ca=(--ca-file "$(cached "$deb_build" AGENT_CA_FILE)")
	"$top/scripts/agent_binary.py" compare "$build/telemetry-agent" "$agent" \
		--host "${settings[1]}" --client-id "${settings[2]}" --token "${settings[3]}" "${ca[@]}"
}
check "packaged agent: the tested one but for its settings, the package's$($tls && echo ' (CA file included)')" same_agent_ok

# ---- the MRAA platform file, read by MRAA 1.9 itself ----
# The ARM mraa-probe of the simulator (built by build-armhf.sh) opens bus 0
# and UART 0 under qemu. The bus is answered by the simulator's preload
# library; for the UART, a copy of the file names a pseudo-terminal instead of
# /dev/ttyS0 (the only line that differs). Without the file both fail.
platform_ok() {
	python3 - "$root$platform_file" "$build/sim/mraa-probe" "$build/sim/libboardsim.so" "$sysroot" <<'EOF'
import json, os, subprocess, sys
path, probe, preload, sysroot = sys.argv[1:]
text = open(path).read()
plat = json.loads(text)
assert [u["path"] for u in plat["UART"]] == ["/dev/ttyS0"], plat["UART"]
assert [(b["index"], b["bus"]) for b in plat["I2C"]] == [(0, 0)], plat["I2C"]
master, slave = os.openpty()
copy = text.replace('"/dev/ttyS0"', json.dumps(os.ttyname(slave)))
assert sum(a != b for a, b in zip(text.splitlines(), copy.splitlines())) == 1
copy_path = os.path.join(os.environ["WORK"], "platform.json")
open(copy_path, "w").write(copy)

def probe_run(platform):
    env = ["-E", "LD_PRELOAD=" + preload, "-E", "BOARDSIM_I2C_DEV=/dev/i2c-0"]
    if platform:
        env += ["-E", "MRAA_JSON_PLATFORM=" + platform]
    r = subprocess.run(["qemu-arm", "-L", sysroot, *env, probe, "i2c", "0", "uart", "0"],
                       capture_output=True, text=True, timeout=60)
    return r.stdout.split("\n")[:2]

with_file, without = probe_run(copy_path), probe_run(None)
print("  with the file:", with_file, " without:", without)
sys.exit(0 if with_file == ["i2c ok", "uart ok"] and without == ["i2c null", "uart null"] else 1)
EOF
}
WORK=$work check "MRAA maps I2C 0 to /dev/i2c-0 and UART 0 to /dev/ttyS0 with the packaged file" platform_ok

# ---- the unit ----
verify_ok() {
	local out
	# systemd-analyze returns 0 on ignored (mistyped) settings: any output fails.
	# It runs man(1) for Documentation=man:...: the package's own pages answer.
	out=$(MANPATH="$root/usr/share/man" systemd-analyze verify "$unit" 2>&1)
	local rc=$?
	[ -n "$out" ] && echo "$out" | sed 's/^/  /'
	[ $rc -eq 0 ] && [ -z "$out" ]
}
check "systemd-analyze verify: no complaint" verify_ok

# The sandbox, as systemd rates it (0 = the most confined, 10 = none). Each
# directive is true to what the agent does; the booted-system test
# (tests/system) runs it, and tests/e2e/test_syscall_filter.py measures the
# system call filter.
exposure_limit=1.5
exposure_ok() {
	local out level
	out=$(systemd-analyze security --offline=true --no-pager "$unit" 2>&1)
	level=$(sed -n 's/^→ Overall exposure level for [^:]*: \([0-9.]*\) .*/\1/p' <<<"$out")
	grep '✗' <<<"$out" | sed 's/^/  /'
	echo "  exposure $level (at most $exposure_limit)"
	[ -n "$level" ] && awk -v l="$level" -v m="$exposure_limit" 'BEGIN { exit !(l <= m) }'
}
check "systemd-analyze security: exposure at most $exposure_limit" exposure_ok

unit_user_ok() {
	local sysusers="$root/usr/lib/sysusers.d/telemetry-agent.conf" line
	grep -qx 'User=telemetry-agent' "$unit" || return 1
	for line in 'u telemetry-agent - "Telemetry agent" - -' 'm telemetry-agent i2c' 'm telemetry-agent dialout'; do
		grep -qxF "$line" "$sysusers" || return 1
	done
}
check "service runs as the package's user, in the groups i2c and dialout" unit_user_ok

# The packaged agent's start as on the board, under qemu-arm -strace, in
# network and mount namespaces of its own: it resolves its broker's name (the
# tested agent has an address) and MRAA logs to syslog (the PC has no
# /dev/log; here a datagram socket takes it). Once through /etc/hosts giving
# the name an IPv4 and an IPv6 address (glibc orders them by the source
# address a UDP socket would take), once through DNS (a server on the
# namespace's loopback answers NXDOMAIN). Nothing listens: exit 255 each time.
# tests/e2e/test_syscall_filter.py measures whole runs of the tested agent.
start_calls_ok() {
	PYTHONPATH="$top/tests/e2e:$top/broker" python3 - "$agent" "$unit" "$root$platform_file" "$sysroot" \
		"$(cached "$deb_build" AGENT_BROKER_HOST)" "$work" <<'EOF'
import ipaddress, subprocess, sys
from test_syscall_filter import allowed_calls, traced_calls
agent, unit, platform, sysroot, host, work = sys.argv[1:]
try:
    ipaddress.ip_address(host.strip("[]"))
    ways = [("an address", "127.0.0.1 other\n")]
except ValueError:
    ways = [("hosts file", f"127.0.0.1 {host}\n::1 {host}\n"), ("DNS", "127.0.0.1 other\n")]
with open(f"{work}/servers.py", "w") as f:
    f.write("import select, socket\n"
            "log = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)\n"
            "log.bind('/dev/log')\n"
            "dns = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
            "dns.bind(('127.0.0.1', 53))\n"
            "print('up', flush=True)\n"
            "while True:\n"
            "    for s in select.select([log, dns], [], [])[0]:\n"
            "        q, peer = s.recvfrom(4096)\n"
            "        if s is dns:  # NXDOMAIN\n"
            "            dns.sendto(q[:2] + b'\\x81\\x83' + q[4:6] + bytes(6) + q[12:], peer)\n")
with open(f"{work}/resolv.conf", "w") as f:
    f.write("nameserver 127.0.0.1\n")
allowed, bad, seen = allowed_calls(unit), False, set()
for way, hosts in ways:
    name = way.replace(" ", "-")
    with open(f"{work}/hosts-{name}", "w") as f:
        f.write(hosts)
    trace = f"{work}/start-{name}.trace"
    # /dev becomes a tmpfs holding the nodes a program needs and the socket.
    script = (f"mount --bind {work}/hosts-{name} /etc/hosts && "
              f"mount --bind {work}/resolv.conf /etc/resolv.conf && ip link set lo up && "
              f"mkdir -p {work}/dev && mount --rbind /dev {work}/dev && mount -t tmpfs dev /dev && "
              f"for d in null zero random urandom; do touch /dev/$d && "
              f"mount --bind {work}/dev/$d /dev/$d || exit 1; done || exit 1; "
              f"python3 {work}/servers.py > {work}/servers.out & "
              f"i=0; while [ ! -s {work}/servers.out ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done; "
              f"qemu-arm -L {sysroot} -strace -D {trace} -E MRAA_JSON_PLATFORM={platform} {agent}; "
              "rc=$?; kill $!; exit $rc")
    rc = subprocess.run(["unshare", "--net", "--mount", "sh", "-c", script],
                        capture_output=True, timeout=120).returncode
    calls = traced_calls(trace)
    missing = sorted(calls - allowed)
    print(f"  {way}: exit {rc}; outside the filter: {missing}; {' '.join(sorted(calls))}")
    bad |= rc != 255 or bool(missing)
    seen |= calls
# The measurement saw the name's lookup and MRAA's syslog (which, racing its
# log socket, does not always get to send in every run).
sys.exit(1 if bad or not {"uname", "send"} <= seen else 0)
EOF
}
check "the packaged agent's start (its broker's name, syslog) is within the unit's system call filter" start_calls_ok

# ExecStart's shell command line, with systemd's $$ unquoted.
exec_script=$(python3 - "$unit" <<'EOF'
import shlex, sys
lines = [l for l in open(sys.argv[1]).read().splitlines() if l.startswith("ExecStart=")]
argv = shlex.split(lines[0][len("ExecStart="):])
assert len(lines) == 1 and argv[:2] == ["/bin/sh", "-c"] and len(argv) == 3, argv
assert "${" not in argv[2] and "%" not in argv[2], argv[2]
print(argv[2].replace("$$", "$"))
EOF
)
unit_refs_ok() {
	[ -n "$exec_script" ] || return 1
	grep -qF '/usr/bin/stdbuf -oL /usr/bin/telemetry-agent;' <<<"$exec_script" &&
		grep -qx "Environment=MRAA_JSON_PLATFORM=$platform_file" "$unit"
}
check "unit runs the packaged /usr/bin/telemetry-agent, line-buffered, with the packaged platform file" unit_refs_ok

# Run as systemd would: a session leader (setsid), stdin from /dev/null, the
# unit's environment; the agent itself under qemu. The network namespace has
# only a loopback that is down: no broker can answer, whatever runs here.
# stdbuf's LD_PRELOAD (a library of this machine's architecture) is for the
# emulator only (-U): the emulated agent's loader would reject it.
exit255_ok() {
	local script rc err
	script=${exec_script//\/usr\/bin\/telemetry-agent/qemu-arm -L $sysroot -U LD_PRELOAD $agent}
	unshare --net setsid --wait env MRAA_JSON_PLATFORM="$root$platform_file" \
		/bin/sh -c "$script" </dev/null >"$work/out" 2>"$work/err"
	rc=$?
	err=$(cat "$work/err")
	echo "  exit status $rc, stderr: $(printf '%q' "$err")"
	# The failure line, then its reason.
	[ $rc -eq 255 ] && [ "$(head -n 1 <<<"$err")" = "Failed to connect to MQTT server" ] &&
		[ "$(wc -l <<<"$err")" -eq 2 ] && grep -q '^Reason: ' <<<"$(tail -n 1 <<<"$err")" &&
		[ ! -s "$work/out" ]
}
check "ExecStart passes the agent's exit 255 and message on (broker unreachable)" exit255_ok

# ---- lintian ----
lintian_ok() {
	local out rc
	# As root lintian says so on stderr; that line is no finding.
	out=$(lintian --fail-on error,warning --display-info "$deb" 2>&1)
	rc=$?
	grep -v '^running with root privileges' <<<"$out" | sed 's/^/  /'
	[ $rc -eq 0 ]
}
check "lintian: no error, no warning" lintian_ok

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
