#!/usr/bin/env bash
# Runs the agent on the simulated board against the local broker, in the
# foreground: one line per event with its local time, the agent's own lines as
# it prints them ("board | ...", line-buffered whether the output is a
# terminal, a pipe or a file) and each publication the broker received
# ("broker | received from CLIENT on TOPIC, ..."). Ctrl-C stops the agent in
# its orderly way, then the broker; nothing is left running. Any arguments go
# to sim/board-sim (for example --script FILE, --no-device; see
# sim/README.md), file names relative to the current folder.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
usage="usage: scripts/run.sh [BOARD-SIM-OPTIONS...]
Runs the agent on the simulated board against the local broker, in the
foreground, a line per event with its local time; Ctrl-C stops it in order.
Sets up and builds what is missing first (apt, as root or through sudo).
Options go to sim/board-sim, e.g. --script FILE (relative to the current
folder), --no-device, --sleep-scale F; see sim/board-sim --help."
. "$top/scripts/cli.sh"
. "$top/scripts/view.sh"
cli_help "$@"
# The simulator's options, checked before anything is set up or started.
# The demo's own build (no tests): the test command's build/ stays as it is.
build="$top/build-run"
export SIM_BUILD_DIR="$build/sim" BROKER_PLUGIN="$build/broker/token_auth.so"
if ! refused=$("$top/sim/board-sim" --check-options "$@" -- "$build/telemetry-agent" 2>&1); then
	cli_error "$(tail -n 1 <<<"$refused")"
fi

# What the agent, the simulator and the broker need; nothing of the tests'.
"$top/scripts/setup.sh"
# The broker below is on this machine's loopback: the agent reaches it as localhost.
echo "run.sh: building the agent in ${build#"$top/"}/"
mkdir -p "$build"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DAGENT_BROKER_HOST=localhost -DAGENT_TESTS=OFF \
	>"$build/configure.log" 2>&1 || { cat "$build/configure.log" >&2; exit 1; }
cmake --build "$build" -j "$(nproc)" >"$build/build.log" 2>&1 || { tail -n 30 "$build/build.log" >&2; exit 1; }

state=$(mktemp -d /tmp/telemetry-agent-run.XXXXXX)
broker_started=0
stop_all() {
	broker_events_stop
	[ $broker_started -eq 0 ] || "$top/broker/run-broker.sh" stop "$state/broker"
	if [ -d "$state/board" ]; then
		echo "The board's bus transcript and serial report: $state (the broker's log in broker/)" >&2
	else
		rm -rf "$state"
	fi
}
trap stop_all EXIT

# Both loopbacks: the agent reaches "localhost", which may resolve to ::1 first.
if ! "$top/broker/run-broker.sh" start "$state/broker" --ipv6-loopback; then
	echo "run.sh: the local broker did not start (its reason above); the agent was not started" >&2
	exit 1
fi
broker_started=1
broker_events "$state/broker/mosquitto.log"

# The agent's standard output line-buffered (stdbuf's preloaded library
# reaches it through board-sim), each stream stamped on its own way out.
set +e
stdbuf -oL "$top/sim/board-sim" --state-dir "$state/board" "$@" -- "$build/telemetry-agent" \
	> >(stamp board) 2> >(stamp board >&2)
status=$?
set -e
if [ -f "$state/board/agent.pid" ]; then
	echo "run.sh: the agent exited with status $status." >&2
else
	echo "run.sh: the simulator did not start the agent (status $status; its reason above)." >&2
fi
exit "$status"
