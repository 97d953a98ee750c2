# The board's build folders, one run at a time (sourced, not run): a run of
# scripts/build-armhf.sh or scripts/provision.sh takes the lock of the folders
# it builds in for as long as it uses them; another waits, and says for whom.
#
#   build_lock LOCK WHAT   takes LOCK (a file), held until this process and
#                          the children it started end; WHAT names the
#                          folders, for the waiting line. Children that build
#                          in them (build-armhf.sh) know from
#                          AGENT_ARMHF_BUILD_LOCK that they run under it.
build_lock() {
	local lock=$1 what=$2 holder
	[ "${AGENT_ARMHF_BUILD_LOCK:-}" != "$lock" ] || return 0
	# Opened without truncating it: the holder's line stays readable.
	exec {build_lock_fd}<>"$lock"
	if ! flock -n "$build_lock_fd"; then
		holder=$(head -n 1 "$lock" 2>/dev/null || true)
		echo "$cli_name: waiting for ${holder:-another run}, which builds in $what" >&2
		flock "$build_lock_fd"
	fi
	printf '%s (PID %d)\n' "$cli_name" $$ >"$lock"
	export AGENT_ARMHF_BUILD_LOCK=$lock
}
