#!/bin/bash
# Starts and stops the local device endpoint: mosquitto with the token_auth plugin,
# listening on one loopback address only (default 127.0.0.1), with its config, log and pid
# in STATE_DIR.
#
#   run-broker.sh start STATE_DIR [--host A] [--port P] [--observer-port P] [--plugin PATH]
#                 [--tokens FILE | --token T] [--ipv6-loopback]
#                 [--tls-port P [--tls-ca DIR] [--tls-name NAME] [--tls-expired]]
#   run-broker.sh stop STATE_DIR
#
# --tokens FILE: the token registry, one device access token per line (empty
# lines are skipped; an empty registry lets no device in); --token T: a
# registry of that token alone; default: the token the agent is built with by
# default. The registry in use is STATE_DIR/tokens.
# --ipv6-loopback: the device port also listens on ::1, for agents that reach
# the broker as "localhost" where that name resolves to ::1 first.
# start prints nothing on success; it fails before starting anything if a port is taken.
# The plugin defaults to $BROKER_PLUGIN, else build/broker/token_auth.so in the repository.
#
# --tls-port P adds a listener for MQTT over TLS (1.2 or later) on P with the same token
# and topic rules. Its server certificate is made for this run (tls-certs.sh) in
# STATE_DIR/tls/server.crt, for NAME (default: the host address), signed by the CA in
# DIR (ca.crt, ca.key; default: a new one in STATE_DIR/tls/ca, the file a client then
# trusts is STATE_DIR/tls/ca/ca.crt). --tls-expired: a certificate whose validity ended.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
host=127.0.0.1
port=1884
observer_port=1885
token=Tz8LwQ3nVb6RkY1mHc5J
registry=""
plugin=${BROKER_PLUGIN:-$(dirname "$here")/build/broker/token_auth.so}
ipv6_loopback=0
tls_port=""
tls_ca=""
tls_name=""
tls_expired=""
start_timeout_ticks=100 # of 0.05 s
stop_timeout_ticks=100  # of 0.05 s

die() {
	echo "run-broker.sh: $*" >&2
	exit 1
}

# This script is also copied alone (into the booted-system test's guest): it
# shares no helper with the others.
usage_text() {
	echo "usage: run-broker.sh start STATE_DIR [--host A] [--port P] [--observer-port P] [--plugin PATH]"
	echo "                     [--tokens FILE | --token T] [--ipv6-loopback]"
	echo "                     [--tls-port P [--tls-ca DIR] [--tls-name NAME] [--tls-expired]]"
	echo "       run-broker.sh stop STATE_DIR"
	echo "Starts or stops the local device endpoint (mosquitto and its token plugin) in STATE_DIR."
}
usage() { # usage [MESSAGE]: refuses the command line
	echo "run-broker.sh: ${1:-bad command line}" >&2
	usage_text >&2
	exit 2
}

# True when something accepts TCP connections on $host:$1 (or on ${2}:$1).
port_open() {
	(exec 3<>"/dev/tcp/${2:-$host}/$1") 2>/dev/null
}

# True while process $1 exists and is not a zombie.
alive() {
	local state
	state=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -c1)
	[ -n "$state" ] && [ "$state" != Z ]
}

# True while $1 is a live mosquitto process started with our config.
is_our_broker() {
	tr '\0' ' ' 2>/dev/null <"/proc/$1/cmdline" | grep -qF "mosquitto -c $conf " && alive "$1"
}

check_port_number() {
	if ! [[ $1 =~ ^[0-9]+$ ]] || [ "$1" -lt 1 ] || [ "$1" -gt 65535 ]; then
		die "bad port: '$1'"
	fi
}

check_port_free() { # PORT [ADDRESS]
	! port_open "$1" "${2:-}" || die "port $1 on ${2:-$host} is already taken by another process; not starting"
}

# Escapes a value for the replacement side of a sed s|||.
sed_value() {
	printf '%s' "$1" | sed -e 's/[\\|&]/\\&/g'
}

# The registry's tokens, one a line, into $tokens; fails naming a bad line.
write_registry() {
	local line number=0
	: >"$tokens"
	if [ -z "$registry" ]; then
		printf '%s\n' "$token" >"$tokens"
		return
	fi
	while IFS= read -r line || [ -n "$line" ]; do
		number=$((number + 1))
		line=${line%$'\r'}
		[ -n "$line" ] || continue
		[[ $line =~ ^[A-Za-z0-9._~+/=-]+$ ]] || die "$registry:$number: not a device access token"
		printf '%s\n' "$line" >>"$tokens"
	done <"$registry"
}

# The tokens go into the configuration: mosquitto reads it as root, but loads
# the plugin only after giving root up.
write_config() {
	sed -e "s|@HOST@|$host|" -e "s|@PORT@|$port|" -e "s|@OBSERVER_PORT@|$observer_port|" \
		-e "s|@PLUGIN@|$(sed_value "$plugin")|" -e "s|@BROKER_DIR@|$(sed_value "$here")|" \
		"$here/mosquitto.conf.in" |
		awk -v tokens="$tokens" '$0 == "@TOKEN_LINES@" {
			while ((getline t <tokens) > 0) print "plugin_opt_token " t
			next
		} { print }' >"$conf"
	[ -z "$tls_port" ] || write_tls_listener
	[ "$ipv6_loopback" -eq 0 ] || write_ipv6_listener
}

# The device listener's block (from its listener line to the next blank line)
# under another listener line: the same token and topic rules there.
device_rules_at() { # LISTENER-LINE
	local rules
	rules=$(awk -v first="listener $port $host" -v other="$1" '
		$0 == first { copy = 1; print other; next }
		copy && $0 == "" { exit }
		copy { print }' "$conf")
	[ -n "$rules" ] || die "no device listener in $here/mosquitto.conf.in"
	printf '%s\n' "$rules"
}

# The device listener once more, on ::1.
write_ipv6_listener() {
	{
		echo
		echo "# Devices on ::1: the rules of the listener on $host."
		device_rules_at "listener $port ::1"
	} >>"$conf"
}

# The TLS listener: the device listener's rules on the TLS port, with the
# run's certificate.
write_tls_listener() {
	local tls_dir=$state_dir/tls
	rm -rf "$tls_dir"
	if [ -z "$tls_ca" ]; then
		"$here/tls-certs.sh" ca "$tls_dir/ca"
		tls_ca=$tls_dir/ca
	fi
	"$here/tls-certs.sh" server "$tls_dir" "$tls_ca" "${tls_name:-$host}" $tls_expired
	# Started as root, mosquitto loads the certificate once it runs as the user mosquitto.
	if [ "$(id -u)" -eq 0 ] && ! runuser -u mosquitto -- test -r "$tls_dir/server.key"; then
		die "the user mosquitto cannot read $tls_dir: make $state_dir and the folders above it searchable (chmod o+x)"
	fi
	{
		echo
		echo "# Devices over TLS: the rules of the listener on $port."
		device_rules_at "listener $tls_port $host"
		echo "certfile $tls_dir/server.crt"
		echo "keyfile $tls_dir/server.key"
		echo "tls_version tlsv1.2"
	} >>"$conf"
}

wait_until_running() {
	local pid=$1 i
	for ((i = 0; i < start_timeout_ticks; i++)); do
		if ! alive "$pid"; then
			tail -n 5 "$log" >&2
			die "mosquitto exited during start-up (log: $log)"
		fi
		if grep -q 'mosquitto version .* running' "$log" &&
			port_open "$port" && port_open "$observer_port" &&
			{ [ "$ipv6_loopback" -eq 0 ] || port_open "$port" ::1; } &&
			{ [ -z "$tls_port" ] || port_open "$tls_port"; }; then
			return 0
		fi
		sleep 0.05
	done
	kill -KILL "$pid" 2>/dev/null || true
	die "mosquitto did not open ports $port, $observer_port ${tls_port:+and $tls_port }within 5 s (log: $log)"
}

start() {
	local pid
	# Loopback only: this broker is for tests and demos on this machine.
	[[ $host =~ ^127\.[0-9]+\.[0-9]+\.[0-9]+$ ]] || die "not a loopback address: '$host'"
	check_port_number "$port"
	check_port_number "$observer_port"
	[ "$port" != "$observer_port" ] || die "--port and --observer-port must differ"
	if [ -n "$tls_port" ]; then
		check_port_number "$tls_port"
		[ "$tls_port" != "$port" ] && [ "$tls_port" != "$observer_port" ] ||
			die "--tls-port must differ from --port and --observer-port"
	elif [ -n "$tls_ca$tls_name$tls_expired" ]; then
		die "--tls-ca, --tls-name and --tls-expired need --tls-port"
	fi
	if [ -n "$registry" ]; then
		[ -r "$registry" ] || die "token registry not found: $registry"
	else
		[[ $token =~ ^[A-Za-z0-9._~+/=-]+$ ]] || die "bad token: '$token'"
	fi
	[ -r "$plugin" ] || die "plugin not found: $plugin (build it, or give --plugin PATH)"
	plugin=$(realpath "$plugin")
	if [ -f "$pidfile" ] && is_our_broker "$(cat "$pidfile")"; then
		die "a broker is already running from $state_dir (pid $(cat "$pidfile"))"
	fi
	check_port_free "$port"
	check_port_free "$observer_port"
	[ "$ipv6_loopback" -eq 0 ] || check_port_free "$port" ::1
	[ -z "$tls_port" ] || check_port_free "$tls_port"
	write_registry
	write_config
	: >"$log"
	# A session of its own: a Ctrl-C meant for the agent in the same terminal
	# must not stop the broker first. (setsid execs mosquitto in place: $! is its PID.)
	# Line-buffered: the log is read as it grows (scripts/run.sh, fleet.sh).
	setsid stdbuf -oL -eL mosquitto -c "$conf" </dev/null >>"$log" 2>&1 &
	pid=$!
	echo "$pid" >"$pidfile"
	wait_until_running "$pid"
}

stop() {
	local pid i
	[ -f "$pidfile" ] || return 0
	pid=$(cat "$pidfile")
	if is_our_broker "$pid"; then
		kill -TERM "$pid"
		for ((i = 0; i < stop_timeout_ticks; i++)); do
			is_our_broker "$pid" || break
			sleep 0.05
		done
		if is_our_broker "$pid"; then
			kill -KILL "$pid"
			echo "run-broker.sh: mosquitto (pid $pid) ignored SIGTERM for 5 s; killed" >&2
		fi
	fi
	rm -f "$pidfile"
}

for a in "$@"; do
	case $a in -h | --help)
		usage_text
		exit 0
		;;
	esac
done
case ${1:-} in
start | stop) ;;
"") usage "no command: start or stop" ;;
*) usage "unknown command '$1': start or stop" ;;
esac
[ $# -ge 2 ] || usage "no STATE_DIR"
command=$1
state_dir=$2
shift 2
while [ $# -gt 0 ]; do
	case $1 in # the options without a value
	--ipv6-loopback | --tls-expired)
		[ "$1" = --ipv6-loopback ] && ipv6_loopback=1 || tls_expired=expired
		shift
		continue
		;;
	esac
	[ $# -ge 2 ] || usage "$1 needs a value"
	case $1 in
	--host) host=$2 ;;
	--port) port=$2 ;;
	--observer-port) observer_port=$2 ;;
	--plugin) plugin=$2 ;;
	--token) token=$2 ;;
	--tls-port) tls_port=$2 ;;
	--tls-ca) tls_ca=$2 ;;
	--tls-name) tls_name=$2 ;;
	--tokens) registry=$2 ;;
	*) usage "unknown option '$1'" ;;
	esac
	shift 2
done

[ "$command" = stop ] && [ ! -d "$state_dir" ] && exit 0
mkdir -p "$state_dir"
state_dir=$(cd "$state_dir" && pwd)
conf=$state_dir/mosquitto.conf
log=$state_dir/mosquitto.log
pidfile=$state_dir/mosquitto.pid
tokens=$state_dir/tokens

case $command in
start) start ;;
stop) stop ;;
esac
