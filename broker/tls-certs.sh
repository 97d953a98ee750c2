#!/bin/bash
# Certificates for the local endpoint's TLS listener, made with openssl for one
# run and kept in the run's folders (EC P-256 keys, SHA-256 signatures):
#
#   tls-certs.sh ca DIR                            a new certificate authority:
#                                                  DIR/ca.crt, DIR/ca.key
#   tls-certs.sh server DIR CA_DIR NAME [expired|weak-key]
#                                                  DIR/server.crt, DIR/server.key:
#                                                  a server certificate for NAME
#                                                  (an IPv4 address or a host
#                                                  name), signed by CA_DIR's CA,
#                                                  valid for two days from an
#                                                  hour ago; "expired": its
#                                                  validity ended a day ago;
#                                                  "weak-key": a 1024-bit RSA key,
#                                                  below OpenSSL's security level 2
#
# The files are readable by all: mosquitto reads them after dropping root.
set -euo pipefail

work=""
trap '[ -z "$work" ] || rm -rf "$work"' EXIT

die() {
	echo "tls-certs.sh: $*" >&2
	exit 1
}

usage_text() {
	echo "usage: tls-certs.sh ca DIR"
	echo "       tls-certs.sh server DIR CA_DIR NAME [expired|weak-key]"
	echo "Makes a CA (DIR/ca.crt, ca.key) or a server certificate signed by it (DIR/server.crt, server.key)."
}
usage() { # usage [MESSAGE]: refuses the command line
	echo "tls-certs.sh: ${1:-bad command line}" >&2
	usage_text >&2
	exit 2
}

# openssl prints progress on stderr; show it only when it fails.
quiet() {
	local out
	out=$("$@" 2>&1) || { echo "$out" >&2; die "failed: $*"; }
}

new_key() { # new_key FILE [weak-key]
	if [ "${2:-}" = weak-key ]; then
		quiet openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out "$1"
	else
		quiet openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1"
	fi
}

utc() { # utc DATE-OFFSET: the time as openssl ca takes it
	date -u -d "$1" +%Y%m%d%H%M%SZ
}

make_ca() {
	local dir=$1
	mkdir -p "$dir"
	new_key "$dir/ca.key"
	quiet openssl req -x509 -new -key "$dir/ca.key" -out "$dir/ca.crt" -days 2 \
		-subj "/CN=telemetry-agent test CA $(date -u +%Y%m%dT%H%M%S) $$" \
		-addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"
	chmod 644 "$dir/ca.crt" "$dir/ca.key"
}

make_server() {
	local dir=$1 ca=$2 name=$3 variant=$4 san start end
	[ -r "$ca/ca.crt" ] && [ -r "$ca/ca.key" ] || die "no CA in $ca (tls-certs.sh ca $ca)"
	if [[ $name =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]]; then
		san="IP:$name"
	elif [[ $name =~ ^[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?$ ]]; then
		san="DNS:$name"
	else
		die "not an IPv4 address or host name: '$name'"
	fi
	if [ "$variant" = expired ]; then
		start=$(utc '-3 days') end=$(utc '-1 day')
	else
		start=$(utc '-1 hour') end=$(utc '+2 days')
	fi
	mkdir -p "$dir"
	new_key "$dir/server.key" "$variant"
	# openssl ca is the tool that takes a start and an end date; it keeps a
	# small database, here a throw-away one.
	work=$(mktemp -d)
	: >"$work/index.txt"
	cat >"$work/ca.cnf" <<EOF
[ca]
default_ca = run_ca
[run_ca]
database = $work/index.txt
new_certs_dir = $work
certificate = $ca/ca.crt
private_key = $ca/ca.key
rand_serial = yes
default_md = sha256
policy = any_name
copy_extensions = copy
unique_subject = no
[any_name]
commonName = supplied
EOF
	quiet openssl req -new -key "$dir/server.key" -out "$work/server.csr" -subj "/CN=$name" \
		-addext "subjectAltName=$san" -addext "basicConstraints=critical,CA:FALSE" \
		-addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=serverAuth"
	quiet openssl ca -batch -notext -config "$work/ca.cnf" -in "$work/server.csr" \
		-out "$dir/server.crt" -startdate "$start" -enddate "$end"
	chmod 644 "$dir/server.crt" "$dir/server.key"
}

for a in "$@"; do
	case $a in -h | --help)
		usage_text
		exit 0
		;;
	esac
done
for a in "$@"; do
	[[ $a != -* ]] || usage "unknown option '$a'"
done
[ $# -ge 2 ] || usage "missing arguments"
case $1 in
ca)
	[ $# -eq 2 ] || usage "ca takes one folder"
	make_ca "$2"
	;;
server)
	[ $# -eq 4 ] || { [ $# -eq 5 ] && [[ $5 =~ ^(expired|weak-key)$ ]]; } || usage "server takes DIR CA_DIR NAME [expired|weak-key]"
	make_server "$2" "$(cd "$3" && pwd)" "$4" "${5:-}"
	;;
*) usage "unknown command '$1': ca or server" ;;
esac
