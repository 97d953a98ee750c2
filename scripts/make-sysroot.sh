#!/usr/bin/env bash
# The board's root of libraries for the cross builds (a sysroot): Debian 12's
# own armhf packages of the libraries the agent, its tests and MRAA build
# against (Paho MQTT C, json-c, OpenSSL, GoogleTest, the C++ run-time) and all
# they depend on, resolved and fetched by apt with a configuration of its own
# and unpacked with dpkg-deb into DIR (default .deps/armhf/sysroot,
# git-ignored). The host's package system is never asked nor changed: no
# foreign architecture, no armhf package in its database.
#
# Why apt and dpkg-deb rather than a bootstrapper: apt resolves the
# dependencies exactly as the board's apt would, it tells which suite's index
# is unsound (one suite can be left out, see below), and the packages'
# control data is kept as a dpkg database of the root's own
# (DIR/var/lib/dpkg), from which the board's package takes its Depends.
#
# Suites: the release and its updates, and the security suite when its index
# is sound. A suite whose index cannot be fetched or does not match its
# Release file (a mirror in the middle of a sync) is left out with a one-line
# warning, as long as everything needed can still be installed from the
# others: the board's package is built against ABI-stable libraries, and the
# board gets its security updates from its own apt. DIR/etc/apt/sources.list
# records the suites used; the booted-system test's guest is made from the
# same ones.
#
# DIR is made once and reused while its package list and release are the
# same; it is made beside DIR and renamed into place when complete, so an
# interrupted run never leaves a half-made root where builds look. apt's
# lists and downloaded packages are kept in DIR.apt for the next remake.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
usage="usage: scripts/make-sysroot.sh [--mirror URL] [--security-mirror URL] [DIR]
Makes the board's sysroot DIR (default .deps/armhf/sysroot) from Debian 12's
armhf packages, with an apt configuration of its own (the host's package
system is left alone); does nothing when DIR is complete and current.
  --mirror URL           Debian's archive (default: the one the host's apt uses)
  --security-mirror URL  Debian's security archive (default: the host's)"
. "$top/scripts/cli.sh"
cli_help "$@"

release=bookworm # Debian 12, the board's
arch=armhf
packages=(libpaho-mqtt-dev libjson-c-dev libssl-dev libgtest-dev libstdc++6)
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
# Changes whenever what a root holds changes: a root of another key is remade.
key="layout 1; Debian $release $arch; ${packages[*]}"

mirror=""
security_mirror=""
dir=""
while [ $# -gt 0 ]; do
	case $1 in
	--mirror | --security-mirror)
		[ $# -ge 2 ] || cli_error "$1 needs a URL"
		[[ $2 =~ ^(https?|file):// ]] || cli_error "$1: '$2' is not an http, https or file URL"
		if [ "$1" = --mirror ]; then mirror=$2; else security_mirror=$2; fi
		shift 2
		;;
	-*) cli_error "unknown option '$1'" ;;
	*)
		[ -z "$dir" ] || cli_error "one folder at most"
		dir=$1
		shift
		;;
	esac
done
dir=${dir:-$top/.deps/$arch/sysroot}
mkdir -p "$(dirname "$dir")"
dir=$(realpath -m "$dir")
name=${cli_name%.sh}
say() { echo "$name: $*"; }
die() {
	echo "$name: $*" >&2
	exit 1
}

if [ "$(cat "$dir/.sysroot-key" 2>/dev/null)" = "$key" ]; then
	exit 0
fi
# One run at a time makes a root; another waits for it, then finds it made.
exec 9>"$dir.lock"
if ! flock -n 9; then
	say "waiting for another run that makes $dir"
	flock 9
fi
if [ "$(cat "$dir/.sysroot-key" 2>/dev/null)" = "$key" ]; then
	exit 0
fi
[ -f "$keyring" ] || die "no $keyring: install debian-archive-keyring (scripts/setup-armhf.sh does)"
started=$(date +%s)

# The archives the host's apt uses for Debian 12, unless given.
host_site() { # host_site SUITE
	apt-get indextargets --no-release-info --format '$(SITE) $(RELEASE)' 'Created-By: Packages' 2>/dev/null |
		awk -v s="$1" '$2 == s { print $1; exit }'
}
[ -n "$mirror" ] || mirror=$(host_site "$release")
[ -n "$security_mirror" ] || security_mirror=$(host_site "$release-security")
[ -n "$mirror" ] || die "the host's apt sources name no Debian $release archive: give --mirror URL"
suites=("$mirror $release" "$mirror $release-updates")
[ -n "$security_mirror" ] && suites+=("$security_mirror $release-security") ||
	say "warning: the host's apt sources name no $release-security archive: the sysroot is made without it"

# ---- apt, configured for this root alone ----
apt_dir="$dir.apt"
mkdir -p "$apt_dir"/{lists/partial,archives/partial,parts,log}
: >"$apt_dir/status"
cat >"$apt_dir/apt.conf" <<-EOF
	APT::Architecture "$arch";
	APT::Architectures { "$arch"; };
	APT::Install-Recommends "false";
	Dir::State "$apt_dir";
	Dir::State::Lists "$apt_dir/lists";
	Dir::State::status "$apt_dir/status";
	Dir::Cache "$apt_dir";
	Dir::Cache::archives "$apt_dir/archives";
	Dir::Etc::SourceList "$apt_dir/sources.list";
	Dir::Etc::SourceParts "$apt_dir/parts";
	Dir::Etc::Parts "$apt_dir/parts";
	Dir::Etc::Preferences "$apt_dir/preferences";
	Dir::Etc::PreferencesParts "$apt_dir/parts";
	Dir::Log "$apt_dir/log";
	Debug::NoLocking "true";
	Acquire::Languages "none";
	Acquire::Retries "2";
	Acquire::http::Timeout "20";
EOF
export APT_CONFIG="$apt_dir/apt.conf"
write_sources() {
	local s
	for s in "${suites[@]}"; do
		echo "deb [arch=$arch signed-by=$keyring] ${s% *} ${s#* } main"
	done >"$apt_dir/sources.list"
}
write_sources

say "fetching the $arch package indexes of ${suites[*]#* } (apt, configuration in ${apt_dir#"$top/"})"
set +e
update_log=$(apt-get -q update 2>&1)
set -e
# A suite is sound when apt kept its index: apt drops a suite's Release file
# and lists when one of them failed its checks.
sound=$(apt-get indextargets --format '$(RELEASE) $(FILENAME)' 'Created-By: Packages' 2>/dev/null)
kept=()
for s in "${suites[@]}"; do
	suite=${s#* }
	if awk -v s="$suite" '$1 == s { print $2 }' <<<"$sound" | while read -r f; do ls "$f"* >/dev/null 2>&1 || exit 1; done &&
		grep -q "^$suite " <<<"$sound"; then
		kept+=("$s")
		continue
	fi
	reason=$(grep -m 1 -E "Failed to fetch [^ ]*/dists/$suite/" <<<"$update_log" |
		sed -E -e 's/^[EW]: Failed to fetch [^ ]+ +//' -e 's/ *\[IP: [^]]*\]$//' || true)
	reason=${reason:-$(grep -m 1 -E '^(E|W|Err):' <<<"$update_log" || echo "no index")}
	[ "$suite" != "$release" ] || die "cannot read Debian $release's $arch index at ${s% *}: $reason"
	say "warning: $suite left out of the sysroot: its $arch index cannot be used ($reason)"
	rm -f "$apt_dir/lists/"*"_dists_${suite}_"*
done
suites=("${kept[@]}")
write_sources

# ---- the packages and what they depend on ----
if ! install_log=$(apt-get -q -y install --download-only "${packages[@]}" 2>&1); then
	# One line: the package that cannot be had, and why (apt's words).
	why=$(grep -m 1 -E '^ *[^ ]+ : (Pre-)?Depends:' <<<"$install_log" | sed -E 's/^ +//; s/  +/ /g' ||
		grep -m 1 -E '^E: ' <<<"$install_log" || tail -n 1 <<<"$install_log")
	die "cannot fetch the sysroot's packages from ${suites[*]#* }: ${why#E: }"
fi
# What apt resolved: "Inst NAME (VERSION ORIGIN [ARCH])", with " []" after
# a package that breaks a dependency loop.
plan=$(apt-get -s install "${packages[@]}" | grep '^Inst ')
inst=$(sed -n -E 's/^Inst ([^ ]+) \(([^ ]+) [^[]*\[([^]]+)\]\).*$/\1 \2 \3/p' <<<"$plan")
[ -n "$inst" ] && [ "$(wc -l <<<"$inst")" = "$(wc -l <<<"$plan")" ] || die "cannot read apt's plan: $plan"
debs=()
while read -r pkg version parch; do
	f="$apt_dir/archives/${pkg}_${version//:/%3a}_${parch}.deb"
	[ -f "$f" ] || die "apt fetched no $f"
	debs+=("$f")
done <<<"$inst"

# ---- unpacked beside DIR, renamed into place when complete ----
new="$dir.new"
rm -rf "$new" "$dir.old"
# Merged /usr, as a Debian 12 board has it.
mkdir -p "$new/usr/bin" "$new/usr/sbin" "$new/usr/lib"
for d in bin sbin lib; do ln -s "usr/$d" "$new/$d"; done
db="$new/var/lib/dpkg"
mkdir -p "$db/info" "$db/updates"
echo 1 >"$db/info/format" # multiarch names: info/PKG:ARCH.list
echo "$arch" >"$db/arch"
: >"$db/status"
control=$(mktemp -d)
trap 'rm -rf "$control" "$new"' EXIT
for f in "${debs[@]}"; do
	dpkg-deb --fsys-tarfile "$f" | tar -x --keep-directory-symlink -C "$new"
	pkg=$(dpkg-deb -f "$f" Package)
	[ "$(dpkg-deb -f "$f" Multi-Arch)" != same ] || pkg="$pkg:$(dpkg-deb -f "$f" Architecture)"
	# The database as dpkg keeps it: the status entry, the files, the
	# library metadata (symbols, shlibs) dpkg-shlibdeps reads.
	{
		dpkg-deb -f "$f" | sed '/^Package:/a Status: install ok installed'
		echo
	} >>"$db/status"
	dpkg-deb --fsys-tarfile "$f" | tar -t | sed -e 's|^\./|/|' -e 's|/$||' -e 's|^$|/.|' >"$db/info/$pkg.list"
	rm -rf "$control"/*
	dpkg-deb -e "$f" "$control/DEBIAN"
	for c in symbols shlibs; do
		[ ! -f "$control/DEBIAN/$c" ] || cp "$control/DEBIAN/$c" "$db/info/$pkg.$c"
	done
done
# Links to absolute paths would leave the root for the host's own files:
# each becomes relative, within the root.
while IFS= read -r -d '' l; do
	target=$(readlink "$l")
	ln -sfn "$(realpath -m --relative-to="$(dirname "$l")" "$new$target")" "$l"
done < <(find "$new" -type l -lname '/*' -print0)
[ -z "$(find "$new" -type l -lname '/*' -print -quit)" ] || die "an absolute link is left in the sysroot"
mkdir -p "$new/etc/apt"
cp "$apt_dir/sources.list" "$new/etc/apt/sources.list"
echo "$key" >"$new/.sysroot-key"
[ ! -e "$dir" ] || mv "$dir" "$dir.old"
mv "$new" "$dir"
rm -rf "$dir.old"
say "sysroot ready: ${dir#"$top/"}, ${#debs[@]} packages of ${suites[*]#* }, $(du -sm "$dir" | cut -f1) MB, in $(($(date +%s) - started)) s"
