# The guest side of the upgrade check (sourced by tests/system/guest-test.sh,
# whose helpers it uses: T, S, unit, check, wait_for, prop). DIR holds what
# tests/deploy/upgrade-packages.sh made on the host: first.deb, second.deb,
# their versions and the two tokens.
#
#   check_upgrade DIR
#
# Installs the first package (over whatever version is installed), sees its
# agent connect with the first token, installs the second and sees apt
# upgrade the package, the service restart, and the agent connect and publish
# with the second token. The broker stand-in is restarted with both tokens
# registered. Leaves the second package installed and the broker running.

# Lines of the broker's log after line $1 that record a connection with token $2.
upgrade_connected_with() {
	tail -n +"$(($1 + 1))" "$S/broker/mosquitto.log" | grep -F "u'$2')" | grep -q 'New client connected'
}
upgrade_published_after() {
	tail -n +"$(($1 + 1))" "$S/broker/mosquitto.log" | grep -q "Received PUBLISH from $2 "
}
upgrade_install() { # upgrade_install DEB: apt, its log in $S/apt.log
	apt-get install -y -q "$1" >"$S/apt.log" 2>&1 || { cat "$S/apt.log"; return 1; }
}

check_upgrade() {
	local dir=$1 first_token second_token mark restarts
	first_token=$(sed -n 1p "$dir/tokens")
	second_token=$(sed -n 2p "$dir/tokens")
	"$T/broker/run-broker.sh" stop "$S/broker"
	"$T/broker/run-broker.sh" start "$S/broker" --plugin "$T/token_auth.so" --tokens "$dir/tokens"
	mark=$(wc -l <"$S/broker/mosquitto.log")
	check "apt installs the first provisioned package ($(cat "$dir/first.version"))" upgrade_install "$dir/first.deb"
	check "its agent connects with the first token" wait_for 30 upgrade_connected_with "$mark" "$first_token"
	mark=$(wc -l <"$S/broker/mosquitto.log")
	restarts=$(prop InvocationID)
	check "apt upgrades it to the second, re-provisioned package ($(cat "$dir/second.version"))" \
		sh -c "apt-get install -y -q '$dir/second.deb' >'$S/apt.log' 2>&1 &&
			grep -q '^Unpacking telemetry-agent (.*) over (.*)' '$S/apt.log' &&
			grep -q '1 upgraded' '$S/apt.log' || { cat '$S/apt.log'; false; }"
	check "the installed version is the second's" \
		test "$(dpkg-query -W -f='${Version}' telemetry-agent)" = "$(cat "$dir/second.version")"
	check "the upgrade restarted the service" sh -c "[ \"\$(systemctl show -P InvocationID $unit)\" != '$restarts' ]"
	check "the agent connects with the new token" wait_for 30 upgrade_connected_with "$mark" "$second_token"
	check "and publishes with it" wait_for 30 upgrade_published_after "$mark" upgradeBoard
	check "no connection with the old token after the upgrade" \
		sh -c "! tail -n +$((mark + 1)) '$S/broker/mosquitto.log' | grep -qF \"u'$first_token')\""
}
