#!/usr/bin/env bash
# A fleet's board packages in one command: one Debian package per device, each
# with the device's own settings compiled in.
#
#   scripts/provision.sh [--host HOST] [--maintainer 'NAME <ADDRESS>'] [--allow-test-settings] DEVICES.csv OUT_DIR [-- [--tls] CMAKE-ARGS...]
#
# (--tls: the boards' agents use MQTT over TLS, as `scripts/build-armhf.sh --tls`.)
# DEVICES.csv: a header line naming the columns name and token and, if wanted,
# client_id and host, and columns of its own (kept in the manifest); one line
# per device (scripts/devices.py says more). A device without a client id gets
# one derived from its name; one without a host gets HOST, else the build's
# (AGENT_BROKER_HOST of CMAKE-ARGS).
#
# Everything is checked before anything is built, in one pass, and every fault
# is reported, in the order of the command line (the options, the list's
# faults in line order, OUT_DIR, the CMake settings): then nothing is built or
# written. The options and their values; the list's columns and every line;
# OUT_DIR (a folder, or one that can be made, that this user can write, on a
# file system that keeps a file 0600); the settings after -- (only those the
# boards' packages take: AGENT_BROKER_HOST, AGENT_BROKER_PORT, AGENT_CA_FILE
# with --tls, AGENT_PACKAGE_MAINTAINER, and the reading store's
# AGENT_STORE_SIZE, AGENT_STORE_MESSAGE_BYTES, AGENT_STORE_CLOCK_FLAG; by the
# build's own rules). The demo
# access token and a loopback broker host (localhost, 127.0.0.0/8, ::1) are
# faults too, and so are lines without a host when no host is given, unless
# --allow-test-settings (packages for a test system whose broker runs on the
# board itself); so is a run without --maintainer (the packages' Maintainer,
# whoever makes and ships them: the fleet's operator).
#
# Then scripts/build-armhf.sh builds the board's code once, with CMAKE-ARGS
# (so every build option reaches every device), and links one agent per device
# with only its settings compiled; each package is the shared one with that
# agent in place (scripts/device_packages.py), which must be the tested agent
# but for its settings' bytes. The board's build folders serve one run at a
# time (build-armhf.lock, as build-armhf.sh): a run that finds them taken
# says so and waits. Every package of a run has the version
# VERSION+pYYYYMMDDHHMMSS (UTC, when the run's build starts), above any
# earlier run's, so that installing a re-provisioned package upgrades the
# board. Its description names the source commit the agent was built from,
# and says so when the tree had uncommitted changes.
#
# OUT_DIR holds one run's packages: OUT_DIR/NAME_VERSION_armhf.deb for every
# device, only once all are made, and OUT_DIR/manifest.csv (name, client id,
# host, port, TLS, package, SHA-256, source commit, changed tree, the list's
# own columns), which lists exactly them; the same summary goes to standard
# output. Packages of earlier runs (those of the manifest they had, and any
# other NAME_VERSION+pSTAMP_ARCH.deb) are moved into OUT_DIR/superseded/,
# with their manifest, and a line says so; other files in OUT_DIR are left
# alone. OUT_DIR and superseded/ are made 0700, the packages 0600 (they hold
# the tokens), whatever the umask; so are the files of the package's build
# folder.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
usage="usage: scripts/provision.sh [--host HOST] [--maintainer 'NAME <ADDRESS>'] [--allow-test-settings] DEVICES.csv OUT_DIR [-- [--tls] CMAKE-ARGS...]
Builds one board package per device of DEVICES.csv (columns name, token and,
if wanted, client_id, host, and columns of its own) into OUT_DIR, with
OUT_DIR/manifest.csv; packages of earlier runs there go to OUT_DIR/superseded/.
Everything is checked first, every fault reported; then nothing is built.
  --host HOST              broker host of the devices whose line names none
  --maintainer 'NAME <ADDRESS>'
                           the packages' Maintainer: whoever makes and ships them
  --allow-test-settings    allow the demo access token and loopback hosts (test systems)
  -- --tls CMAKE-ARGS      MQTT over TLS; settings of every device's build:
                           -DAGENT_BROKER_HOST= (default host), -DAGENT_BROKER_PORT=,
                           -DAGENT_CA_FILE= (with --tls), -DAGENT_PACKAGE_MAINTAINER=,
                           the reading store: -DAGENT_STORE_SIZE= (readings; 0: none),
                           -DAGENT_STORE_MESSAGE_BYTES=, -DAGENT_STORE_CLOCK_FLAG=
Waits while another run builds in the board's build folders."
. "$top/scripts/cli.sh"
cli_help "$@"
die() {
	echo "provision.sh: $*" >&2
	exit 1
}
plural() { # plural COUNT WORD: "1 package", "2 packages"
	if [ "$1" -eq 1 ]; then echo "$1 $2"; else echo "$1 ${2}s"; fi
}

# ---- every fault of the command line, before anything is done ----
# In the order of the command line: options, then the list, OUT_DIR, the
# build's settings. Usage faults (an option or argument that cannot be
# understood) end with the usage, exit status 2; the others with 1.
option_faults=()
usage_faults=0
usage_fault() {
	option_faults+=("provision.sh: $*")
	usage_faults=$((usage_faults + 1))
}
host=""
host_given=0
maintainer=""
allow_test=0
positional=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do
	case $1 in
	--host | --maintainer)
		if [ $# -lt 2 ]; then
			usage_fault "$1 needs a value$([ "$1" = --host ] || echo ": 'NAME <ADDRESS>'")"
			shift
			continue
		fi
		if [ "$1" = --host ]; then
			host=$2
			host_given=1
		else
			maintainer=$2
		fi
		shift 2
		;;
	--allow-test-settings)
		allow_test=1
		shift
		;;
	-*)
		usage_fault "unknown option '$1'"
		shift
		;;
	*)
		positional+=("$1")
		shift
		;;
	esac
done
if [ ${#positional[@]} -ne 2 ]; then
	usage_fault "takes DEVICES.csv and OUT_DIR: $(plural ${#positional[@]} argument) given"
fi
csv=${positional[0]:-}
out=${positional[1]:-}
[ $# -eq 0 ] || shift

# The build's settings after --: --tls first, then those the boards'
# packages take, by name (their values are checked with the list's, below).
build_args=("$@")
tls=0
[ "${1:-}" != --tls ] || tls=1
setting_faults=() # "INDEX<TAB>fault", for the argument order
setting_checks=()
setting_names=()
# The settings the boards' packages take (check-devices.cmake checks each).
package_settings=(AGENT_BROKER_HOST AGENT_BROKER_PORT AGENT_CA_FILE AGENT_PACKAGE_MAINTAINER AGENT_STORE_SIZE
	AGENT_STORE_MESSAGE_BYTES AGENT_STORE_CLOCK_FLAG)
packages_take=$(printf '%s, ' "${package_settings[@]}")
packages_take=${packages_take%, }
packages_take=${packages_take/AGENT_CA_FILE/AGENT_CA_FILE (with --tls)}
default_host=$host
for i in "${!build_args[@]}"; do
	a=${build_args[$i]}
	setting_names[i]=""
	if [ "$a" = --tls ]; then
		[ "$i" -eq 0 ] || usage_fault "--tls comes first after --"
		continue
	fi
	if ! [[ $a =~ ^-D([A-Za-z_][A-Za-z0-9_]*)(:[A-Za-z]+)?=(.*)$ ]]; then
		usage_fault "unknown build argument '$a' (--tls first, then -DNAME=VALUE)"
		continue
	fi
	name=${BASH_REMATCH[1]}
	value=${BASH_REMATCH[3]}
	setting_names[i]=$name
	why=""
	case $name in
	AGENT_BROKER_HOST)
		[ $host_given -eq 1 ] || default_host=$value
		;;
	AGENT_PACKAGE_MAINTAINER)
		maintainer=${maintainer:-$value}
		;;
	AGENT_BROKER_PORT | AGENT_STORE_SIZE | AGENT_STORE_MESSAGE_BYTES | AGENT_STORE_CLOCK_FLAG) ;;
	AGENT_CA_FILE)
		[ $tls -eq 1 ] || why="a TLS build's: give --tls, first after --"
		;;
	AGENT_TLS) why="give --tls, first after --: the TLS builds are folders of their own" ;;
	AGENT_ACCESS_TOKEN) why="each device's own: the device list's token column" ;;
	AGENT_CLIENT_ID) why="each device's own: the device list's client_id column" ;;
	AGENT_DEVICES | AGENT_DEVICES_HOST) why="provision.sh's own: DEVICES.csv and --host" ;;
	*)
		why="not a setting of the boards' packages ($packages_take)"
		guess=$("$top/scripts/devices.py" closest "$name" "${package_settings[@]}" AGENT_TLS AGENT_ACCESS_TOKEN \
			AGENT_CLIENT_ID)
		[ -z "$guess" ] || why="not a setting of the boards' packages: $guess misspelt?"
		;;
	esac
	if [ -n "$why" ]; then
		setting_faults+=("$i"$'\t'"provision.sh: -D$name: $why")
	else
		setting_checks+=("-DAGENT_CHECK_$name=$value")
	fi
done

# OUT_DIR: a folder this user can write, or one that can be made, on a file
# system that keeps a file private (0600): the packages hold the tokens.
out_fault() {
	local dir=$out probe modes
	if [ -e "$out" ] || [ -L "$out" ]; then
		[ -d "$out" ] || { echo "OUT_DIR $out exists and is not a folder"; return; }
		if [ -e "$out/superseded" ] && [ ! -d "$out/superseded" ]; then
			echo "OUT_DIR $out: $out/superseded exists and is not a folder (earlier runs' packages go there)"
			return
		fi
	else
		while [ ! -e "$dir" ] && [ ! -L "$dir" ]; do dir=$(dirname "$dir"); done
		[ -d "$dir" ] || { echo "OUT_DIR $out cannot be made: $dir is not a folder"; return; }
	fi
	if [ ! -w "$dir" ] || [ ! -x "$dir" ]; then
		echo "OUT_DIR $out: $dir is not writable$([ "$dir" = "$out" ] || echo " (OUT_DIR would be made in it)")"
		return
	fi
	if ! probe=$(mktemp -d "$dir/.provision-probe.XXXXXX" 2>/dev/null) ||
		! : >"$probe/f" 2>/dev/null; then
		[ -z "${probe:-}" ] || rm -rf "$probe"
		echo "OUT_DIR $out: cannot write in $dir"
		return
	fi
	chmod 600 "$probe/f" 2>/dev/null || true
	chmod 700 "$probe" 2>/dev/null || true
	modes="$(stat -c %a "$probe/f") $(stat -c %a "$probe")"
	rm -rf "$probe"
	[ "$modes" = "600 700" ] ||
		echo "OUT_DIR $out: its file system ($(stat -f -c %T "$dir")) cannot keep a file private: one made 0600" \
			"has mode 0${modes% *} there, and the packages hold access tokens"
}

# ---- the list, whole, with the options' values and the settings' ----
# Every fault in one run: the list's own (devices.py) and the values' of the
# devices whose lines could be read, of the options and the settings (the
# build's rules, check-devices.cmake).
check=$(mktemp -d)
stage=""
trap 'rm -rf "$check" ${stage:+"$stage"}' EXIT
list_faults=""
check_output=""
if [ ${#positional[@]} -eq 2 ]; then
	if [ -f "$csv" ]; then
		csv=$(realpath "$csv")
		test_settings=(--refuse-test-settings)
		[ $allow_test -eq 0 ] || test_settings=()
		list_faults=$("$top/scripts/devices.py" resolve "$csv" "$check/list" --default-host "$default_host" \
			"${test_settings[@]}" 2>&1) || true
	else
		list_faults="$csv: no such device list"
	fi
fi
devices_file=()
[ ! -f "$check/list/devices.cmake" ] || devices_file=(-DAGENT_DEVICES_FILE="$check/list/devices.cmake")
options=()
[ $host_given -eq 0 ] || options+=(-DAGENT_DEVICES_HOST="$host")
[ -z "$maintainer" ] || options+=(-DAGENT_PACKAGE_MAINTAINER="$maintainer")
if ! check_output=$(cmake "${devices_file[@]}" "${options[@]}" "${setting_checks[@]}" \
	-P "$top/cmake/check-devices.cmake" 2>&1); then
	# The problems, without CMake's closing error.
	check_output=$(sed -n '/^CMake Error/q;p' <<<"$check_output")
fi
while IFS= read -r line; do
	case $line in
	--*) option_faults+=("provision.sh: $line") ;;
	-D*)
		# At the argument that gave the value (the last of its name).
		at=0
		for i in "${!build_args[@]}"; do
			[[ -z ${setting_names[i]} || $line != "-D${setting_names[i]} "* ]] || at=$i
		done
		setting_faults+=("$at"$'\t'"provision.sh: $line")
		;;
	?*) list_faults+=$'\n'$line ;;
	esac
done <<<"$check_output"
if [ -z "$maintainer" ] && [ $allow_test -eq 0 ]; then
	option_faults+=("provision.sh: no --maintainer: the packages would name a test build's maintainer")
fi
# A default host that is refused is told once, not again for every line
# that takes it.
if grep -qE "^provision.sh: (--host|-DAGENT_BROKER_HOST) '" < <(printf '%s\n' "${option_faults[@]}" \
	"${setting_faults[@]#*$'\t'}"); then
	list_faults=$(grep -vF ": host '$default_host' is not a host name" <<<"$list_faults" || true)
fi

# The list's faults in line order, whichever check found them.
by_line() {
	local line rest n i=0
	while IFS= read -r line; do
		[ -n "$line" ] || continue
		rest=${line#"$csv:"}
		n=0
		[[ $rest =~ ^([0-9]+): ]] && n=${BASH_REMATCH[1]}
		printf '%d\t%d\t%s\n' "$n" $((i++)) "$line"
	done | sort -t $'\t' -k1,1n -k2,2n | cut -f 3-
}
faults=("${option_faults[@]}")
while IFS= read -r line; do
	[ -z "$line" ] || faults+=("$line")
done < <(by_line <<<"$list_faults")
if [ -n "$out" ] && problem=$(out_fault) && [ -n "$problem" ]; then
	faults+=("provision.sh: $problem")
fi
while IFS= read -r line; do
	[ -z "$line" ] || faults+=("$line")
done < <(printf '%s\n' "${setting_faults[@]}" | sort -t $'\t' -k1,1n -s | cut -f 2-)

if [ ${#faults[@]} -gt 0 ]; then
	printf '%s\n' "${faults[@]}" >&2
	if [ $usage_faults -gt 0 ]; then
		printf '%s\n' "$usage" >&2
		exit 2
	fi
	# Lines without a host want the boards' broker; the test settings are
	# for a test system alone.
	! grep -q ' no broker host' <<<"$list_faults" ||
		echo "provision.sh: (the boards' broker, for the lines that name none: --host HOST)" >&2
	! grep -qE ':[0-9]+: (token is the demo access token|host .* is a loopback address)' <<<"$list_faults" ||
		echo "provision.sh: (a test system's packages, for a broker on the board itself: --allow-test-settings)" >&2
	die "refused for $(plural ${#faults[@]} fault); nothing built, nothing written"
fi
count=$(($(wc -l <"$check/list/devices.csv") - 1))

# ---- the shared build and package, and one agent per device ----
deb_build="$top/build-armhf-deb"
tested_agent="$top/build-armhf/telemetry-agent"
if [ $tls -eq 1 ]; then # build-armhf.sh --tls: the TLS builds
	deb_build="$top/build-armhf-tls-deb"
	tested_agent="$top/build-armhf-tls/telemetry-agent"
fi
# Everything made from here on, the build's files included, is its owner's
# alone: device lists, settings, agents and packages hold access tokens.
umask 077
now_ms() { echo $(($(date +%s%N) / 1000000)); }
seconds_since() { # seconds_since MS [UNTIL-MS]: from then to now (or until), one decimal
	local ms=$((${2:-$(now_ms)} - $1))
	printf '%d.%d' $((ms / 1000)) $((ms % 1000 / 100))
}
started=$(now_ms)
# Made on OUT_DIR's file system (in it, or beside it until it exists) and
# moved in last.
if [ -d "$out" ]; then
	stage=$(mktemp -d "$out/.provision.XXXXXX")
else
	mkdir -p "$(dirname "$out")"
	stage=$(mktemp -d "$(dirname "$out")/.provision.XXXXXX")
fi

# The board's build folders are one run's at a time, until its packages are
# in OUT_DIR; the version is the moment this run has them.
. "$top/scripts/build-lock.sh"
tested_build=$(dirname "$tested_agent")
build_lock "$tested_build.lock" "${tested_build#"$top/"}/ and ${deb_build#"$top/"}/"
version_stamp=$(date -u +%Y%m%d%H%M%S)
# The build keeps its own copy of the list: it reads it again whenever it
# configures itself.
mkdir -p "$deb_build"
# Files an earlier build left readable by others become private too.
chmod -R go-rwx "$deb_build"
cp "$csv" "$deb_build/devices-list.csv"
"$top/scripts/build-armhf.sh" "${build_args[@]}" ${maintainer:+--maintainer "$maintainer"} \
	-DAGENT_DEVICES="$deb_build/devices-list.csv" -DAGENT_DEVICES_HOST="$host" >"$stage/build.log" 2>&1 ||
	{ cat "$stage/build.log" >&2; die "build failed; nothing written to $out"; }
chmod -R go-rwx "$deb_build"
built=$(now_ms)

# ---- the packages ----
mkdir "$stage/packages"
deb=$(ls "$deb_build"/telemetry-agent_*_armhf.deb)
version="$(dpkg-deb -f "$deb" Version)+p$version_stamp"
"$top/scripts/device_packages.py" "$deb" "$deb_build" "$tested_agent" "$stage/packages" --version "$version" \
	>"$stage/summary" || die "packaging failed; nothing written to $out"

# ---- into OUT_DIR, which then holds this run's packages alone ----
# (Still under the lock: two runs into one OUT_DIR take turns here too.)
mkdir -p "$out"
chmod 700 "$out"
superseded=()
if [ -f "$out/manifest.csv" ]; then
	while IFS= read -r name; do
		if [ -f "$out/$name" ]; then superseded+=("$name"); fi
	done < <(python3 -c 'import csv, sys
for row in csv.DictReader(open(sys.argv[1], newline="")):
    name = row.get("package") or ""
    if name and "/" not in name and name.endswith(".deb"):
        print(name)' "$out/manifest.csv")
fi
for f in "$out"/*_*+p[0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9]_*.deb; do
	[ -f "$f" ] || continue
	[[ " ${superseded[*]} " == *" ${f##*/} "* ]] || superseded+=("${f##*/}")
done
if [ ${#superseded[@]} -gt 0 ] || [ -f "$out/manifest.csv" ]; then
	mkdir -p "$out/superseded"
	chmod 700 "$out/superseded"
	for name in "${superseded[@]}"; do
		chmod 600 "$out/$name"
		mv -f "$out/$name" "$out/superseded/"
	done
	if [ -f "$out/manifest.csv" ]; then
		chmod 600 "$out/manifest.csv"
		# Named after its run's version (of its packages' names), else its time.
		old_stamp=$(date -u -r "$out/manifest.csv" +%Y%m%d%H%M%S)
		[[ ${superseded[0]:-} =~ \+p([0-9]{14})_ ]] && old_stamp=${BASH_REMATCH[1]}
		mv -f "$out/manifest.csv" "$out/superseded/manifest-$old_stamp.csv"
	fi
fi
for f in "$stage/packages"/*.deb "$stage/packages/manifest.csv"; do
	chmod 600 "$f"
	mv -f "$f" "$out/"
done
cat "$stage/summary"
if [ ${#superseded[@]} -gt 0 ]; then
	echo "provision.sh: moved $(plural ${#superseded[@]} package) of earlier runs into $out/superseded/" \
		"(install none of them: their tokens or hosts may be outdated): ${superseded[*]}"
fi
echo "provision.sh: $(plural "$count" package) of version $version in $out (manifest.csv) in $(seconds_since "$started") s" \
	"(build $(seconds_since "$started" "$built") s, packages $(seconds_since "$built") s)"
