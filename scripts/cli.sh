# Option handling shared by the project's bash scripts (sourced, not run).
# A script sets `usage` (its usage text, from "usage: ..."), then:
#   cli_help "$@"        -h or --help before any "--": the usage on standard
#                        output, exit 0, nothing else done
#   cli_error MESSAGE    "SCRIPT: MESSAGE" and the usage on standard error, exit 2
#   cli_no_args "$@"     cli_error unless there are no arguments
cli_name=${0##*/}

cli_help() {
	local a
	for a in "$@"; do
		case $a in
		--) return 0 ;;
		-h | --help)
			printf '%s\n' "$usage"
			exit 0
			;;
		esac
	done
}

cli_error() {
	echo "$cli_name: $*" >&2
	printf '%s\n' "$usage" >&2
	exit 2
}

cli_no_args() {
	cli_help "$@"
	[ $# -eq 0 ] || cli_error "unexpected argument '$1'"
}
