#!/usr/bin/env bash
# The fleet figure: N agents (default 200) side by side on one local broker,
# against one agent alone, and the Python agent likewise (bench/fleet.py). The
# broker listens on BENCH_HOST (default 127.0.0.3). Writes
# bench/results/fleet.json and fleet.md. About 8 minutes on 2 cores.
#
#   bench/fleet.sh [N] [fleet.py options, e.g. --no-python --window 30]
set -euo pipefail

bench=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$bench")
work=$bench/work
count=200
if [ $# -gt 0 ] && [[ $1 =~ ^[1-9][0-9]*$ ]]; then
	count=$1
	shift
fi
export BENCH_HOST=${BENCH_HOST:-127.0.0.3}

"$bench/setup.sh"
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
