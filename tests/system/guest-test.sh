#!/bin/sh
# The booted-system test, inside the emulated ARM board (armhf Debian, the
# armmp kernel) that tests/system/boot-test.sh boots four times.
# system-test.service runs it at every boot, after multi-user.target; it
# prints one line "system-test: ok: ..." or "system-test: FAILED: ..." per
# check on the console, then reboots (the host starts the next boot) or, after
# the last, powers off.
#   boot 1: installs the package with apt while the broker runs; the ARM
#           kernel, the user, the devices, the sandbox and its rating, the
#           broker's name through DNS, the journal, readiness and status,
#           the watchdog, the orderly stop; the filter enforced by this
#           kernel (a unit without one call is killed). Enables the broker.
#   boot 2: broker up at boot: the service starts at boot and publishes; the
#           broker lost and back; a hang-up of the serial line.
#   boot 3: broker down at boot: exit 255, a restart every 10 s, publishing
#           once the broker is started; the broker away and back (status,
#           priorities in the journal); then purge.
#   boot 4: the TLS package: refuses a listener of an unknown CA, publishes
#           to one of the CA added to the guest's store. Then the package with
#           a reading store in its place: the broker away for some cycles
#           and back (the backlog delivered with the readings' times),
#           systemctl restart with a backlog (saved, read back, delivered),
#           timesyncd's flag absent and the clock a month off, then set and
#           the flag there (stamped from the monotonic times).
# At every boot: the filter never killed the agent.
# The simulator's preload library stands in for the sensor through a drop-in
# that only adds its environment; its bus descriptor is the real /dev/i2c-0
# of the kernel's i2c-gpio adapter, so that the node's group and the unit's
# device rules decide whether the agent reaches the bus.
set -u

usage() {
	cat <<-EOF
		usage: guest-test.sh
		  the booted-system test's checks, inside the guest that tests/system/boot-test.sh boots:
		  run by system-test.service at each boot, it checks that boot's phase and reboots
	EOF
}
case ${1:-} in
"") ;;
-h | --help)
	usage
	exit 0
	;;
*)
	echo "guest-test.sh: unknown option: $1" >&2
	usage >&2
	exit 2
	;;
esac

T=/opt/system-test
S=/var/lib/system-test
unit=telemetry-agent.service
user=telemetry-agent
topic=v1/devices/me/telemetry
payload_a='{"Humidity": 45.00, "Temperature": -5.25}'
payload_b='{"Humidity": 50.00, "Temperature": 30.00}'
notice='Received termination signal. Cleaning up resources...'
restart_s=10
broker_name=$(cat "$T/broker-name")

mkdir -p "$S"
boot=$(($(cat "$S/boot" 2>/dev/null || echo 0) + 1))
echo "$boot" >"$S/boot"

say() { echo "system-test: $*"; }
ok() { say "ok: boot $boot: $*"; }
fail() {
	say "FAILED: boot $boot: $*"
	systemctl status --no-pager -n 20 "$unit" 2>&1 | sed 's/^/  /'
}
check() { # check DESCRIPTION COMMAND...
	local what=$1
	shift
	if "$@"; then ok "$what"; else fail "$what"; fi
}
# wait_for SECONDS COMMAND...: true as soon as COMMAND is, false at the deadline.
wait_for() {
	local ticks=$(($1 * 5))
	shift
	while [ "$ticks" -gt 0 ]; do
		"$@" && return 0
		sleep 0.2
		ticks=$((ticks - 1))
	done
	return 1
}

prop() { systemctl show -P "$1" "$unit"; }
journal() { journalctl -b -u "$unit" --no-pager -o cat "$@"; }
# The agent's messages with their time (seconds since the epoch): "TIME MESSAGE".
journal_timed() {
	journalctl -b -u "$unit" --no-pager -o short-unix | sed 's/^\([0-9.]*\) [^:]*: /\1 /'
}
agent_pid() { # the unit's shell runs the agent as its only child
	local main
	main=$(prop MainPID)
	[ "$main" -gt 0 ] && cat "/proc/$main/task/$main/children" 2>/dev/null | tr -d ' '
}

# ---- the broker stand-in, on the guest's loopback ----
start_broker() {
	"$T/broker/run-broker.sh" start "$S/broker" --plugin "$T/token_auth.so"
}
start_observer() {
	mosquitto_sub -h 127.0.0.1 -p 1885 -t "$topic" -F '%U %p' >"$S/received" 2>&1 &
	echo $! >"$S/observer.pid"
	sleep 1
}
received() { grep -cF "$1" "$S/received" 2>/dev/null; }
has_received() { [ "$(received "$1")" -ge "${2:-1}" ]; }
time_received() { grep -F "$1" "$S/received" | head -n 1 | cut -d' ' -f1; }

published_line() { echo "Published MQTT data - Topic: $topic, Payload: $1"; }
journal_has() { journal | grep -qF "$1"; }

# |a - b| < bound, all in seconds with decimals
close_to() { awk -v a="$1" -v b="$2" -v d="$3" 'BEGIN { x = a - b; if (x < 0) x = -x; exit !(x < d) }'; }

# ---- the checks of one running service ----
check_journal_live() {
	# The line reached the journal when the broker had the message (stdout is
	# line-buffered; a fully buffered stream would hold it for minutes).
	local line logged got
	line=$(published_line "$1")
	wait_for 12 journal_has "$line" || return 1
	logged=$(journal_timed | grep -F "$line" | head -n 1 | cut -d' ' -f1)
	got=$(time_received "$1")
	echo "  journal at $logged, broker at $got"
	close_to "$logged" "$got" 2
}

check_process() {
	local pid status uid i2c_gid dialout_gid groups fds
	pid=$(agent_pid)
	[ -n "$pid" ] || { echo "  no agent process"; return 1; }
	status=$(cat "/proc/$pid/status")
	uid=$(id -u "$user")
	i2c_gid=$(getent group i2c | cut -d: -f3)
	dialout_gid=$(getent group dialout | cut -d: -f3)
	echo "$status" | grep -E '^(Uid|Gid|Groups|Cap[A-Za-z]*|NoNewPrivs|Seccomp):' | sed 's/^/  /'
	echo "$status" | grep -qE "^Uid:[[:space:]]+$uid[[:space:]]+$uid[[:space:]]+$uid[[:space:]]+$uid$" || return 1
	for cap in CapInh CapPrm CapEff CapBnd CapAmb; do
		echo "$status" | grep -qE "^$cap:[[:space:]]+0+$" || return 1
	done
	echo "$status" | grep -qE '^NoNewPrivs:[[:space:]]+1$' || return 1
	echo "$status" | grep -qE '^Seccomp:[[:space:]]+2$' || return 1
	groups=" $(echo "$status" | sed -n 's/^Groups:[[:space:]]*//p') "
	case $groups in *" $i2c_gid "*) ;; *) return 1 ;; esac
	case $groups in *" $dialout_gid "*) ;; *) return 1 ;; esac
	# It holds the bus and the port open: the group and the device rules let it in.
	fds=$(for fd in /proc/"$pid"/fd/*; do readlink "$fd"; done)
	echo "  open: $(echo "$fds" | tr '\n' ' ')"
	echo "$fds" | grep -qx /dev/i2c-0 && echo "$fds" | grep -qx /dev/ttyS0
}

check_stop() {
	local since
	since=$(date +%s.%N)
	systemctl stop "$unit" || return 1
	echo "  stopped in $(awk -v a="$since" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }') s;" \
		"$(systemctl show -p ActiveState -p Result -p ExecMainStatus "$unit" | tr '\n' ' ')"
	[ "$(prop ActiveState)" = inactive ] && [ "$(prop Result)" = success ] &&
		[ "$(prop ExecMainStatus)" = 0 ] && ! systemctl -q is-failed "$unit" &&
		journal_has "$notice"
}

check_period() {
	local a b
	wait_for 12 has_received "$payload_b" || return 1
	a=$(time_received "$payload_a")
	b=$(time_received "$payload_b")
	echo "  $(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.2f", b - a }') s apart"
	awk -v a="$a" -v b="$b" 'BEGIN { exit !(b - a >= 7 && b - a < 9) }'
}

# Every message the broker got is a publication the agent saw acknowledged
# (its line in the journal), and the stop left none behind.
check_once() {
	local published got
	sleep 2
	published=$(journal | grep -c '^Published MQTT data')
	got=$(grep -c . "$S/received")
	echo "  acknowledged $published, received $got"
	[ "$published" -ge 2 ] && [ "$got" -eq "$published" ]
}

check_devices() {
	local i2c tty
	wait_for 10 test -c /dev/i2c-0
	i2c=$(stat -c '%A %G' /dev/i2c-0) && tty=$(stat -c '%A %G' /dev/ttyS0) || return 1
	echo "  /dev/i2c-0: $i2c; /dev/ttyS0: $tty"
	[ "$i2c" = "crw-rw---- i2c" ] && [ "$tty" = "crw-rw---- dialout" ]
}

check_user() {
	local entry
	entry=$(getent passwd "$user") || return 1
	echo "  $entry; groups: $(id -nG "$user")"
	[ "$(id -u "$user")" -ne 0 ] && [ "$(id -u "$user")" -lt 1000 ] || return 1
	case "$entry" in *:/usr/sbin/nologin) ;; *) return 1 ;; esac
	id -nG "$user" | tr ' ' '\n' | grep -qx i2c && id -nG "$user" | tr ' ' '\n' | grep -qx dialout
}

# Exit 255 and a restart every 10 s: from each end of the main process to
# systemd's next start of it (the agent's own start, slow under emulation,
# is not part of it).
check_restarts() {
	# The first start and two restarts. A start that ends before the agent's
	# READY=1 is "Starting" without "Started" (Type=notify).
	wait_for 50 sh -c "[ \$(journalctl -b -u $unit --no-pager | grep -c 'systemd\[1\]: Starting ') -ge 3 ]" ||
		return 1
	[ "$(journal | grep -cxF 'Failed to connect to MQTT server')" -ge 2 ] || return 1
	journalctl -b -u "$unit" --no-pager -o short-unix | awk -v r=$restart_s '
		/Main process exited, code=exited, status=255/ { end = $1 }
		/systemd\[1\]: Starting / && end { d = $1 - end; gaps = gaps sprintf(" %.1f", d); n++; end = 0
			if (d < r || d > r + 4) bad = 1 }
		END { printf "  exit 255, restarted after%s s\n", gaps; exit bad || n < 2 }'
}

# The agent holds the token: executable by the service, readable by no other user.
check_agent_mode() {
	local mode
	mode=$(stat -c '%a %U %G' /usr/bin/telemetry-agent) || return 1
	echo "  /usr/bin/telemetry-agent: $mode"
	[ "$mode" = "750 root $user" ] &&
		! setpriv --reuid=nobody --regid=nogroup --clear-groups head -c 1 /usr/bin/telemetry-agent >/dev/null 2>&1
}

# A crash of the agent leaves no core, and the service restarts. Cores go to
# a helper that keeps them (a pipe ignores RLIMIT_CORE): a shell that crashes
# the same way leaves one, the control.
check_no_core() {
	local pattern pid restarts cores control
	pattern=$(cat /proc/sys/kernel/core_pattern)
	mkdir -p "$S/cores"
	printf '#!/bin/sh
cat >%s/cores/core.$1.$2
' "$S" >"$S/catch-core"
	chmod 0755 "$S/catch-core"
	echo "|$S/catch-core %p %e" >/proc/sys/kernel/core_pattern
	touch "$S/before-crash"
	sh -c 'kill -SEGV $$' 2>/dev/null
	restarts=$(prop NRestarts)
	pid=$(agent_pid)
	[ -n "$pid" ] && kill -SEGV "$pid"
	wait_for 30 sh -c "[ \$(systemctl show -P NRestarts $unit) -gt $restarts ] &&
		systemctl -q is-active $unit" || { echo "$pattern" >/proc/sys/kernel/core_pattern; return 1; }
	sleep 2
	echo "$pattern" >/proc/sys/kernel/core_pattern
	control=$(ls "$S/cores" | grep -c '^core\.[0-9]*\.sh$')
	cores=$(ls "$S/cores" | grep -v '^core\.[0-9]*\.sh$'; find / -xdev -path "$S/cores" -prune -o -newer "$S/before-crash" -name 'core*' -type f -print 2>/dev/null)
	if command -v coredumpctl >/dev/null; then
		cores="$cores$(coredumpctl --no-pager -q list telemetry-agent 2>/dev/null)"
	fi
	echo "  agent $pid: SIGSEGV; restarts $restarts -> $(prop NRestarts); the shell's core: $control;" \
		"the agent's: ${cores:-none}"
	[ "$control" -eq 1 ] && [ -z "$cores" ] && [ -n "$pid" ] && [ "$(agent_pid)" != "$pid" ]
}

# A hostile broker in the place of the broker: its flood, for about SECONDS.
# Into $S/memory-max: the most anonymous memory of the unit's processes
# meanwhile, and the unit's memory.peak, which the socket buffers the kernel
# forces on it may take past the limit (read with the shell's own read: under
# emulation a process per sample would stretch the time).
flood() { # flood SECONDS MODE...
	local ticks=$(($1 * 4)) high=0 peak=0 key value cgroup
	shift
	cgroup=/sys/fs/cgroup$(prop ControlGroup)
	"$T/hostile-broker" 127.0.0.1 1884 "$@" >>"$S/hostile.out" 2>>"$S/hostile.err" &
	echo $! >"$S/hostile.pid"
	sleep 0.5
	kill -USR1 "$(cat "$S/hostile.pid")"
	while [ "$ticks" -gt 0 ]; do
		while read -r key value; do
			[ "$key" = anon ] && [ "$value" -gt "$high" ] && high=$value
		done 2>/dev/null <"$cgroup/memory.stat"
		value=0
		read -r value 2>/dev/null <"$cgroup/memory.peak"
		[ "$value" -gt "$peak" ] && peak=$value
		sleep 0.25
		ticks=$((ticks - 1))
	done
	kill "$(cat "$S/hostile.pid")"
	wait "$(cat "$S/hostile.pid")" 2>/dev/null
	echo "$high $peak" >"$S/memory-max"
}

# The unit bounds the agent's memory: under a QoS 2 flood that is never
# released the agent bounds itself and publishes on; one packet larger than
# the bound gets it killed and restarted; after the flood telemetry resumes
# within two restarts.
check_memory_bound() {
	local max tasks restarts qos2_high qos2_peak big_high big_peak oom since
	max=$(cat "/sys/fs/cgroup$(prop ControlGroup)/memory.max")
	tasks=$(cat "/sys/fs/cgroup$(prop ControlGroup)/pids.max")
	echo "  memory.max $max, pids.max $tasks"
	[ "$max" = $((32 * 1024 * 1024)) ] && [ "$tasks" = 4 ] || return 1
	systemctl stop test-broker.service
	restarts=$(prop NRestarts)
	: >"$S/hostile.out"
	flood 25 qos2 4000
	read -r qos2_high qos2_peak <"$S/memory-max"
	oom=$(grep '^oom_kill ' "/sys/fs/cgroup$(prop ControlGroup)/memory.events" | cut -d' ' -f2)
	echo "  QoS 2 flood: anonymous memory at most $qos2_high bytes (peak $qos2_peak)," \
		"$(grep -c '^publish' "$S/hostile.out") publications," \
		"restarts $restarts -> $(prop NRestarts), oom kills $oom"
	[ "$qos2_high" -le "$max" ] && [ "$(grep -c '^publish' "$S/hostile.out")" -ge 2 ] &&
		[ "$(prop NRestarts)" -eq "$restarts" ] || return 1
	flood 20 big 64 0
	read -r big_high big_peak <"$S/memory-max"
	echo "  64 MiB packets: anonymous memory at most $big_high bytes (peak $big_peak);" \
		"restarts $restarts -> $(prop NRestarts)"
	[ "$big_high" -le "$max" ] && [ "$(prop NRestarts)" -gt "$restarts" ] || return 1
	since=$(date +%s)
	restarts=$(prop NRestarts)
	systemctl start test-broker.service
	wait_for 40 sh -c "journalctl -b -u $unit --no-pager -o short-unix --since @$since |
		grep -qF 'Published MQTT data'" || return 1
	echo "  telemetry resumed; restarts after the flood: $(($(prop NRestarts) - restarts))"
	[ $(($(prop NRestarts) - restarts)) -le 2 ] && journal | grep -q 'status=9/KILL\|oom'
}

check_purged() {
	local left="" f
	grep -qx /usr/bin/telemetry-agent "$S/package-files" || return 1
	while read -r f; do
		[ -e "$f" ] || [ -L "$f" ] && left="$left $f"
	done <"$S/package-files"
	[ -z "$left" ] || echo "  left behind:$left"
	[ -z "$left" ] && ! getent passwd "$user" >/dev/null && ! getent group "$user" >/dev/null &&
		[ ! -e /etc/telemetry-agent ] && [ -z "$(dpkg-statoverride --list /usr/bin/telemetry-agent)" ] &&
		! dpkg-query -W -f='${Status}' telemetry-agent 2>/dev/null | grep -q installed
}

# ---- what only the board's kernel shows ----
check_devices_real() {
	# The bus is the kernel's i2c-gpio adapter on the GPIO lines; ttyS0 a
	# 16550 on PCI.
	local bus tty
	bus=$(cat /sys/class/i2c-dev/i2c-0/name 2>/dev/null)
	tty=$(readlink -f /sys/class/tty/ttyS0/device 2>/dev/null)
	echo "  i2c-0: $bus; ttyS0: $tty"
	case $bus in *gpio*) ;; *) return 1 ;; esac
	case $tty in */pci*) ;; *) return 1 ;; esac
}

check_exposure() {
	local level
	level=$(systemd-analyze security --no-pager "$unit" 2>&1 |
		sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
	echo "  exposure: ${level:-none}"
	[ -n "$level" ] && awk -v l="$level" 'BEGIN { exit !(l <= 1.5) }'
}

# The agent found its broker by name through the guest's resolver stand-in:
# the name is in no hosts file.
check_dns() {
	local queries
	! grep -qF "$broker_name" /etc/hosts && grep -q '^hosts:.*dns' /etc/nsswitch.conf || return 1
	queries=$(journalctl -b -t dnsmasq --no-pager -o cat | grep -F "query[A] $broker_name from 127.0.0.1")
	echo "  $(echo "$queries" | head -n 1) ($(echo "$queries" | grep -c .) queries)"
	[ -n "$queries" ]
}

# The unit's filter minus one call the agent makes (send: MRAA's syslog, a
# name only 32-bit ARM has), the agent run directly: the kernel must kill it
# with SIGSYS.
check_filter_enforced() {
	local control=/etc/systemd/system/filter-control.service
	sed -e '/^SystemCallFilter=/ s/ send\( \|$\)/\1/' -e 's|^ExecStart=.*|ExecStart=/usr/bin/telemetry-agent|' \
		-e 's/^Restart=.*/Restart=no/' -e '/^\[Install\]/,$d' "/lib/systemd/system/$unit" >"$control"
	grep '^SystemCallFilter=' "/lib/systemd/system/$unit" | grep -qw send && ! grep '^SystemCallFilter=' "$control" |
		grep -qw send || { echo "  no call send to take out"; return 1; }
	mkdir -p /etc/systemd/system/filter-control.service.d
	cp "$T/simulator.conf" /etc/systemd/system/filter-control.service.d/
	systemctl daemon-reload
	systemctl start filter-control.service
	wait_for 20 sh -c '[ "$(systemctl show -P ActiveState filter-control.service)" != active ]'
	echo "  $(journalctl -b -u filter-control.service --no-pager -o cat | grep 'Main process exited')"
	[ "$(systemctl show -P ExecMainCode filter-control.service)" = 2 ] &&
		[ "$(systemctl show -P ExecMainStatus filter-control.service)" = 31 ] &&
		journalctl -b -u filter-control.service --no-pager -o cat | grep -q 'code=killed, status=31/SYS'
}
# The agent under the whole filter: never a SIGSYS (through the unit's
# shell, 128 + 31), in any phase of this boot.
check_no_sigsys() {
	local ends
	ends=$(journalctl -b -u "$unit" --no-pager -o cat | grep 'Main process exited' | sort | uniq -c)
	[ -z "$ends" ] || echo "$ends" | sed 's/^ */  /'
	! journalctl -b -u "$unit" --no-pager -o cat | grep -qE 'status=(159|31/SYS)'
}

# check_upgrade DIR: a re-provisioned package upgrades the board (boot 3).
. "$T/guest-upgrade.sh"

published_count() { journal | grep -c '^Published MQTT data'; }
# The broker stops while the agent runs: its next publication fails; once the
# broker is back the same process publishes again.
check_broker_lost_and_back() {
	local pid before
	pid=$(agent_pid)
	systemctl stop test-broker.service
	wait_for 20 journal_has 'Failed to publish' || { echo "  no failure line"; return 1; }
	before=$(published_count)
	systemctl start test-broker.service
	start_observer
	wait_for 30 sh -c "[ \$(journalctl -b -u $unit --no-pager -o cat | grep -c '^Published MQTT data') -gt $before ]" ||
		{ echo "  no publication after the broker came back"; return 1; }
	wait_for 10 has_received '"Humidity"' || return 1
	echo "  $(journal | grep -c 'Failed to publish') failed, then published again; agent $pid, now $(agent_pid)"
	[ "$(agent_pid)" = "$pid" ] && [ "$(prop NRestarts)" -eq 0 ]
}

# The kernel's hang-up of the serial line (the 16550 emulated here keeps its
# carrier up, so no carrier loss can be had: TIOCVHANGUP takes the same path
# in the tty layer). The agent's process must live through it and go on.
check_hangup() {
	local pid before
	pid=$(agent_pid)
	before=$(published_count)
	perl -e 'use Fcntl; sysopen(my $t, "/dev/ttyS0", O_RDWR | O_NOCTTY | O_NONBLOCK) or die "open: $!\n";
		ioctl($t, 0x5437, 0) or die "TIOCVHANGUP: $!\n";
		my $n = sysread($t, my $b, 1); defined $n && $n == 0 or die "the line is not hung up\n"' || return 1
	wait_for 12 sh -c "[ \$(journalctl -b -u $unit --no-pager -o cat | grep -c '^Published MQTT data') -gt $before ]" ||
		return 1
	echo "  agent $pid, after the hang-up $(agent_pid)"
	[ "$(agent_pid)" = "$pid" ] && systemctl -q is-active "$unit" && ! journal | grep -q SIGHUP
}

# ---- MQTT over TLS ----
start_tls_broker() { # start_tls_broker [CA_DIR]: a new CA of the broker's own without one
	"$T/broker/run-broker.sh" start "$S/broker" --plugin "$T/token_auth.so" --tls-port 8883 \
		--tls-name "$broker_name" ${1:+--tls-ca "$1"}
}
check_tls_refused() {
	wait_for 40 sh -c "[ \$(systemctl show -P NRestarts $unit) -ge 1 ]" || return 1
	echo "  NRestarts=$(prop NRestarts); received: $(grep -c . "$S/received")"
	[ "$(journal | grep -cxF 'Failed to connect to MQTT server')" -ge 1 ] && ! journal_has 'Published MQTT' &&
		[ ! -s "$S/received" ]
}

# ---- the service's health: readiness, status, watchdog, priorities ----
# The status line of systemctl status matches the extended regular expression
# $1 (from its start); then it is shown.
status_matches() {
	local status
	status=$(systemctl status --no-pager "$unit" | sed -n 's/^ *Status: "\(.*\)"$/\1/p')
	echo "$status" | grep -qE "^$1" || return 1
	echo "  Status: \"$status\""
}

# Type=notify: systemd counted the service as started only at the agent's
# READY=1, after its set-up and before its first publication.
check_ready() {
	local started first
	started=$(journal | grep -n '^Started ' | head -n 1 | cut -d: -f1)
	first=$(journal | grep -n '^Published MQTT data' | head -n 1 | cut -d: -f1)
	echo "  $(prop ActiveState), line $started: Started, line $first: first publication;" \
		"status: $(prop StatusText)"
	[ "$(prop ActiveState)" = active ] && [ -n "$started" ] && [ -n "$first" ] &&
		[ "$started" -lt "$first" ]
}

# The agent's own lines (its standard output and error, not systemd's lines
# about the unit) of priority $1 or more urgent: journalctl -p.
agent_journal() { journalctl -b _SYSTEMD_UNIT="$unit" _TRANSPORT=stdout -p "$1" --no-pager -o cat; }

# journalctl -p warning shows the failures and their reasons and nothing else;
# -p err the failures alone; the end of an outage is a notice, progress info.
check_priorities() {
	local warning err
	warning=$(agent_journal warning)
	err=$(agent_journal err)
	echo "$warning" | sort | uniq -c | sed 's/^/  -p warning: /'
	echo "$warning" | grep -qxF 'Failed to connect to MQTT server' &&
		echo "$warning" | grep -q '^Failed to publish file data. Return code: ' &&
		echo "$warning" | grep -q '^Reason: ' &&
		! echo "$warning" | grep -qvE '^(Failed |Reason: )' &&
		! echo "$err" | grep -qv '^Failed ' &&
		[ "$(echo "$err" | grep -c .)" -eq "$(echo "$warning" | grep -c '^Failed ')" ] &&
		agent_journal notice | grep -q '^Recovered: ' &&
		! agent_journal notice | grep -q 'Published MQTT data' &&
		agent_journal info | grep -q '^Published MQTT data'
}

# An agent that hangs (SIGSTOP) stops pinging: the watchdog kills the unit
# and Restart= starts it again, and the new agent publishes. The unit's own
# limit (90 s) is checked as it is set; the hang is shown under a drop-in of
# 20 s, which spares the boot a minute of waiting.
check_watchdog() {
	local pid restarts since took dropin="/etc/systemd/system/$unit.d/watchdog-test.conf"
	echo "  the unit's WatchdogSec: $(prop WatchdogUSec)"
	[ "$(prop WatchdogUSec)" = "1min 30s" ] || return 1
	printf '[Service]\nWatchdogSec=20s\n' >"$dropin"
	systemctl daemon-reload
	# Restarted in its pause, so that no publication is cut short.
	restarts=$(published_count)
	wait_for 15 sh -c "[ \$(journalctl -b -u $unit --no-pager -o cat | grep -c '^Published MQTT data') -gt $restarts ]"
	sleep 1
	systemctl restart "$unit"
	rm -f "$dropin"
	systemctl daemon-reload
	wait_for 30 status_matches "Delivered at " || return 1
	pid=$(agent_pid)
	restarts=$(prop NRestarts)
	[ -n "$pid" ] || return 1
	kill -STOP "$pid"
	since=$(date +%s)
	wait_for 60 sh -c "[ \$(systemctl show -P NRestarts $unit) -gt $restarts ]" || return 1
	took=$(($(date +%s) - since))
	echo "  restarted $took s after SIGSTOP: $(journal | grep -m 1 'Watchdog timeout')"
	journal | grep -q 'Watchdog timeout' &&
		wait_for 30 status_matches "Delivered at " && [ "$(agent_pid)" != "$pid" ]
}

# ---- the reading store (the store's package) ----
flag=/run/systemd/timesync/synchronized
state_file=/var/lib/$user/readings
# The agent's lines of this boot that hold TEXT, counted.
journal_count() { journal | grep -cF "$1"; }
# The "ts" values of the stored readings the broker got, in order.
received_ts() { grep -o '"ts": [0-9]*' "$S/received" | cut -d' ' -f2; }
# This machine's real time in ms while the test moves the clock: from the
# boot's start (kept at the check's start) and the uptime.
uptime_ms() { awk '{ printf "%d", $1 * 1000 }' /proc/uptime; }

# The broker away until N more cycles failed: $S/outage holds the real time
# in ms when it went.
broker_away() { # broker_away N
	local failed
	failed=$(journal_count 'Failed to publish file data')
	echo "$(($(uptime_ms) + boot_ms))" >"$S/outage"
	"$T/broker/run-broker.sh" stop "$S/broker"
	kill "$(cat "$S/observer.pid")" 2>/dev/null
	wait_for 60 sh -c "[ \$(journalctl -b -u $unit --no-pager -o cat | grep -cF 'Failed to publish file data') -ge $((failed + $1)) ]"
}
# The broker and its observer back while the agent is held (SIGSTOP), so
# that the observer sees all it sends; $S/outage gets the time it came back.
broker_back() {
	local pid
	pid=$(agent_pid)
	[ -z "$pid" ] || kill -STOP "$pid"
	echo "$(cat "$S/outage") $(($(uptime_ms) + boot_ms))" >"$S/outage"
	start_broker
	start_observer
	[ -z "$pid" ] || kill -CONT "$pid"
}

# The broker got N stored readings (each once: N "ts" in all), each with a ts
# in the outage (real time, ms): none stamped from a wrong clock.
check_stored_times() { # check_stored_times N
	local went came ts n=0 bad=0
	read -r went came <"$S/outage"
	for ts in $(received_ts); do
		n=$((n + 1))
		[ "$ts" -ge $((went - 2000)) ] && [ "$ts" -le $((came + 2000)) ] || bad=$((bad + 1))
	done
	echo "  $n stored readings received, $bad outside the outage ($went to $came ms)"
	[ "$n" -eq "$1" ] && [ "$bad" -eq 0 ]
}
stored_received() { [ "$(received_ts | wc -l)" -ge "$1" ]; }

check_store_installed() {
	apt-get purge -y -q telemetry-agent >"$S/apt.log" 2>&1 || { cat "$S/apt.log"; return 1; }
	# Shorter pauses for these checks (the simulator's scale): 2.1 s.
	printf '[Service]\nEnvironment=BOARDSIM_SLEEP_SCALE=0.3\n' >"/etc/systemd/system/$unit.d/pace.conf"
	mkdir -p "${flag%/*}"
	touch "$flag"
	apt-get install -y -q "$T"/store/telemetry-agent_*.deb >"$S/apt.log" 2>&1 || { cat "$S/apt.log"; return 1; }
	echo "  StateDirectory=$(prop StateDirectory); $(prop DropInPaths)"
	[ "$(prop StateDirectory)" = "$user" ] && wait_for 40 has_received "$payload_a"
}

check_store_outage() {
	local before failed
	before=$(journal_count 'Failed to publish file data')
	broker_away 3 || return 1
	broker_back
	wait_for 30 journal_has "Recovered: every stored reading is delivered; 0 dropped" || return 1
	failed=$(($(journal_count 'Failed to publish file data') - before))
	journal | grep -F 'stored reading' | sed 's/^/  /'
	check_stored_times "$failed"
}

check_store_restart() {
	local before failed pid
	before=$(journal_count 'Failed to publish file data')
	broker_away 2 || return 1
	# Held while the broker comes back, then stopped and started again.
	pid=$(agent_pid)
	kill -STOP "$pid"
	failed=$(($(journal_count 'Failed to publish file data') - before))
	echo "$(cat "$S/outage") $(($(uptime_ms) + boot_ms))" >"$S/outage"
	start_broker
	start_observer
	systemctl restart --no-block "$unit"
	sleep 1
	kill -CONT "$pid" 2>/dev/null # systemd may have continued and stopped it already
	wait_for 30 journal_has "Saved $failed stored readings to $state_file" || { echo "  no save of $failed"; return 1; }
	wait_for 30 journal_has "Restored $failed stored readings from $state_file" || return 1
	echo "  $(stat -c '%a %U' "$state_file") $state_file"
	[ "$(stat -c '%a %U' "$state_file")" = "600 $user" ] || return 1
	wait_for 30 stored_received "$failed" || return 1
	check_stored_times "$failed"
}

# The real time again, as NTP would set it.
set_real_clock() { date -s "@$((($(uptime_ms) + boot_ms) / 1000))" >/dev/null; }

check_store_clock() {
	local before failed
	rm -f "$flag"
	date -s "@$(($(date +%s) - 30 * 86400))" >/dev/null
	before=$(journal_count 'Failed to publish file data')
	broker_away 2 || { set_real_clock; return 1; }
	broker_back
	failed=$(($(journal_count 'Failed to publish file data') - before))
	wait_for 30 journal_has "Stored readings wait for the clock: $failed measured" || { set_real_clock; return 1; }
	sleep 3
	! stored_received 1 || { set_real_clock; echo "  stamped before the flag"; return 1; }
	# NTP sets the clock, then timesyncd makes its flag.
	set_real_clock
	touch "$flag"
	wait_for 30 stored_received "$failed" || return 1
	journal | grep -F 'wait for the clock' | sed 's/^/  /'
	check_stored_times "$failed"
}

store_checks() {
	boot_ms=$(($(date +%s%3N) - $(uptime_ms)))
	"$T/broker/run-broker.sh" stop "$S/broker"
	kill "$(cat "$S/observer.pid")" 2>/dev/null
	broker_back
	check "the store's package in the TLS package's place: StateDirectory=, it publishes" \
		check_store_installed
	check "the broker away for 3 cycles and back: the backlog delivered, at its readings' times" \
		check_store_outage
	check "systemctl restart with a backlog: saved (0600), read back, delivered" check_store_restart
	check "no timesyncd flag, the clock a month off: the readings wait; set, they are stamped right" \
		check_store_clock
	check "systemctl stop: the notice, exit 0, inactive, not failed" check_stop
	check "an empty store at the stop leaves no state file" test ! -e "$state_file"
	rm -f "/etc/systemd/system/$unit.d/pace.conf"
}

# ---- the boots ----
boot_1() {
	check "the kernel is 32-bit ARM (armv7l), the system armhf" \
		sh -c '[ "$(uname -m)" = armv7l ] && [ "$(dpkg --print-architecture)" = armhf ]'
	check "no telemetry-agent user before the package" sh -c "! getent passwd $user >/dev/null"
	start_broker
	start_observer
	mkdir -p "/etc/systemd/system/$unit.d"
	cp "$T/simulator.conf" "/etc/systemd/system/$unit.d/"
	check "apt installs the package (nothing to download)" \
		sh -c "apt-get install -y -q $T/telemetry-agent_*.deb >$S/apt.log 2>&1 || { cat $S/apt.log; false; }"
	dpkg-query -L telemetry-agent | while read -r f; do [ -d "$f" ] || echo "$f"; done >"$S/package-files"
	check "service user in the groups i2c and dialout, no login" check_user
	check "the agent (it holds the token): 0750 root:$user, nobody else reads it" check_agent_mode
	check "bus node and serial port: group i2c and dialout, rw for them only" check_devices
	check "the bus is the kernel's i2c-gpio adapter, ttyS0 a PCI 16550" check_devices_real
	check "installation started the service; it publishes the sensor's reading" \
		wait_for 30 has_received "$payload_a"
	check "the broker's name came from the resolver stand-in (DNS), not a hosts file" check_dns
	check "the journal holds the agent's line as it happens" check_journal_live "$payload_a"
	check "the agent: the service user, no capabilities, no new privileges, syscall filter, bus and port open" \
		check_process
	check "MRAA's syslog messages reach the journal (a local socket)" \
		sh -c "journalctl -b -t libmraa --no-pager -o cat | grep -q \"initialised by user '$user'\""
	check "the next cycle publishes the next reading 7 s later" check_period
	check "systemd-analyze security rates the unit 1.5 or better" check_exposure
	check "ready at start: started at the agent's READY=1, before its first publication" check_ready
	check "systemctl status shows the last delivered reading" \
		status_matches "Delivered at [0-9:]{8} UTC: \\{\"Humidity\": "
	check "journalctl -p warning: nothing of the agent while it publishes" \
		sh -c "[ -z \"\$(journalctl -b _SYSTEMD_UNIT=$unit _TRANSPORT=stdout -p warning -o cat)\" ]"
	check "an agent stopped with SIGSTOP is killed by the watchdog and restarted" check_watchdog
	check "systemctl stop: the notice, exit 0, inactive, not failed" check_stop
	check "the broker got each acknowledged reading once, nothing after the stop" check_once
	check "the unit's filter without send: the kernel kills the agent with SIGSYS" check_filter_enforced
	check "the whole filter never killed the agent (start, cycles, stop)" check_no_sigsys
	# The broker comes up at every later boot, before the agent.
	cp "$T/test-broker.service" /etc/systemd/system/
	systemctl enable -q test-broker.service
}

boot_2() {
	check "the broker stand-in runs" systemctl -q is-active test-broker.service
	check "the service started at boot, without a restart" \
		sh -c "systemctl -q is-active $unit && [ \$(systemctl show -P NRestarts $unit) -eq 0 ]"
	start_observer
	check "it published at boot (acknowledged: the agent's line in the journal)" \
		wait_for 30 journal_has "$(published_line "$payload_a")"
	check "the next reading reaches the broker" wait_for 15 has_received "$payload_b"
	check "the agent runs sandboxed as at installation" check_process
	check "the broker lost and back: a failed publication, then the same process publishes" \
		check_broker_lost_and_back
	check "a hang-up of the serial line: the agent lives on and publishes" check_hangup
	check "SIGSEGV to the agent: no core anywhere, the service restarts" check_no_core
	check "hostile broker: the agent's memory within MemoryMax, telemetry resumes within two restarts" \
		check_memory_bound
	check "systemctl stop: the notice, exit 0, inactive, not failed" check_stop
	check "the whole filter never killed the agent (start, cycles, broker lost and back, stop)" check_no_sigsys
	systemctl disable -q test-broker.service
}

boot_3() {
	check "broker down at boot: exit 255, restarted every 10 s" check_restarts
	start_broker
	start_observer
	check "publishing once the broker is there (acknowledged: the agent's line in the journal)" \
		wait_for $((restart_s + 20)) journal_has "$(published_line "$payload_a")"
	check "the journal holds the agent's line as it happens" check_journal_live "$payload_b"
	"$T/broker/run-broker.sh" stop "$S/broker"
	check "broker away: systemctl status says how long and why publications fail" \
		wait_for 30 status_matches "Publications failing for [0-9]+ s: "
	start_broker
	check "broker back: systemctl status shows the delivered reading again" \
		wait_for 30 status_matches "Delivered at "
	check "journalctl -p warning: exactly the failures and their reasons (err, warning)" \
		check_priorities
	check "systemctl stop: the notice, exit 0, inactive, not failed" check_stop
	check "the whole filter never killed the agent (failed starts, start, cycles, stop)" check_no_sigsys
	if [ -d "$T/upgrade" ]; then
		check_upgrade "$T/upgrade"
		check "systemctl stop after the upgrade: the notice, exit 0, inactive, not failed" check_stop
	else
		fail "no re-provisioned packages in $T/upgrade (tests/deploy/upgrade-packages.sh build-system/upgrade)"
	fi
	rm -r "/etc/systemd/system/$unit.d"
	check "apt purge" sh -c "apt-get purge -y -q telemetry-agent >$S/apt.log 2>&1 || { cat $S/apt.log; false; }"
	check "purge leaves no file of the package, and no user or group of its own" check_purged
}

boot_4() {
	check "the test's CA is in the guest's CA store, beside the system's" \
		sh -c "grep -qF \"\$(sed -n 2p $T/tls/ca/ca.crt)\" /etc/ssl/certs/ca-certificates.crt &&
			[ \$(grep -c 'BEGIN CERTIFICATE' /etc/ssl/certs/ca-certificates.crt) -gt 100 ]"
	start_tls_broker
	start_observer
	mkdir -p "/etc/systemd/system/$unit.d"
	cp "$T/simulator.conf" "/etc/systemd/system/$unit.d/"
	check "apt installs the TLS package (nothing to download)" \
		sh -c "apt-get install -y -q $T/tls/telemetry-agent_*.deb >$S/apt.log 2>&1 || { cat $S/apt.log; false; }"
	check "TLS listener of an unknown CA: the agent refuses it (exit 255, nothing sent)" check_tls_refused
	"$T/broker/run-broker.sh" stop "$S/broker"
	kill "$(cat "$S/observer.pid")" 2>/dev/null
	start_tls_broker "$T/tls/ca"
	start_observer
	check "TLS listener of the trusted CA: the agent publishes the sensor's reading" \
		wait_for $((restart_s + 30)) has_received "$payload_a"
	check "the agent: the service user, no capabilities, no new privileges, syscall filter, bus and port open" \
		check_process
	check "systemctl stop: the notice, exit 0, inactive, not failed" check_stop
	store_checks
	check "the whole filter never killed the TLS or the store's agent (failed starts, start, cycles, stops)" \
		check_no_sigsys
}

case $boot in
1) boot_1 ;;
2) boot_2 ;;
3) boot_3 ;;
4) boot_4 ;;
esac
kill "$(cat "$S/observer.pid" 2>/dev/null)" 2>/dev/null
say "boot $boot done"
if [ "$boot" -lt 4 ]; then systemctl reboot; else systemctl poweroff; fi
