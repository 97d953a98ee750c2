#!/usr/bin/python3
"""Start-up: a broker that cannot be reached or refuses the token ends the agent
with exit status 255 before it touches the sensor or the serial port; the
failure line is followed by its reason. So does another agent that runs with
the same identity, which it leaves undisturbed."""

import os
import time
import unittest

from harness import (ACK_SETTLE_S, AGENT_HOST, AGENT_PORT, AGENT_SESSION, FRAME_A, FRAME_B, NOTICE,
                     PAUSE_S, PAYLOAD_A, PAYLOAD_B, PEER, REFUSED, SLOWDOWN, TLS, AgentTestCase,
                     published, reason)
from test_agent_environment import in_mount_namespace

UNRESOLVABLE_AGENT = os.environ.get("UNRESOLVABLE_AGENT")
OTHER_ID_AGENT = os.environ.get("OTHER_ID_AGENT")
UNRESOLVABLE_HOST = os.environ.get("UNRESOLVABLE_HOST", "broker.invalid")
UNRESOLVED = reason(f"the broker's host name {UNRESOLVABLE_HOST} does not resolve: Name or service not "
                    "known")
IDENTITY_TAKEN = (b"Not starting: another agent runs with client id quorvalMeshNode for %s://%s:%d\n"
                  % (b"ssl" if TLS else b"tcp", AGENT_HOST.encode(), AGENT_PORT))


class StartupFailure(AgentTestCase):
    def test_no_broker(self):
        self.assertGaveUp(self.start_agent(), REFUSED)

    def test_token_refused(self):
        self.start_broker(token="AnotherDeviceToken42")
        self.assertGaveUp(self.start_agent(), reason(
            f"the broker at {PEER} refused the access token (not authorized): CONNACK code 5"))
        self.assertEqual(self.observer.messages(), [])

    def start_unresolvable_agent(self):
        """The agent built for a name under .invalid; host names from /etc/hosts
        alone, so that no query leaves the machine."""
        path = os.path.join(self.dir, "nsswitch.conf")
        with open(path, "w") as f:
            f.write("hosts: files\n")
        return self.start_agent(binary=UNRESOLVABLE_AGENT, wrapper=in_mount_namespace(
            'mount --bind "$0" /etc/nsswitch.conf', path))

    @unittest.skipUnless(UNRESOLVABLE_AGENT, "no agent built for a name that does not resolve")
    def test_name_that_does_not_resolve(self):
        self.assertGaveUp(self.start_unresolvable_agent(), UNRESOLVED)

    def test_second_agent_with_the_same_identity(self):
        self.start_broker()
        first = self.start_agent(script=[FRAME_A])
        self.wait_for_messages(1, 10)
        second = self.start_agent(script=[FRAME_B])
        self.assertEqual(second.wait(10 * SLOWDOWN), 255)
        self.assertEqual(second.stderr(), IDENTITY_TAKEN)
        self.assertEqual(second.stdout(), b"")
        self.assertEqual(second.transcript(), "")
        self.assertFalse(second.serial()["opened"])
        # The first never noticed: its next cycle on its one session.
        self.wait_for_messages(2, PAUSE_S + 5)
        time.sleep(ACK_SETTLE_S)
        first.interrupt_and_wait(self)
        self.assertEqual(first.stdout(), published(PAYLOAD_A) * 2 + NOTICE)
        self.assertEqual(first.stderr(), b"")
        self.assertSessions([AGENT_SESSION])
        # Its end frees the identity.
        third = self.start_agent(script=[FRAME_B])
        messages, _ = self.wait_for_messages(3, 10)
        time.sleep(ACK_SETTLE_S)
        third.interrupt_and_wait(self)
        self.assertTelemetry(messages, [PAYLOAD_A, PAYLOAD_A, PAYLOAD_B])

    @unittest.skipUnless(UNRESOLVABLE_AGENT and OTHER_ID_AGENT, "no agents of other identities")
    def test_the_identity_is_the_broker_and_the_client_id(self):
        # Beside a running agent, one with its client id for another broker
        # and one with another client id for its broker both start: each is
        # an identity of its own.
        self.start_broker()
        first = self.start_agent(script=[FRAME_A])
        self.wait_for_messages(1, 10)
        self.assertGaveUp(self.start_unresolvable_agent(), UNRESOLVED)
        other_id = self.start_agent(script=[FRAME_B], binary=OTHER_ID_AGENT)
        messages, _ = self.wait_for_messages(2, 10)
        time.sleep(ACK_SETTLE_S)
        other_id.interrupt_and_wait(self)
        first.interrupt_and_wait(self)
        self.assertEqual(messages[1].payload, PAYLOAD_B)
        self.assertEqual(other_id.stdout(), published(PAYLOAD_B) + NOTICE)
        self.assertEqual(first.stderr() + other_id.stderr(), b"")


if __name__ == "__main__":
    unittest.main()
