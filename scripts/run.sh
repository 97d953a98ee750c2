#!/usr/bin/env bash
# Runs the agent on the simulated board against the local broker, in the
# foreground: the agent's own lines, and between them what the broker
# received. Ctrl-C stops the agent in its orderly way, then the broker and the
# observer; nothing is left running. Any arguments go to sim/board-sim (for
# example --script FILE, --no-device; see sim/README.md).
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

scripts/setup.sh
# The broker below is on this machine's loopback: the agent reaches it as localhost.
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DAGENT_BROKER_HOST=localhost >/dev/null
cmake --build build -j "$(nproc)" >/dev/null

state=$(mktemp -d /tmp/telemetry-agent-run.XXXXXX)
observer=""
stop_all() {
	[ -n "$observer" ] && kill "$observer" 2>/dev/null && wait "$observer" 2>/dev/null
	broker/run-broker.sh stop "$state/broker"
	echo "The board's bus transcript and serial report: $state/board" >&2
}
trap stop_all EXIT

# Both loopbacks: the agent reaches "localhost", which may resolve to ::1 first.
broker/run-broker.sh start "$state/broker" --ipv6-loopback
# In a session of its own, like the broker: Ctrl-C is for the agent alone.
# QoS 2 subscription: messages arrive with the QoS they were published with.
setsid mosquitto_sub -h 127.0.0.1 -p 1885 -t '#' -q 2 -V mqttv5 --retain-as-published \
	-F 'broker received on %t (QoS %q, retain %r): %p' &
observer=$!

set +e
sim/board-sim --state-dir "$state/board" "$@" -- build/telemetry-agent
status=$?
set -e
echo "The agent exited with status $status." >&2
exit "$status"
