#!/usr/bin/env bash
# The benchmark: the agent (plain, and with MQTT over TLS) side by side with a
# Python agent, a shell loop and a floor (the agent's Paho calls alone), on the
# simulated board against a local broker on 127.0.0.3 (1884, TLS on 8883;
# --host or BENCH_HOST for another loopback address). Writes
# bench/results/results.md, chart.png and results.json. About 20-25 minutes.
#
#   bench/run.sh [--reps N] [--long-cycles N] [--host 127.X.Y.Z]
#
# --host: another loopback address for the broker (the agents are built for it).
# When bench/agent-footprint.patch exists and is not yet applied to src/, an
# agent built with it is measured as well ("agent (patched)").
set -euo pipefail

bench=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$bench")
work=$bench/work
results=$bench/results
host=${BENCH_HOST:-127.0.0.3}
measure_args=()
while [ $# -gt 0 ]; do
	case $1 in
	--reps | --long-cycles | --host)
		[ $# -ge 2 ] || { echo "run.sh: $1 needs a value" >&2; exit 2; }
		if [ "$1" = --host ]; then host=$2; else measure_args+=("$1" "$2"); fi
		shift 2
		;;
	*)
		echo "usage: bench/run.sh [--reps N] [--long-cycles N] [--host 127.X.Y.Z]" >&2
		exit 2
		;;
	esac
done
[[ $host =~ ^127\.[0-9]{1,3}\.[0-9]{1,3}\.[0-9]{1,3}$ ]] || { echo "run.sh: --host must be a loopback address" >&2; exit 2; }

export BENCH_HOST=$host
started=$(date +%s)
"$bench/setup.sh"

# The agent as the repository has it, built for the bench's broker address;
# the simulator's library and the broker's plugin come with it.
build() { # SOURCE_DIR BUILD_DIR [CMAKE-ARGS...]
	local src=$1 dir=$2
	shift 2
	cmake -S "$src" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DAGENT_BROKER_HOST="$host" \
		-DAGENT_TESTS=OFF "$@" >/dev/null
	cmake --build "$dir" -j "$(nproc)" --target telemetry-agent boardsim token_auth >/dev/null
}
mkdir -p "$work"
echo "building the agent (release, broker $host)"
build "$top" "$work/build"
agents=(--agent "agent=$work/build/telemetry-agent")

# The TLS build trusts what a board's would, the system's CA bundle, with the
# CA made for this run (it signs the bench broker's certificate) added to it.
tls=$work/tls
rm -rf "$tls"
"$top/broker/tls-certs.sh" ca "$tls/ca"
cat /etc/ssl/certs/ca-certificates.crt "$tls/ca/ca.crt" >"$tls/ca-bundle.crt"
echo "building the agent with MQTT over TLS (release, broker $host:8883)"
build "$top" "$work/build-tls" -DAGENT_TLS=ON -DAGENT_CA_FILE="$tls/ca-bundle.crt"
agents+=(--agent "agent-tls=$work/build-tls/telemetry-agent")

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
# The floor: the plain agent's Paho calls alone, with Debian's Paho like the agent.
cc -O2 -Wall -Wextra -Wconversion -Wshadow -Wpedantic -Werror -DFLOOR_BROKER_HOST="\"$host\"" \
	-o "$work/floor" "$bench/floor.c" -lpaho-mqtt3c
mkdir -p "$results"
/usr/bin/python3 "$bench/measure.py" "${agents[@]}" --floor "$work/floor" --spawn "$work/spawn" \
	--preload "$work/build/sim/libboardsim.so" --plugin "$work/build/broker/token_auth.so" \
	--tls-ca "$tls/ca" \
	--work "$work" --out "$results/results.json" "${measure_args[@]}"
/usr/bin/python3 "$bench/report.py" "$results/results.json" "$results"
echo "bench/run.sh: done in $(($(date +%s) - started)) s: $results/results.md, $results/chart.png"
