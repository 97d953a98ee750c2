#!/bin/sh
# The booted-system test, inside the throwaway Debian system that
# tests/system/boot-test.sh boots three times. system-test.service runs it at
# every boot, after multi-user.target; it prints one line "system-test: ok: ..."
# or "system-test: FAILED: ..." per check on the console, then reboots (the
# host starts the next boot) or, after the last, powers off.
#   boot 1: installs the package with apt while the broker runs; the user,
#           the sandbox, the journal, the orderly stop. Enables the broker.
#   boot 2: broker up at boot: the service starts at boot and publishes.
#   boot 3: broker down at boot: exit 255, a restart every 10 s, publishing
#           once the broker is started; then purge.
# The simulator's preload library stands in for the sensor through a drop-in
# that only adds its environment; its bus descriptor is the real /dev/i2c-0
# of the kernel's i2c-stub, so that the node's group and the unit's device
# rules decide whether the agent reaches the bus.
set -u

T=/opt/system-test
S=/var/lib/system-test
unit=telemetry-agent.service
user=telemetry-agent
topic=v1/devices/me/telemetry
payload_a='{"Humidity": 45.00, "Temperature": -5.25}'
payload_b='{"Humidity": 50.00, "Temperature": 30.00}'
notice='Received termination signal. Cleaning up resources...'
restart_s=10

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

# Exit 255 and a restart every 10 s: the times of the main process's ends.
check_restarts() {
	local ends
	wait_for 40 sh -c "[ \$(systemctl show -P NRestarts $unit) -ge 2 ]" || return 1
	ends=$(journalctl -b -u "$unit" --no-pager -o short-unix |
		grep 'Main process exited, code=exited, status=255' | cut -d' ' -f1)
	echo "  ends at $(echo "$ends" | tr '\n' ' '); NRestarts=$(prop NRestarts)"
	[ "$(journal | grep -cxF 'Failed to connect to MQTT server')" -ge 2 ] || return 1
	# Each gap: RestartSec plus the agent's start (under emulation, a few seconds).
	echo "$ends" | awk -v r=$restart_s 'NR > 1 { d = $1 - prev; if (d < r || d > r + 5) bad = 1 }
		{ prev = $1 } END { exit bad || NR < 2 }'
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

# ---- the boots ----
boot_1() {
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
	check "installation started the service; it publishes the sensor's reading" \
		wait_for 30 has_received "$payload_a"
	check "the journal holds the agent's line as it happens" check_journal_live "$payload_a"
	check "the agent: the service user, no capabilities, no new privileges, syscall filter, bus and port open" \
		check_process
	check "MRAA's syslog messages reach the journal (a local socket)" \
		sh -c "journalctl -b -t libmraa --no-pager -o cat | grep -q \"initialised by user '$user'\""
	check "the next cycle publishes the next reading 7 s later" check_period
	check "systemctl stop: the notice, exit 0, inactive, not failed" check_stop
	check "the broker got each acknowledged reading once, nothing after the stop" check_once
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
	check "SIGSEGV to the agent: no core anywhere, the service restarts" check_no_core
	check "hostile broker: the agent's memory within MemoryMax, telemetry resumes within two restarts" \
		check_memory_bound
	check "systemctl stop: the notice, exit 0, inactive, not failed" check_stop
	systemctl disable -q test-broker.service
}

boot_3() {
	check "broker down at boot: exit 255, restarted every 10 s" check_restarts
	start_broker
	start_observer
	check "publishing once the broker is there (acknowledged: the agent's line in the journal)" \
		wait_for $((restart_s + 20)) journal_has "$(published_line "$payload_a")"
	check "the journal holds the agent's line as it happens" check_journal_live "$payload_b"
	check "systemctl stop: the notice, exit 0, inactive, not failed" check_stop
	rm -r "/etc/systemd/system/$unit.d"
	check "apt purge" sh -c "apt-get purge -y -q telemetry-agent >$S/apt.log 2>&1 || { cat $S/apt.log; false; }"
	check "purge leaves no file of the package, and no user or group of its own" check_purged
}

case $boot in
1) boot_1 ;;
2) boot_2 ;;
3) boot_3 ;;
esac
kill "$(cat "$S/observer.pid" 2>/dev/null)" 2>/dev/null
say "boot $boot done"
if [ "$boot" -lt 3 ]; then systemctl reboot; else systemctl poweroff; fi
