#!/usr/bin/env bash
# A fleet's board packages in one command: one Debian package per device, each
# with the device's own settings compiled in.
#
#   scripts/provision.sh [--host HOST] DEVICES.csv OUT_DIR [-- [--tls] CMAKE-ARGS...]
#
# (--tls: the boards' agents use MQTT over TLS, as `scripts/build-armhf.sh --tls`.)
# DEVICES.csv: a header line naming the columns name and token and, if wanted,
# client_id and host; one line per device (scripts/devices.py says more). A
# device without a client id gets one derived from its name; one without a
# host gets HOST, else the build's (AGENT_BROKER_HOST of CMAKE-ARGS, default
# localhost). The list is checked whole before anything is built: a fault
# names its line, and nothing is built or written.
#
# Then scripts/build-armhf.sh builds the board's code once, with CMAKE-ARGS
# (so every build option reaches every device), and links one agent per device
# with only its settings compiled; each package is the shared one with that
# agent in place (scripts/device_packages.py), which must be the tested agent
# but for its settings' bytes. OUT_DIR/NAME.deb appears for every device only
# once all are made; other files in OUT_DIR are left alone.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
deb_build="$top/build-armhf-deb"

usage() {
	echo "usage: scripts/provision.sh [--host HOST] DEVICES.csv OUT_DIR [-- [--tls] CMAKE-ARGS...]" >&2
	exit 2
}
die() {
	echo "provision.sh: $*" >&2
	exit 1
}

host=""
if [ "${1:-}" = --host ]; then
	[ $# -ge 2 ] || usage
	host=$2
	shift 2
fi
[ $# -ge 2 ] || usage
csv=$1
out=$2
shift 2
if [ $# -gt 0 ]; then
	[ "$1" = -- ] || usage
	shift
fi
tested_agent="$top/build-armhf/telemetry-agent"
if [ "${1:-}" = --tls ]; then # build-armhf.sh --tls: the TLS builds
	deb_build="$top/build-armhf-tls-deb"
	tested_agent="$top/build-armhf-tls/telemetry-agent"
fi
[ -f "$csv" ] || die "no device list $csv"
csv=$(realpath "$csv")

now_ms() { echo $(($(date +%s%N) / 1000000)); }
seconds_since() { # seconds_since MS [UNTIL-MS]: from then to now (or until), one decimal
	local ms=$((${2:-$(now_ms)} - $1))
	printf '%d.%d' $((ms / 1000)) $((ms % 1000 / 100))
}
started=$(now_ms)

# Everything is made next to OUT_DIR, on its file system, and moved in last.
mkdir -p "$(dirname "$out")"
stage=$(mktemp -d "$(dirname "$out")/.provision.XXXXXX")
trap 'rm -rf "$stage"' EXIT

# ---- the list, whole, before anything is built ----
"$top/scripts/devices.py" resolve "$csv" "$stage/list" ||
	die "$csv refused; nothing built"
if ! problems=$(cmake -DAGENT_DEVICES_FILE="$stage/list/devices.cmake" ${host:+-DAGENT_DEVICES_HOST="$host"} \
	-P "$top/cmake/check-devices.cmake" 2>&1); then
	# The problems, without CMake's closing error.
	sed -n '/^CMake Error/q;p' <<<"$problems" >&2
	die "$csv refused; nothing built"
fi
count=$(($(wc -l <"$stage/list/devices.csv") - 1))

# ---- the shared build and package, and one agent per device ----
# The build keeps its own copy of the list: it reads it again whenever it
# configures itself.
mkdir -p "$deb_build"
cp "$csv" "$deb_build/devices-list.csv"
"$top/scripts/build-armhf.sh" "$@" -DAGENT_DEVICES="$deb_build/devices-list.csv" -DAGENT_DEVICES_HOST="$host" \
	>"$stage/build.log" 2>&1 ||
	{ cat "$stage/build.log" >&2; die "build failed"; }
built=$(now_ms)

# ---- the packages ----
mkdir "$stage/packages"
deb=$(ls "$deb_build"/telemetry-agent_*_armhf.deb)
"$top/scripts/device_packages.py" "$deb" "$deb_build" "$tested_agent" "$stage/packages" ||
	die "packaging failed; nothing written to $out"
mkdir -p "$out"
for f in "$stage/packages"/*.deb; do
	mv -f "$f" "$out/"
done
echo "provision.sh: $count packages in $out in $(seconds_since "$started") s" \
	"(build $(seconds_since "$started" "$built") s, packages $(seconds_since "$built") s)"
