#!/usr/bin/env bash
# Runs the agent on the simulated board against the local broker, in the
# foreground: one line per event with its local time, the agent's own lines in
# the order it wrote them, standard output and error alike ("board | ...",
# line-buffered whether the output is a terminal, a pipe or a file), and each
# publication the broker received ("broker | received from CLIENT on TOPIC,
# ..."). Ctrl-C stops the agent in its orderly way, then the broker; nothing
# is left running. Any arguments go to sim/board-sim (for example --script
# sim/readings.txt, --no-device; see sim/README.md), file names relative to
# the current folder; they are checked before anything is set up or started.
#
#   scripts/run.sh [--host 127.X.Y.Z] [BOARD-SIM-OPTIONS...]
#
# The agent is built in build-run/ for the broker host "localhost" (the
# broker then listens on 127.0.0.1 and ::1), or for --host, a loopback address
# of this machine. Each run that started the agent keeps its state (the bus
# transcript, the serial report, the broker's log) in
# build-run/runs/YYYYMMDD-HHMMSS.XXXX, named at the end; the last 3 runs' are
# kept, older ones removed; a run that started nothing leaves none.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
usage="usage: scripts/run.sh [--host 127.X.Y.Z] [BOARD-SIM-OPTIONS...]
Runs the agent on the simulated board against the local broker, in the
foreground, a line per event with its local time; Ctrl-C stops it in order.
Sets up and builds what is missing first (apt, as root or through sudo).
--host: the broker on this loopback address (default localhost: 127.0.0.1
and ::1). Options go to sim/board-sim, e.g. --script sim/readings.txt
(relative to the current folder), --no-device, --sleep-scale F; see
sim/board-sim --help. The last 3 runs' state stays in build-run/runs/."
. "$top/scripts/cli.sh"
. "$top/scripts/view.sh"
cli_help "$@"
run_host_option "$@"
host=$run_host
shift $run_shift
# The simulator's options, checked before anything is set up or started; the
# agent and its state are this script's.
run_check_sim_options build-run/runs/ "$@"

# The demo's own build (no tests): the test command's build/ stays as it is.
build="$top/build-run"
export SIM_BUILD_DIR="$build/sim" BROKER_PLUGIN="$build/broker/token_auth.so"
# What the agent, the simulator and the broker need; nothing of the tests'.
"$top/scripts/setup.sh"
echo "run.sh: building the agent in ${build#"$top/"}/ (broker host $host)"
mkdir -p "$build"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DAGENT_BROKER_HOST="$host" -DAGENT_TESTS=OFF \
	>"$build/configure.log" 2>&1 || { cat "$build/configure.log" >&2; exit 1; }
cmake --build "$build" -j "$(nproc)" >"$build/build.log" 2>&1 || { tail -n 30 "$build/build.log" >&2; exit 1; }
agent="$build/telemetry-agent"
[ -x "$agent" ] || { echo "run.sh: no agent $agent after the build" >&2; exit 1; }

run_state "$build/runs"
state=$run_state_dir
broker_started=0
stop_all() {
	broker_events_stop
	[ $broker_started -eq 0 ] || "$top/broker/run-broker.sh" stop "$state/broker"
	if [ -f "$state/board/agent.pid" ]; then
		run_state_end kept
		echo "The board's bus transcript and serial report: $state (the broker's log in broker/; the last 3 runs' are kept)" >&2
	else
		run_state_end dropped
	fi
}
trap stop_all EXIT

listen=(--host "$host")
# Both loopbacks for "localhost", which may resolve to ::1 first.
[ "$host" != localhost ] || listen=(--ipv6-loopback)
if ! "$top/broker/run-broker.sh" start "$state/broker" "${listen[@]}"; then
	echo "run.sh: the local broker did not start (its reason above); the agent was not started" >&2
	exit 1
fi
broker_started=1
broker_events "$state/broker/mosquitto.log"

# The agent's standard output line-buffered (stdbuf's preloaded library
# reaches it through board-sim), both streams into one pipe and one stamping
# process, so that its lines keep the order in which it wrote them.
exec {to_stamp}> >(stamp board)
stamp_pid=$!
set +e
stdbuf -oL "$top/sim/board-sim" --state-dir "$state/board" "$@" -- "$agent" >&$to_stamp 2>&1 {to_stamp}>&-
status=$?
set -e
# Its last lines before ours.
exec {to_stamp}>&-
wait "$stamp_pid" 2>/dev/null || true
if [ -f "$state/board/agent.pid" ]; then
	echo "run.sh: the agent exited with status $status." >&2
else
	echo "run.sh: the simulator did not start the agent (status $status; its reason above)." >&2
fi
exit "$status"
