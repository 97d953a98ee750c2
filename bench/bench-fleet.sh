#!/usr/bin/env bash
# The fleet figure: N agents (default 200) side by side on one local broker,
# against one agent alone, and the Python agent likewise (bench/fleet.py). The
# broker listens on BENCH_HOST (default 127.0.0.3). Writes
# bench/results/fleet.json and fleet.md. About 8 minutes on 2 cores.
#
#   bench/bench-fleet.sh [N] [fleet.py options, e.g. --no-python --window 30]
set -euo pipefail

bench=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$bench")
work=$bench/work
usage="usage: bench/bench-fleet.sh [N] [--window S] [--sleep-scale F] [--no-python]
The fleet figure: N agents (default 200) side by side on one local broker
(BENCH_HOST, default 127.0.0.3), beside one alone, and the Python agent
likewise (bench/fleet.py; its options as given). Installs what the benchmark
needs (bench/bench-setup.sh), builds N agents; writes bench/results/fleet.json and
fleet.md. About 8 minutes on 2 cores."
. "$top/scripts/cli.sh"
cli_help "$@"
count=200
if [ $# -gt 0 ] && [[ $1 =~ ^[1-9][0-9]*$ ]]; then
	count=$1
	shift
fi
# fleet.py's own options, checked before anything is installed or built.
args=("$@")
while [ $# -gt 0 ]; do
	case $1 in
	--no-python) shift ;;
	--window | --sleep-scale)
		[ $# -ge 2 ] && [[ $2 =~ ^[0-9]+(\.[0-9]+)?$ ]] || cli_error "$1 needs a number"
		shift 2
		;;
	*) cli_error "unknown argument '$1'" ;;
	esac
done
set -- "${args[@]}"
export BENCH_HOST=${BENCH_HOST:-127.0.0.3}

"$bench/bench-setup.sh"
build=$work/fleet-build
echo "building $count agents with identities of their own (release, broker $BENCH_HOST)"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DAGENT_BROKER_HOST="$BENCH_HOST" -DAGENT_TESTS=OFF \
	-DAGENT_FLEET_SIZE="$count" >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null
mkdir -p "$bench/results"
/usr/bin/python3 "$bench/fleet.py" --fleet "$build/fleet" --count "$count" \
	--preload "$build/sim/libboardsim.so" --plugin "$build/broker/token_auth.so" \
	--work "$work/fleet" --out "$bench/results/fleet.json" "$@"
/usr/bin/python3 "$bench/fleet.py" --out "$bench/results/fleet.json" --report "$bench/results/fleet.md"
cat "$bench/results/fleet.md"
