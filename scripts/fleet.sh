#!/usr/bin/env bash
# A fleet on one PC: N simulated boards, each with its own identity (access
# token, client id) and its own drifting climate, against the local broker,
# in the foreground like scripts/run.sh: every board's lines, prefixed with its
# name, and between them what the broker received. Ctrl-C stops the boards in
# their orderly way, then the observer and the broker; nothing is left running.
#
#   scripts/fleet.sh N [BOARD-SIM-OPTIONS...]     e.g. scripts/fleet.sh 20 --sleep-scale 0.1
#
# The boards' agents are the fleet of the PC build (build/fleet/, built with
# AGENT_FLEET_SIZE of at least N: this script raises it when needed), built
# for that build's broker host, on which the broker then listens. Board i gets
# --seed i; further options go to every board's sim/board-sim.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

usage() {
	echo "usage: scripts/fleet.sh N [BOARD-SIM-OPTIONS...]" >&2
	exit 2
}
[ $# -ge 1 ] && [[ $1 =~ ^[1-9][0-9]*$ ]] || usage
count=$1
shift

cached() { sed -n "s/^$1:[A-Z]*=//p" build/CMakeCache.txt 2>/dev/null; }

scripts/setup.sh
size=$(cached AGENT_FLEET_SIZE)
if [ -z "$size" ] || [ "$size" -lt "$count" ]; then
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DAGENT_FLEET_SIZE="$count" >/dev/null
fi
cmake --build build -j "$(nproc)" >/dev/null

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
names=()
while IFS=, read -r name _; do
	names+=("$name")
done < <(tail -n +2 build/fleet/devices.csv | head -n "$count")
head -n "$count" build/fleet/tokens >"$state/tokens"

pids=()
observer=""
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
	if [ -n "$observer" ]; then
		kill "$observer" 2>/dev/null || true
		wait "$observer" 2>/dev/null || true
	fi
	broker/run-broker.sh stop "$state/broker"
	echo "The boards' bus transcripts and serial reports: $state" >&2
}
trap stop_all EXIT

broker/run-broker.sh start "$state/broker" --host "$host" --tokens "$state/tokens" "${listen[@]}"
# Sessions of their own, so that Ctrl-C reaches this script alone, which then
# stops the boards in order.
setsid mosquitto_sub -h "$host" -p 1885 -t '#' -q 2 -V mqttv5 --retain-as-published \
	-F 'broker received on %t (QoS %q, retain %r): %p' &
observer=$!

# Ctrl-C or SIGTERM: SIGINT to every board, which passes it to its agent.
trap stop_boards INT TERM
for i in "${!names[@]}"; do
	[ $stopping -eq 0 ] || break
	name=${names[$i]}
	# Line-buffered (stdbuf's preloaded library reaches the agent through
	# board-sim), each line prefixed with the board's name; the prefixing
	# outlives a Ctrl-C so that the boards' last lines still come through.
	setsid stdbuf -oL sim/board-sim --state-dir "$state/$name" --seed $((i + 1)) "$@" \
		-- "build/fleet/$name/telemetry-agent" > >(trap '' INT; exec sed -u "s/^/$name | /") 2>&1 &
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
	if [ "$status" -ne 0 ]; then
		echo "fleet.sh: ${names[$i]} exited with status $status" >&2
		failed=$((failed + 1))
	fi
done
# Then the observer, and the last lines still on their way through sed.
kill "$observer" 2>/dev/null || true
wait
pids=()
observer=""
echo "fleet.sh: $((${#names[@]} - failed)) of ${#names[@]} boards exited with status 0" >&2
[ $failed -eq 0 ]
