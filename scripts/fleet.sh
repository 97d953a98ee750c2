#!/usr/bin/env bash
# A fleet on one PC: N simulated boards, each with its own identity (access
# token, client id) and its own drifting climate, against the local broker,
# in the foreground like scripts/run.sh: a line per event with its local time,
# every board's lines prefixed with its name ("board-001 | ..."), and each
# publication the broker received with the board that sent it ("broker |
# received from board-001 (board001) on ..."). Ctrl-C stops the boards in
# their orderly way, then the broker; nothing is left running.
#
#   scripts/fleet.sh N [BOARD-SIM-OPTIONS...]     e.g. scripts/fleet.sh 20 --sleep-scale 0.1
#
# The boards' agents are the fleet of the PC build (build/fleet/, built with
# AGENT_FLEET_SIZE of at least N: this script raises it when needed), built
# for that build's broker host, on which the broker then listens. Board i gets
# --seed i; further options go to every board's sim/board-sim.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
usage="usage: scripts/fleet.sh N [BOARD-SIM-OPTIONS...]      e.g. scripts/fleet.sh 20 --sleep-scale 0.1
Runs N simulated boards with identities of their own against the local broker,
in the foreground, a line per event with its local time; Ctrl-C stops them in
order. Builds what is missing first (apt, as root or through sudo). Options go
to every board's sim/board-sim (file names relative to the current folder)."
. "$top/scripts/cli.sh"
. "$top/scripts/view.sh"
cli_help "$@"
[ $# -ge 1 ] || cli_error "no number of boards"
[[ $1 =~ ^[1-9][0-9]{0,3}$ ]] || cli_error "N must be a number of boards, 1 to 9999, not '$1'"
count=$1
shift
# The simulator's options, checked before anything is set up or started.
if ! refused=$("$top/sim/board-sim" --check-options "$@" -- true 2>&1); then
	cli_error "$(tail -n 1 <<<"$refused")"
fi
cached() { sed -n "s/^$1:[A-Z]*=//p" "$top/build/CMakeCache.txt" 2>/dev/null; }

"$top/scripts/setup.sh"
size=$(cached AGENT_FLEET_SIZE)
if [ -z "$size" ] || [ "$size" -lt "$count" ]; then
	cmake -S "$top" -B "$top/build" -DCMAKE_BUILD_TYPE=Release -DAGENT_FLEET_SIZE="$count" >/dev/null
fi
cmake --build "$top/build" -j "$(nproc)" >/dev/null

host=$(cached AGENT_BROKER_HOST)
listen=()
if [ "$host" = localhost ]; then
	# Both loopbacks, as run.sh: "localhost" may resolve to ::1 first.
	host=127.0.0.1
	listen=(--ipv6-loopback)
fi
[[ $host =~ ^127\.[0-9]+\.[0-9]+\.[0-9]+$ ]] ||
	{ echo "fleet.sh: build/ reaches the broker at $host, not on this machine's loopback" >&2; exit 1; }

state=$(mktemp -d /tmp/telemetry-agent-fleet.XXXXXX)
devices="$top/build/fleet/devices.csv"
names=()
while IFS=, read -r name _; do
	names+=("$name")
done < <(tail -n +2 "$devices" | head -n "$count")
head -n "$count" "$top/build/fleet/tokens" >"$state/tokens"

pids=()
broker_started=0
stopping=0
stop_boards() {
	local pid
	stopping=1
	for pid in "${pids[@]}"; do
		kill -INT "$pid" 2>/dev/null || true
	done
}
stop_all() {
	local pid
	stop_boards
	for pid in "${pids[@]}"; do
		wait "$pid" 2>/dev/null || true
	done
	broker_events_stop
	[ $broker_started -eq 0 ] || "$top/broker/run-broker.sh" stop "$state/broker"
	if [ ${#names[@]} -gt 0 ] && [ -d "$state/${names[0]}" ]; then
		echo "The boards' bus transcripts and serial reports: $state (the broker's log in broker/)" >&2
	else
		rm -rf "$state"
	fi
}
trap stop_all EXIT

if ! "$top/broker/run-broker.sh" start "$state/broker" --host "$host" --tokens "$state/tokens" "${listen[@]}"; then
	echo "fleet.sh: the local broker did not start (its reason above); no board was started" >&2
	exit 1
fi
broker_started=1
broker_events "$state/broker/mosquitto.log" "$devices"

# Ctrl-C or SIGTERM: SIGINT to every board, which passes it to its agent.
trap stop_boards INT TERM
for i in "${!names[@]}"; do
	[ $stopping -eq 0 ] || break
	name=${names[$i]}
	# Sessions of their own, so that Ctrl-C reaches this script alone, which
	# then stops the boards in order. Line-buffered (stdbuf's preloaded
	# library reaches the agent through board-sim), each line stamped with
	# the time and the board's name; the stamping outlives a Ctrl-C so that
	# the boards' last lines still come through.
	setsid stdbuf -oL "$top/sim/board-sim" --state-dir "$state/$name" --seed $((i + 1)) "$@" \
		-- "$top/build/fleet/$name/telemetry-agent" > >(stamp "$name") 2>&1 &
	pids+=($!)
done
[ $stopping -eq 1 ] || echo "fleet.sh: $count boards on the broker at $host:1884; Ctrl-C stops them" >&2

failed=0
for i in "${!pids[@]}"; do
	while :; do
		status=0
		wait "${pids[$i]}" || status=$?
		# A trapped signal ends the wait early: wait again while the board runs.
		[ $status -gt 128 ] && kill -0 "${pids[$i]}" 2>/dev/null && continue
		break
	done
	if [ ! -f "$state/${names[$i]}/agent.pid" ]; then
		echo "fleet.sh: ${names[$i]}: the simulator did not start the agent (status $status; its reason above)" >&2
		failed=$((failed + 1))
		continue
	fi
	if [ "$status" -ne 0 ]; then
		echo "fleet.sh: ${names[$i]} exited with status $status" >&2
		failed=$((failed + 1))
	fi
done
pids=()
# Then the last lines still on their way.
broker_events_stop
wait
echo "fleet.sh: $((${#names[@]} - failed)) of ${#names[@]} boards exited with status 0" >&2
[ $failed -eq 0 ]
