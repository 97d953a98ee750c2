#!/usr/bin/env bash
# A fleet's board packages in one command: one Debian package per device, each
# with the device's own settings compiled in.
#
#   scripts/provision.sh [--host HOST] [--maintainer 'NAME <ADDRESS>'] [--allow-test-settings] DEVICES.csv OUT_DIR [-- [--tls] CMAKE-ARGS...]
#
# (--tls: the boards' agents use MQTT over TLS, as `scripts/build-armhf.sh --tls`.)
# DEVICES.csv: a header line naming the columns name and token and, if wanted,
# client_id and host; one line per device (scripts/devices.py says more). A
# device without a client id gets one derived from its name; one without a
# host gets HOST, else the build's (AGENT_BROKER_HOST of CMAKE-ARGS, default
# localhost). The list is checked whole before anything is built: every fault
# is reported, naming its line, and nothing is built or written. The demo
# access token and a loopback broker host (localhost, 127.0.0.0/8, ::1) are
# faults too, unless --allow-test-settings (packages for a test system whose
# broker runs on the board itself); so is a run without --maintainer (the
# packages' Maintainer, whoever makes and ships them: the fleet's operator).
#
# Then scripts/build-armhf.sh builds the board's code once, with CMAKE-ARGS
# (so every build option reaches every device), and links one agent per device
# with only its settings compiled; each package is the shared one with that
# agent in place (scripts/device_packages.py), which must be the tested agent
# but for its settings' bytes. Every package of a run has the version
# VERSION+pYYYYMMDDHHMMSS (the run's start, UTC), above any earlier run's, so
# that installing a re-provisioned package upgrades the board.
# OUT_DIR/NAME_VERSION_armhf.deb appears for every device only once all are
# made, with OUT_DIR/manifest.csv (name, client id, host, port, TLS, package,
# SHA-256) and the same summary on standard output; other files in OUT_DIR are
# left alone. OUT_DIR is made 0700, the packages 0600 (they hold the tokens),
# whatever the umask; so are the files of the package's build folder.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
deb_build="$top/build-armhf-deb"
usage="usage: scripts/provision.sh [--host HOST] [--maintainer 'NAME <ADDRESS>'] [--allow-test-settings] DEVICES.csv OUT_DIR [-- [--tls] CMAKE-ARGS...]
Builds one board package per device of DEVICES.csv (columns name, token and,
if wanted, client_id, host) into OUT_DIR, with OUT_DIR/manifest.csv.
  --host HOST              broker host of the devices whose line names none
  --maintainer 'NAME <ADDRESS>'
                           the packages' Maintainer: whoever makes and ships them
  --allow-test-settings    allow the demo access token and loopback hosts (test systems)
  -- --tls CMAKE-ARGS      MQTT over TLS; CMake settings for every device's build"
. "$top/scripts/cli.sh"
cli_help "$@"
die() {
	echo "provision.sh: $*" >&2
	exit 1
}

host=""
maintainer=""
allow_test=0
positional=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do
	case $1 in
	--host)
		[ $# -ge 2 ] || cli_error "--host needs a value"
		host=$2
		shift 2
		;;
	--maintainer)
		[ $# -ge 2 ] || cli_error "--maintainer needs a value: 'NAME <ADDRESS>'"
		maintainer=$2
		shift 2
		;;
	--allow-test-settings)
		allow_test=1
		shift
		;;
	-*) cli_error "unknown option '$1'" ;;
	*)
		positional+=("$1")
		shift
		;;
	esac
done
[ ${#positional[@]} -eq 2 ] || cli_error "${#positional[@]} arguments: DEVICES.csv and OUT_DIR"
csv=${positional[0]}
out=${positional[1]}
[ $# -eq 0 ] || shift
tested_agent="$top/build-armhf/telemetry-agent"
if [ "${1:-}" = --tls ]; then # build-armhf.sh --tls: the TLS builds
	deb_build="$top/build-armhf-tls-deb"
	tested_agent="$top/build-armhf-tls/telemetry-agent"
fi
for a in "$@"; do
	[[ $a == --tls || $a == -[DU]?* ]] || cli_error "unknown build argument '$a' (--tls first, then -DNAME=VALUE)"
done
[ -f "$csv" ] || die "no device list $csv"
csv=$(realpath "$csv")
# The host of the devices whose line names none: --host, else the build's.
default_host=$host
if [ -z "$default_host" ]; then
	default_host=localhost
	for a in "$@"; do
		[[ $a =~ ^-DAGENT_BROKER_HOST(:[A-Z]+)?=(.*)$ ]] && default_host=${BASH_REMATCH[2]}
	done
fi
# Everything made from here on, the build's files included, is its owner's
# alone: device lists, settings, agents and packages hold access tokens.
umask 077
version_stamp=$(date -u +%Y%m%d%H%M%S)

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
# Every fault in one run: the list's own (devices.py), then the values' of the
# devices whose lines could be read (the build's rules, check-devices.cmake).
refused=0
test_settings=(--refuse-test-settings)
[ $allow_test -eq 0 ] || test_settings=()
if ! faults=$("$top/scripts/devices.py" resolve "$csv" "$stage/list" --default-host "$default_host" \
	"${test_settings[@]}" 2>&1); then
	echo "$faults" >&2
	refused=1
fi
if [ -f "$stage/list/devices.cmake" ] &&
	! problems=$(cmake -DAGENT_DEVICES_FILE="$stage/list/devices.cmake" ${host:+-DAGENT_DEVICES_HOST="$host"} \
		${maintainer:+-DAGENT_PACKAGE_MAINTAINER="$maintainer"} -P "$top/cmake/check-devices.cmake" 2>&1); then
	# The problems, without CMake's closing error.
	sed -n '/^CMake Error/q;p' <<<"$problems" >&2
	refused=1
fi
# The packages' Maintainer: given, or a test build's.
for a in "$@"; do
	[[ $a =~ ^-DAGENT_PACKAGE_MAINTAINER(:[A-Z]+)?=(.*)$ ]] && maintainer=${maintainer:-${BASH_REMATCH[2]}}
done
if [ -z "$maintainer" ] && [ $allow_test -eq 0 ]; then
	echo "provision.sh: no --maintainer: the packages would name a test build's maintainer" >&2
	refused=1
fi
if [ $refused -eq 1 ]; then
	! grep -qE ': (token is the demo access token|host .* is a loopback address)' <<<"$faults" ||
		echo "provision.sh: (a test system's packages, for a broker on the board itself: --allow-test-settings)" >&2
	die "$csv refused; nothing built"
fi
count=$(($(wc -l <"$stage/list/devices.csv") - 1))

# ---- the shared build and package, and one agent per device ----
# The build keeps its own copy of the list: it reads it again whenever it
# configures itself.
mkdir -p "$deb_build"
# Files an earlier build left readable by others become private too.
chmod -R go-rwx "$deb_build"
cp "$csv" "$deb_build/devices-list.csv"
"$top/scripts/build-armhf.sh" "$@" ${maintainer:+--maintainer "$maintainer"} -DAGENT_DEVICES="$deb_build/devices-list.csv" -DAGENT_DEVICES_HOST="$host" \
	>"$stage/build.log" 2>&1 ||
	{ cat "$stage/build.log" >&2; die "build failed"; }
chmod -R go-rwx "$deb_build"
built=$(now_ms)

# ---- the packages ----
mkdir "$stage/packages"
deb=$(ls "$deb_build"/telemetry-agent_*_armhf.deb)
version="$(dpkg-deb -f "$deb" Version)+p$version_stamp"
"$top/scripts/device_packages.py" "$deb" "$deb_build" "$tested_agent" "$stage/packages" --version "$version" \
	>"$stage/summary" || die "packaging failed; nothing written to $out"
mkdir -p "$out"
chmod 700 "$out"
for f in "$stage/packages"/*.deb "$stage/packages/manifest.csv"; do
	chmod 600 "$f"
	mv -f "$f" "$out/"
done
cat "$stage/summary"
echo "provision.sh: $count packages of version $version in $out (manifest.csv) in $(seconds_since "$started") s" \
	"(build $(seconds_since "$started" "$built") s, packages $(seconds_since "$built") s)"
