#!/bin/sh
# Telemetry loop in plain POSIX shell: the other alternative a board user would
# pick. Every cycle it reads the AHT10-type sensor on I2C bus 0 (address 0x38)
# with i2ctransfer (i2c-tools), publishes {"Humidity": 45.00, "Temperature": -5.25}
# with mosquitto_pub -q 1 (which returns once the broker acknowledged it), prints
# two lines and pauses 7 s. It holds the serial port open for the whole run
# (115200 8N1, raw, no flow control). SIGINT ends it in order with status 0.
#
# Settings from the environment, with a board's defaults: BROKER_HOST
# (localhost), BROKER_PORT (1884), ACCESS_TOKEN, SERIAL_PORT (/dev/ttyS0),
# CLIENT_ID (shell-agent).
set -u

usage="usage: bench/shell_agent.sh
The telemetry loop in POSIX shell; its settings come from the environment:
BROKER_HOST, BROKER_PORT, ACCESS_TOKEN, SERIAL_PORT, CLIENT_ID. Takes no arguments."
case ${1-} in
-h | --help)
	printf '%s\n' "$usage"
	exit 0
	;;
esac
if [ $# -gt 0 ]; then
	echo "shell_agent.sh: unexpected argument '$1'" >&2
	printf '%s\n' "$usage" >&2
	exit 2
fi

BROKER_HOST=${BROKER_HOST:-localhost}
BROKER_PORT=${BROKER_PORT:-1884}
ACCESS_TOKEN=${ACCESS_TOKEN:-Tz8LwQ3nVb6RkY1mHc5J}
SERIAL_PORT=${SERIAL_PORT:-/dev/ttyS0}
CLIENT_ID=${CLIENT_ID:-shell-agent}
TOPIC=v1/devices/me/telemetry
PAUSE_S=7

# On the simulated board only a program that loads the simulator (LD_PRELOAD)
# sees the bus: keep it for i2ctransfer alone. On a board this is empty.
i2c_preload=${LD_PRELOAD:-}
unset LD_PRELOAD

pause=
finish() {
	[ -n "$pause" ] && kill "$pause" 2>/dev/null
	printf '\nReceived termination signal. Cleaning up resources...\n'
	exit 0
}
trap finish INT

exec 3<>"$SERIAL_PORT" || exit 1
stty 115200 cs8 -parenb -cstopb -crtscts -ixon -ixoff raw -echo <&3

# $1 hundredths as a decimal with two places: -525 -> -5.25
two_places() {
	sign=
	v=$1
	if [ "$v" -lt 0 ]; then
		sign=-
		v=$((-v))
	fi
	cents=$((v % 100))
	[ "$cents" -lt 10 ] && cents=0$cents
	decimal=$sign$((v / 100)).$cents
}

while :; do
	# The trigger (0xAC), then the 6-byte frame: status, 20 bits of humidity,
	# 20 bits of temperature.
	if frame=$(LD_PRELOAD=$i2c_preload i2ctransfer -y 0 w1@0x38 0xac r6@0x38) &&
		set -- $frame && [ $# -eq 6 ]; then
		raw_h=$((($2 << 12) | ($3 << 4) | ($4 >> 4)))
		raw_t=$(((($4 & 15) << 16) | ($5 << 8) | $6))
		# Rounded to hundredths: RH = raw/2^20*100, T = raw/2^20*200 - 50
		two_places $(((raw_h * 10000 + 524288) >> 20))
		humidity=$decimal
		two_places $((((raw_t * 20000 + 524288) >> 20) - 5000))
		temperature=$decimal
		payload="{\"Humidity\": $humidity, \"Temperature\": $temperature}"
		if mosquitto_pub -h "$BROKER_HOST" -p "$BROKER_PORT" -u "$ACCESS_TOKEN" -i "$CLIENT_ID" \
			-q 1 -t "$TOPIC" -m "$payload"; then
			echo "Published MQTT data - Topic: $TOPIC, Payload: $payload"
			echo "Data published to MQTT - Topic: $TOPIC, Payload: $payload"
		else
			echo "Failed to publish file data. Return code: $?" >&2
		fi
	else
		echo "Failed to read sensor data" >&2
	fi
	# In the background, so that SIGINT is handled at once, not after the pause.
	sleep "$PAUSE_S" &
	pause=$!
	wait "$pause"
	pause=
done
