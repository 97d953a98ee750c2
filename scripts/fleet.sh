#!/usr/bin/env bash
# A fleet on one PC: N simulated boards, each with its own identity (access
# token, client id) and its own drifting climate, against the local broker,
# in the foreground like scripts/run.sh: a line per event with its local time,
# every board's lines prefixed with its name ("board-001 | ...", its standard
# output and error in the order it wrote them), and each publication the
# broker received with the board that sent it ("broker | received from
# board-001 (board001) on ..."). Ctrl-C stops the boards in their orderly way,
# then the broker; nothing is left running.
#
#   scripts/fleet.sh [--host 127.X.Y.Z] N [BOARD-SIM-OPTIONS...]     e.g. scripts/fleet.sh 20 --sleep-scale 0.1
#
# The boards' agents are built in build-fleet/ (a fleet of at least N, for the
# broker host "localhost", the broker then on 127.0.0.1 and ::1, or --host, a
# loopback address of this machine); the test command's build/ stays as it
# is. Board i gets --seed i; further options go to every board's
# sim/board-sim, checked before anything is set up or started. Each run that
# started a board keeps its state (the boards' bus transcripts and serial
# reports, the broker's log) in build-fleet/runs/YYYYMMDD-HHMMSS.XXXX, named
# at the end; the last 3 runs' are kept; a run that started nothing leaves
# none.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
usage="usage: scripts/fleet.sh [--host 127.X.Y.Z] N [BOARD-SIM-OPTIONS...]      e.g. scripts/fleet.sh 20 --sleep-scale 0.1
Runs N simulated boards with identities of their own against the local broker,
in the foreground, a line per event with its local time; Ctrl-C stops them in
order. Builds what is missing first (apt, as root or through sudo), in
build-fleet/. --host: the broker on this loopback address (default localhost:
127.0.0.1 and ::1). Options go to every board's sim/board-sim (file names
relative to the current folder). The last 3 runs' state stays in
build-fleet/runs/."
. "$top/scripts/cli.sh"
. "$top/scripts/view.sh"
cli_help "$@"
run_host_option "$@"
host=$run_host
shift $run_shift
[ $# -ge 1 ] || cli_error "no number of boards"
[[ $1 =~ ^[1-9][0-9]{0,3}$ ]] || cli_error "N must be a number of boards, 1 to 9999, not '$1'"
count=$1
boards=$([ "$count" -eq 1 ] && echo "1 board" || echo "$count boards")
shift
# The simulator's options, checked before anything is set up or started; the
# agents and their state are this script's.
run_check_sim_options build-fleet/runs/ "$@"

build="$top/build-fleet"
export SIM_BUILD_DIR="$build/sim" BROKER_PLUGIN="$build/broker/token_auth.so"
cached() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt" 2>/dev/null || true; }
"$top/scripts/setup.sh"
# A fleet as large as any run's so far: a smaller one builds nothing new.
size=$(cached AGENT_FLEET_SIZE)
[[ $size =~ ^[0-9]+$ ]] && [ "$size" -ge "$count" ] || size=$count
echo "fleet.sh: building the agents of $boards in ${build#"$top/"}/ (broker host $host)" >&2
mkdir -p "$build"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DAGENT_TESTS=OFF -DAGENT_FLEET_SIZE="$size" \
	-DAGENT_BROKER_HOST="$host" >"$build/configure.log" 2>&1 || { cat "$build/configure.log" >&2; exit 1; }
cmake --build "$build" -j "$(nproc)" >"$build/build.log" 2>&1 || { tail -n 30 "$build/build.log" >&2; exit 1; }

listen=(--host "$host")
if [ "$host" = localhost ]; then
	# Both loopbacks, as run.sh: "localhost" may resolve to ::1 first.
	listen=(--host 127.0.0.1 --ipv6-loopback)
fi

devices="$build/fleet/devices.csv"
names=()
while IFS=, read -r name _; do
	names+=("$name")
done < <(tail -n +2 "$devices" | head -n "$count")
for name in "${names[@]}"; do
	[ -x "$build/fleet/$name/telemetry-agent" ] || { echo "fleet.sh: no agent for $name after the build" >&2; exit 1; }
done
run_state "$build/runs"
state=$run_state_dir
head -n "$count" "$build/fleet/tokens" >"$state/tokens"

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
	if compgen -G "$state/*/agent.pid" >/dev/null; then
		run_state_end kept
		echo "The boards' bus transcripts and serial reports: $state (the broker's log in broker/; the last 3 runs' are kept)" >&2
	else
		run_state_end dropped
	fi
}
trap stop_all EXIT

if ! "$top/broker/run-broker.sh" start "$state/broker" --tokens "$state/tokens" "${listen[@]}"; then
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
		-- "$build/fleet/$name/telemetry-agent" > >(stamp "$name") 2>&1 &
	pids+=($!)
done
[ $stopping -eq 1 ] || echo "fleet.sh: $boards on the broker at $host:1884; Ctrl-C stops them" >&2

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
echo "fleet.sh: $((${#names[@]} - failed)) of $boards exited with status 0" >&2
[ $failed -eq 0 ]
