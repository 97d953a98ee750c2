#!/usr/bin/python3
"""Start-up: a broker that cannot be reached or refuses the token ends the agent
with exit status 255 before it touches the sensor or the serial port; the
failure line is followed by its reason."""

import os
import unittest

from harness import PEER, REFUSED, AgentTestCase, reason
from test_agent_environment import in_mount_namespace

UNRESOLVABLE_AGENT = os.environ.get("UNRESOLVABLE_AGENT")


class StartupFailure(AgentTestCase):
    def test_no_broker(self):
        self.assertGaveUp(self.start_agent(), REFUSED)

    def test_token_refused(self):
        self.start_broker(token="AnotherDeviceToken42")
        self.assertGaveUp(self.start_agent(), reason(
            f"the broker at {PEER} refused the access token (not authorized): CONNACK code 5"))
        self.assertEqual(self.observer.messages(), [])

    @unittest.skipUnless(UNRESOLVABLE_AGENT, "no agent built for a name that does not resolve")
    def test_name_that_does_not_resolve(self):
        # Host names from /etc/hosts alone: no query leaves the machine.
        path = os.path.join(self.dir, "nsswitch.conf")
        with open(path, "w") as f:
            f.write("hosts: files\n")
        agent = self.start_agent(binary=UNRESOLVABLE_AGENT, wrapper=in_mount_namespace(
            'mount --bind "$0" /etc/nsswitch.conf', path))
        self.assertGaveUp(agent, reason(
            "the broker's host name broker.invalid does not resolve: Name or service not known"))


if __name__ == "__main__":
    unittest.main()
