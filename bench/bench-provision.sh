#!/usr/bin/env bash
# Provisioning figure: how long scripts/provision.sh takes for 100 device
# packages, cold (nothing built yet) and warm (the shared build done, 100 new
# devices), in a copy of the sources under bench/work/provision/ so that the
# repository's own build folders stay as they are. Writes
# bench/results/provision.md. About 3 minutes on 2 cores.
#
#   bench/bench-provision.sh [DEVICES]      (default 100)
set -euo pipefail

bench=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$bench")
work=$bench/work/provision
usage="usage: bench/bench-provision.sh [DEVICES]
Times scripts/provision.sh for DEVICES (default 100) device packages, cold and
warm, in a copy of the sources under bench/work/provision/; writes
bench/results/provision.md. About 3 minutes on 2 cores."
. "$top/scripts/cli.sh"
cli_help "$@"
[ $# -le 1 ] || cli_error "one argument at most"
devices=${1:-100}
[[ $devices =~ ^[1-9][0-9]*$ ]] || cli_error "DEVICES must be a number, not '$devices'"

"$top/scripts/setup-armhf.sh" >/dev/null

rm -rf "$work"
mkdir -p "$work/tree"
(cd "$top" && tar --exclude=./.git --exclude='./build*' --exclude=./bench/work --exclude=./.deps -cf - .) |
	tar -C "$work/tree" -xf -
ln -s "$top/.deps" "$work/tree/.deps"

# DEVICES boards with names, tokens and client ids of their own; a second
# batch for the warm run.
device_list() { # device_list BATCH
	echo "name,token"
	for i in $(seq 1 "$devices"); do
		printf 'site%s-board-%03d,%s\n' "$1" "$i" "$(echo "token $1 $i" | sha256sum | cut -c1-20)"
	done
}
device_list a >"$work/batch-a.csv"
device_list b >"$work/batch-b.csv"

# One provisioning run: its wall-clock and CPU seconds (user + system, of
# everything it ran), "REAL CPU".
run() { # run BATCH
	local TIMEFORMAT="%R %U %S" times
	times=$({ time "$work/tree/scripts/provision.sh" --host broker.example.org --maintainer "Benchmark run <bench@example.org>" "$work/batch-$1.csv" "$work/out-$1" \
		>"$work/$1.log" 2>&1; } 2>&1) || { cat "$work/$1.log" >&2; exit 1; }
	awk '{printf "%.1f %.1f\n", $1, $2 + $3}' <<<"$times"
}
echo "provisioning $devices devices, cold"
read -r cold_s cold_cpu < <(run a)
echo "provisioning $devices other devices, warm"
read -r warm_s warm_cpu < <(run b)
for batch in a b; do
	[ "$(ls "$work/out-$batch"/*.deb | wc -l)" -eq "$devices" ] || { echo "missing packages in out-$batch" >&2; exit 1; }
done

load=$(cut -d' ' -f1-3 /proc/loadavg)
{
	echo "# Provisioning: $devices device packages"
	echo
	echo "\`bench/bench-provision.sh\`, $(date +%Y-%m-%d), $(nproc) CPUs, load average at the end $load"
	echo "(1, 5 and 15 minutes)."
	echo
	echo "| run | wall clock | per device | CPU time (user + system) | CPU per device | provision.sh's own split (wall clock) |"
	echo "|---|---:|---:|---:|---:|---|"
	row() { # row WHAT WALL CPU BATCH
		printf '| %s | %s s | %s s | %s s | %s s | %s |\n' "$1" "$2" "$(echo "$2 $devices" | awk '{printf "%.2f", $1 / $2}')" \
			"$3" "$(echo "$3 $devices" | awk '{printf "%.2f", $1 / $2}')" "$(tail -n 1 "$work/$4.log" | sed 's/.*(\(.*\))/\1/')"
	}
	row "cold: nothing built" "$cold_s" "$cold_cpu" a
	row "warm: shared build done, $devices new devices" "$warm_s" "$warm_cpu" b
	echo
	echo "Each run ends with every package made and compared with the tested agent"
	echo "(scripts/agent_binary.py): the same code but for the settings' bytes."
} >"$bench/results/provision.md"
cat "$bench/results/provision.md"
