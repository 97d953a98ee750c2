# The foreground views of scripts/run.sh and scripts/fleet.sh (sourced):
# one line per event, "HH:MM:SS SOURCE | TEXT", local time.

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
# "CLIENT published ..."; with a device list (name,token,client_id,...) the
# board's name comes first.
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
