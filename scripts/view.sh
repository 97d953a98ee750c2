# The foreground views of scripts/run.sh and scripts/fleet.sh (sourced):
# one line per event, "HH:MM:SS SOURCE | TEXT", local time; and the runs'
# state folders.

# run_host_option ARGS...: the option run.sh and fleet.sh take first,
# --host 127.X.Y.Z: run_host (default localhost), run_shift the arguments
# it took. run_check_sim_options STATE ARGS...: refuses (cli_error) what the
# simulator refuses, every line of its reason, and "--" and --state-dir (the
# script runs its own agents, with their state in STATE).
run_host_option() {
	run_host=localhost
	run_shift=0
	[ "${1:-}" = --host ] || return 0
	[ $# -ge 2 ] || cli_error "--host needs a loopback address, 127.X.Y.Z"
	[[ $2 =~ ^127\.[0-9]{1,3}\.[0-9]{1,3}\.[0-9]{1,3}$ ]] ||
		cli_error "--host must be a loopback address of this machine, 127.X.Y.Z, not '$2'"
	run_host=$2
	run_shift=2
}
run_check_sim_options() {
	local state=$1 a refused
	shift
	for a in "$@"; do
		case $a in
		--) cli_error "no '--': $cli_name runs the agent it builds (sim/board-sim -- PROGRAM runs another)" ;;
		--state-dir | --state-dir=*) cli_error "no --state-dir: $cli_name keeps the state in $state" ;;
		esac
	done
	refused=$("$(dirname "${BASH_SOURCE[0]}")/../sim/board-sim" --check-options "$@" -- 2>&1) && return 0
	grep -v '^usage: ' <<<"$refused" | sed 's/^board-sim: error: /board-sim: /' >&2
	cli_error "sim/board-sim refuses the options (above)"
}

# run_state PARENT: makes this run's state folder, PARENT/YYYYMMDD-HHMMSS.XXXX
# (run_state_dir), in use until this process and its children end.
# run_state_end kept|dropped: a run that started something keeps its folder
# and removes the older runs' there but the newest RUN_STATE_KEEP - 1
# (default 3 runs in all), except those still in use; one that started
# nothing removes its own and leaves the others.
run_state() {
	mkdir -p "$1"
	run_state_dir=$(mktemp -d "$1/$(date +%Y%m%d-%H%M%S).XXXX")
	exec {run_state_fd}>"$run_state_dir/.in-use"
	flock "$run_state_fd"
}
run_state_end() {
	local keep=${RUN_STATE_KEEP:-3} dir n=0
	if [ "$1" != kept ]; then
		rm -rf "$run_state_dir"
		return
	fi
	while IFS= read -r dir; do
		[ "$dir" != "$run_state_dir" ] || continue
		n=$((n + 1))
		[ $n -ge "$keep" ] || continue
		{ flock -n 9 && rm -rf "$dir"; } 9>>"$dir/.in-use" 2>/dev/null || true
	done < <(find "$(dirname "$run_state_dir")" -mindepth 1 -maxdepth 1 -type d -name '[0-9]*-[0-9]*.*' | sort -r)
}

# stamp SOURCE: each line of standard input as it comes, so stamped; the
# agent's "\r\n" endings and its empty lines (the shutdown notice's leading
# newline) are left out. Ignores SIGINT, so that the last lines after a Ctrl-C still
# come through.
stamp() {
	local line
	trap '' INT
	while IFS= read -r line || [ -n "$line" ]; do
		line=${line%$'\r'}
		[ -n "$line" ] && printf '%(%H:%M:%S)T %s | %s\n' -1 "$1" "$line"
	done
}

# broker_events LOG [CLIENTS.csv]: each publication the broker's log records
# (log_type all: "Received PUBLISH from CLIENT (d0, q1, r0, m1, 'TOPIC', ...
# (N bytes))"), as "received from CLIENT on TOPIC, QoS q, N bytes", and what
# its payload holds as the broker's plugin says it ("token_auth: CLIENT
# published 3 timestamped readings (an array) measured ... to ..."), as
# "CLIENT published ...", when that is more than a reading the platform
# stamps on arrival (each cycle's own: one line a publication, as without a
# reading store); with a device list (name,token,client_id,...) the board's
# name comes first.
# (The broker logs through stdbuf, line by line: broker/run-broker.sh.)
# Runs until killed; sets broker_events_pid to the log's reader, which
# broker_events_stop ends.
broker_events() {
	local log=$1 names=${2:-}
	exec {broker_events_fd}< <(trap '' INT; exec tail -n +1 -F --pid=$$ "$log" 2>/dev/null)
	broker_events_pid=$!
	(
		trap '' INT
		local re="Received PUBLISH from ([^ ]+) \(d[0-9], q([0-9]), r[0-9], m[0-9]+, '([^']*)', .*\(([0-9]+) bytes\)\)"
		local held="token_auth: ([^ ]+) published (.*)$"
		local -A board=()
		local line name token id who
		if [ -n "$names" ]; then
			while IFS=, read -r name token id _; do board[$id]=$name; done <"$names"
		fi
		while IFS= read -r line; do
			[[ $line =~ $re || $line =~ $held ]] || continue
			[[ $line != *" published a reading without ts (stamped on arrival)" ]] || continue
			id=${BASH_REMATCH[1]}
			who=$id
			[ -z "${board[$id]:-}" ] || who="${board[$id]} ($id)"
			if [ ${#BASH_REMATCH[@]} -eq 3 ]; then
				echo "$who published ${BASH_REMATCH[2]}"
			else
				echo "received from $who on ${BASH_REMATCH[3]}, QoS ${BASH_REMATCH[2]}, ${BASH_REMATCH[4]} bytes"
			fi
		done | stamp broker
	) <&$broker_events_fd &
	broker_events_formatter=$!
	exec {broker_events_fd}<&-
}
broker_events_stop() {
	[ -n "${broker_events_pid:-}" ] || return 0
	# The last lines first: the log's reader gets a moment to pass them on.
	sleep 0.3
	kill "$broker_events_pid" 2>/dev/null || true
	wait "$broker_events_formatter" 2>/dev/null || true
	broker_events_pid=""
}
