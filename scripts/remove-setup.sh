#!/usr/bin/env bash
# Undoes the set-up: purges the host packages that the project's set-up
# installed (scripts/apt-install.sh noted them in .deps/host-packages; those
# that were there before it ran are left), with the packages apt installed
# only for them, and deletes what set-up, builds and tests keep in the work
# tree: .deps/ (MRAA, the board's sysroot), the build folders, build-system/
# (the booted-system test's guest) and bench/work/.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
usage="usage: scripts/remove-setup.sh [--keep-packages]
Purges the host packages the set-up installed (.deps/host-packages) and deletes
.deps/, the build folders, build-system/ and bench/work/ of this work tree.
  --keep-packages  delete the work tree's files only"
. "$top/scripts/cli.sh"
cli_help "$@"
purge=1
case ${1:-} in
"") ;;
--keep-packages) purge=0 ;;
*) cli_error "unexpected argument '$1'" ;;
esac
[ $# -le 1 ] || cli_error "unexpected argument '$2'"

# A guest's chroot mounts (an interrupted booted-system test) would take the
# host's /dev or /proc with them.
if awk -v t="$top/" 'index($2, t) == 1 { found = 1 } END { exit !found }' /proc/mounts; then
	echo "remove-setup.sh: something is mounted in $top (an interrupted booted-system test?): unmount it first" >&2
	exit 1
fi
if [ $purge -eq 1 ] && [ -s "$top/.deps/host-packages" ]; then
	installed=()
	while read -r p; do
		dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q ' installed$' && installed+=("$p")
	done < <(sort -u "$top/.deps/host-packages")
	if [ ${#installed[@]} -gt 0 ]; then
		echo "remove-setup.sh: purging ${installed[*]}"
		sudo=""
		[ "$(id -u)" -eq 0 ] || sudo="sudo"
		$sudo env DEBIAN_FRONTEND=noninteractive apt-get -y -q purge --auto-remove "${installed[@]}"
	fi
fi
shopt -s nullglob
rm -rf "$top/.deps" "$top"/build "$top"/build-* "$top/bench/work"
echo "remove-setup.sh: removed .deps/, the build folders, build-system/ and bench/work/"
