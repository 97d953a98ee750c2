#!/usr/bin/env bash
# The reading store's figures: the agent built without a store (the default)
# and with a day's (AGENT_STORE_SIZE=12343), on the same simulated board and
# local broker: instructions, system calls and resident memory per cycle
# while connected with nothing waiting, and a day's backlog (12,343 readings
# from a state file) delivered: how long, how many messages, the memory with
# the store full. About 8 minutes on 2 cores; bench/store.py measures.
set -euo pipefail

bench=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$bench")
work=$bench/work
usage="usage: bench/bench-store.sh [--reps N] [--host 127.X.Y.Z] [--out DIR]
The reading store's cost per cycle and a day's backlog, beside the default
build; about 8 minutes on 2 cores.
  --reps N         repetitions of the per-cycle runs (default 3)
  --host ADDRESS   the broker's loopback address (default \$BENCH_HOST or 127.0.0.3)
  --out DIR        where store.md and store.json go (default: a new folder
                   under bench/work/; --out bench/results updates the committed ones)
Needs bench/bench-setup.sh once (valgrind, strace)."
. "$top/scripts/cli.sh"
cli_help "$@"
host=${BENCH_HOST:-127.0.0.3}
results=""
reps=3
while [ $# -gt 0 ]; do
	case $1 in
	--reps | --host | --out)
		[ $# -ge 2 ] || cli_error "$1 needs a value"
		case $1 in
		--host) host=$2 ;;
		--out) results=$2 ;;
		--reps)
			[[ $2 =~ ^[1-9][0-9]*$ ]] || cli_error "--reps needs a number"
			reps=$2
			;;
		esac
		shift 2
		;;
	*) cli_error "unknown argument '$1'" ;;
	esac
done
[[ $host =~ ^127\.[0-9]{1,3}\.[0-9]{1,3}\.[0-9]{1,3}$ ]] || cli_error "--host must be a loopback address"
for tool in valgrind strace mosquitto cmake; do
	command -v "$tool" >/dev/null || { echo "bench-store.sh: missing $tool: run bench/bench-setup.sh first (as root)" >&2; exit 1; }
done

started=$(date +%s)
mkdir -p "$work"
[ -n "$results" ] || results=$(mktemp -d "$work/results.XXXXXX")
mkdir -p "$results"
results=$(cd "$results" && pwd)
build() { # BUILD_DIR [CMAKE-ARGS...]
	local dir=$1
	shift
	cmake -S "$top" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DAGENT_BROKER_HOST="$host" -DAGENT_TESTS=OFF \
		-DAGENT_FLEET_SIZE=0 "$@" >/dev/null
	cmake --build "$dir" -j "$(nproc)" --target telemetry-agent boardsim token_auth >/dev/null
}
echo "building the agent without a store and with a day's (release, broker $host)"
build "$work/store-plain"
build "$work/store-day" -DAGENT_STORE_SIZE=12343
BROKER_PLUGIN="$work/store-plain/broker/token_auth.so" /usr/bin/python3 "$bench/store.py" \
	--plain "$work/store-plain/telemetry-agent" --store "$work/store-day/telemetry-agent" \
	--preload "$work/store-plain/sim/libboardsim.so" --host "$host" --reps "$reps" --out "$results"
echo "bench/bench-store.sh: done in $(($(date +%s) - started)) s: $results/store.md"
