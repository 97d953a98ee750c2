#!/usr/bin/env bash
# The benchmark: the agent (plain, and with MQTT over TLS) side by side with a
# Python agent, a shell loop and a floor (the agent's Paho calls alone), on the
# simulated board against a local broker on 127.0.0.3 (1884, TLS on 8883;
# --host or BENCH_HOST for another loopback address). Writes results.md,
# chart.png and results.json into --out DIR (default: a new scratch folder
# under bench/work/; `--out bench/results` updates the committed figures).
# About 20-25 minutes; --quick is a first look in under 2 minutes once the
# builds in bench/work/ exist (the first run builds the agent first): one
# repetition, runs of 3 cycles, the pauses of the agent and the floor scaled
# to 2.1 s by the simulator, 100 cycles in the long run, no TLS or patched
# build, no shell loop.
#
#   bench/bench.sh [--quick] [--reps N] [--long-cycles N] [--host 127.X.Y.Z] [--out DIR]
#
# --host: another loopback address for the broker (the agents are built for it).
# Installs nothing: bench/bench-setup.sh does, once.
# When bench/agent-footprint.patch exists and is not yet applied to src/, an
# agent built with it is measured as well ("agent (patched)"); likewise
# bench/agent-before.patch, the agent before a change that is in the sources
# ("agent (before)").
set -euo pipefail

bench=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$bench")
work=$bench/work
usage="usage: bench/bench.sh [--quick] [--reps N] [--long-cycles N] [--host 127.X.Y.Z] [--out DIR]
The benchmark: the agent (plain and TLS) beside a Python agent, a shell loop
and a floor, on the simulated board; about 20-25 minutes on 2 cores.
  --quick          a first look, under 2 minutes once built: one repetition, runs of
                   3 cycles, the agent's and the floor's pauses scaled to 2.1 s,
                   100 long-run cycles, no TLS or patched build, no shell loop
  --reps N         runs of each kind (default 3)
  --long-cycles N  cycles of the long run (default 1000)
  --host ADDRESS   the broker's loopback address (default \$BENCH_HOST or 127.0.0.3)
  --out DIR        where results.md, chart.png, results.json go (default: a new
                   folder under bench/work/; --out bench/results updates the committed ones)
Needs bench/bench-setup.sh once (it installs what this measures with)."
. "$top/scripts/cli.sh"
cli_help "$@"
results=""
host=${BENCH_HOST:-127.0.0.3}
quick=0
measure_args=()
while [ $# -gt 0 ]; do
	case $1 in
	--quick)
		quick=1
		shift
		;;
	--reps | --long-cycles | --host | --out)
		[ $# -ge 2 ] || cli_error "$1 needs a value"
		case $1 in
		--host) host=$2 ;;
		--out) results=$2 ;;
		*)
			[[ $2 =~ ^[1-9][0-9]*$ ]] || cli_error "$1 needs a number"
			measure_args+=("$1" "$2")
			;;
		esac
		shift 2
		;;
	*) cli_error "unknown argument '$1'" ;;
	esac
done
[[ $host =~ ^127\.[0-9]{1,3}\.[0-9]{1,3}\.[0-9]{1,3}$ ]] || cli_error "--host must be a loopback address"
# Quick: the Python agent's 7 s pauses, which the simulator cannot scale, set
# the pace (its callgrind runs go beside its strace runs); the shell loop's
# runs would add as much again.
[ $quick -eq 0 ] || measure_args=(--reps 1 --long-cycles 100 --run-cycles 3 --pause-scale 0.3
	--no-shell --mode-lanes "${measure_args[@]}")

# What bench/bench-setup.sh installs: missing, say so rather than run apt.
missing=()
for tool in valgrind strace perf gnuplot i2ctransfer mosquitto_pub mosquitto cmake cc; do
	command -v "$tool" >/dev/null || missing+=("$tool")
done
/usr/bin/python3 -c 'import paho.mqtt.client, smbus2' 2>/dev/null || missing+=("python3-paho-mqtt/python3-smbus2")
[ ${#missing[@]} -eq 0 ] || { echo "bench.sh: missing ${missing[*]}: run bench/bench-setup.sh first (as root)" >&2; exit 1; }

export BENCH_HOST=$host
started=$(date +%s)
mkdir -p "$work"
[ -n "$results" ] || results=$(mktemp -d "$work/results.XXXXXX")
mkdir -p "$results"
results=$(cd "$results" && pwd)

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
tls_args=()
if [ $quick -eq 0 ]; then
	"$top/broker/tls-certs.sh" ca "$tls/ca"
	cat /etc/ssl/certs/ca-certificates.crt "$tls/ca/ca.crt" >"$tls/ca-bundle.crt"
	echo "building the agent with MQTT over TLS (release, broker $host:8883)"
	build "$top" "$work/build-tls" -DAGENT_TLS=ON -DAGENT_CA_FILE="$tls/ca-bundle.crt"
	agents+=(--agent "agent-tls=$work/build-tls/telemetry-agent")
	tls_args=(--tls-ca "$tls/ca")
fi

# An agent built from the sources with a patch applied, as NAME: the change
# the patch makes (agent-footprint.patch: "agent (patched)", after), or the
# agent before a change already in the sources (agent-before.patch: "agent
# (before)").
build_patched() { # NAME PATCH_FILE
	local name=$1 patch_file=$2 tree=$work/$1/tree
	[ -f "$patch_file" ] && [ $quick -eq 0 ] || return 0
	if (cd "$top" && patch -p1 -R --dry-run -s -f <"$patch_file" >/dev/null 2>&1); then
		echo "${patch_file##*/} is already applied to the sources: measuring them alone"
		return 0
	fi
	rm -rf "$work/$name"
	mkdir -p "$tree"
	(cd "$top" && tar --exclude=./.git --exclude='./build*' --exclude=./bench --exclude=./.deps \
		-cf - .) | tar -C "$tree" -xf -
	ln -s "$top/.deps" "$tree/.deps"
	(cd "$tree" && patch -p1 -s <"$patch_file")
	echo "building the agent with ${patch_file##*/}"
	build "$tree" "$work/$name/build"
	agents+=(--agent "agent-$name=$work/$name/build/telemetry-agent")
}
build_patched patched "$bench/agent-footprint.patch"
build_patched before "$bench/agent-before.patch"

cc -O2 -Wall -Wextra -Werror -o "$work/spawn" "$bench/spawn.c"
# The floor: the plain agent's Paho calls alone, with Debian's Paho like the agent.
cc -O2 -Wall -Wextra -Wconversion -Wshadow -Wpedantic -Werror -DFLOOR_BROKER_HOST="\"$host\"" \
	-o "$work/floor" "$bench/floor.c" -lpaho-mqtt3c
/usr/bin/python3 "$bench/measure.py" "${agents[@]}" --floor "$work/floor" --spawn "$work/spawn" \
	--preload "$work/build/sim/libboardsim.so" --plugin "$work/build/broker/token_auth.so" \
	"${tls_args[@]}" --work "$work" --out "$results/results.json" "${measure_args[@]}"
/usr/bin/python3 "$bench/report.py" "$results/results.json" "$results"
echo "bench/bench.sh: done in $(($(date +%s) - started)) s: $results/results.md, $results/chart.png"
