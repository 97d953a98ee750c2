#!/usr/bin/env bash
# The benchmark: the agent side by side with a Python agent and a shell loop,
# on the simulated board against a local broker on 127.0.0.3:1884 (BENCH_HOST=A
# for another loopback address). Writes bench/results/results.md, chart.png and
# results.json. About 15-20 minutes.
#
#   bench/run.sh [--reps N] [--long-cycles N]
#
# When bench/agent-footprint.patch exists and is not yet applied to src/, an
# agent built with it is measured as well ("agent (patched)").
set -euo pipefail

bench=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$bench")
work=$bench/work
results=$bench/results
measure_args=()
while [ $# -gt 0 ]; do
	case $1 in
	--reps | --long-cycles)
		[ $# -ge 2 ] || { echo "run.sh: $1 needs a value" >&2; exit 2; }
		measure_args+=("$1" "$2")
		shift 2
		;;
	*)
		echo "usage: bench/run.sh [--reps N] [--long-cycles N]" >&2
		exit 2
		;;
	esac
done

export BENCH_HOST=${BENCH_HOST:-127.0.0.3}
started=$(date +%s)
"$bench/setup.sh"

# The agent as the repository has it, built for the bench's broker address;
# the simulator's library and the broker's plugin come with it.
build() { # SOURCE_DIR BUILD_DIR
	cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=Release -DAGENT_BROKER_HOST="$BENCH_HOST" \
		-DAGENT_TESTS=OFF >/dev/null
	cmake --build "$2" -j "$(nproc)" --target telemetry-agent boardsim token_auth >/dev/null
}
mkdir -p "$work"
echo "building the agent (release, broker $BENCH_HOST)"
build "$top" "$work/build"
agents=(--agent "agent=$work/build/telemetry-agent")

patch_file=$bench/agent-footprint.patch
if [ -f "$patch_file" ]; then
	if (cd "$top" && patch -p1 -R --dry-run -s -f <"$patch_file" >/dev/null 2>&1); then
		echo "agent-footprint.patch is already applied to the sources: measuring them alone"
	else
		tree=$work/patched/tree
		rm -rf "$work/patched"
		mkdir -p "$tree"
		(cd "$top" && tar --exclude=./.git --exclude='./build*' --exclude=./bench --exclude=./.deps \
			-cf - .) | tar -C "$tree" -xf -
		ln -s "$top/.deps" "$tree/.deps"
		(cd "$tree" && patch -p1 -s <"$patch_file")
		echo "building the agent with agent-footprint.patch"
		build "$tree" "$work/patched/build"
		agents+=(--agent "agent-patched=$work/patched/build/telemetry-agent")
	fi
fi

cc -O2 -Wall -Wextra -Werror -o "$work/spawn" "$bench/spawn.c"
mkdir -p "$results"
/usr/bin/python3 "$bench/measure.py" "${agents[@]}" --spawn "$work/spawn" \
	--preload "$work/build/sim/libboardsim.so" --plugin "$work/build/broker/token_auth.so" \
	--work "$work" --out "$results/results.json" "${measure_args[@]}"
/usr/bin/python3 "$bench/report.py" "$results/results.json" "$results"
echo "bench/run.sh: done in $(($(date +%s) - started)) s: $results/results.md, $results/chart.png"
