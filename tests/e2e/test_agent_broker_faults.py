#!/usr/bin/python3
"""Broker faults: a late acknowledgement, none at all, a broker that dies or
freezes. The agent reports each lost publication and resumes by itself."""

import os
import signal
import time
import unittest

from faultproxy import publish_packet
from harness import (ACK_SETTLE_S, AGENT_SESSION, BROKER_BACK, FRAME_A, FRAME_B, FRAME_MAX,
                     FRAME_MIN, LOST, NO_ACK, NOTICE, PAUSE_S, PAYLOAD_A, PAYLOAD_B, PAYLOAD_MAX,
                     PAYLOAD_MIN, REFUSED, SANITIZED, SLOWDOWN, AgentTestCase, publish_failure,
                     published)

# The publication waits 1 s, then 10 s more, for the acknowledgement.
WAITS_S = 11.0
TIMED_OUT = -1  # Paho: the waits ran out
DISCONNECTED = -3  # Paho: the session is gone


def assertResumedAfterOneTimeout(test, agent, failed):
    """After the second of frames A, B, MIN timed out at `failed`: the third
    cycle publishes a pause later, and the broker got all three."""
    messages, resumed = test.wait_for_messages(3, PAUSE_S + 5)
    test.assertAbout(resumed - failed, PAUSE_S)
    time.sleep(ACK_SETTLE_S)
    agent.interrupt_and_wait(test)

    test.assertTelemetry(messages, [PAYLOAD_A, PAYLOAD_B, PAYLOAD_MIN])
    # The lost one has its failure line only: no progress line claims it.
    test.assertEqual(agent.stdout(), published(PAYLOAD_A) + published(PAYLOAD_MIN) + NOTICE)
    test.assertEqual(agent.stderr(), publish_failure(TIMED_OUT) + NO_ACK + BROKER_BACK)


class SlowOrSilentBroker(AgentTestCase):
    proxy = True

    def test_acknowledgement_after_ten_and_a_half_seconds_is_success(self):
        # Past the first wait (1 s) and well into the second (10 s more).
        self.start_broker()
        agent = self.start_agent(script=[FRAME_A, FRAME_B])
        self.wait_for_messages(1, 10)
        time.sleep(ACK_SETTLE_S)
        self.fault_proxy.delay_downstream(10.5)
        self.wait_for_messages(2, PAUSE_S + 5)
        time.sleep(10.5 + ACK_SETTLE_S)
        agent.interrupt_and_wait(self)
        self.assertEqual(agent.stdout(), published(PAYLOAD_A) + published(PAYLOAD_B) + NOTICE)
        self.assertEqual(agent.stderr(), b"")

    def test_acknowledgement_after_four_seconds_is_success(self):
        self.start_broker()
        self.fault_proxy.delay_downstream(4)
        agent = self.start_agent(script=[FRAME_A])
        self.wait_for_messages(1, 15)
        time.sleep(4 + ACK_SETTLE_S)
        agent.interrupt_and_wait(self)
        self.assertEqual(agent.stdout(), published(PAYLOAD_A) + NOTICE)
        self.assertEqual(agent.stderr(), b"")

    def test_no_acknowledgement_fails_after_the_waits_and_the_agent_goes_on(self):
        self.start_broker()
        agent = self.start_agent(script=[FRAME_A, FRAME_B, FRAME_MIN])
        self.wait_for_messages(1, 10)
        time.sleep(ACK_SETTLE_S)
        self.fault_proxy.drop_downstream()
        _, sent = self.wait_for_messages(2, PAUSE_S + 5)
        failed = agent.wait_for_stderr(publish_failure(TIMED_OUT), WAITS_S + 5)
        # Both waits ran: not before 11 s, and not much after.
        self.assertGreater(failed - sent, WAITS_S - 0.3)
        self.assertLess(failed - sent, WAITS_S + 1.0 * SLOWDOWN)

        self.fault_proxy.pass_through()
        assertResumedAfterOneTimeout(self, agent, failed)


class BrokerGoneOrFrozen(AgentTestCase):
    def test_broker_killed_then_restarted(self):
        self.start_broker()
        agent = self.start_agent(script=[FRAME_A, FRAME_B, FRAME_MIN, FRAME_MAX])
        self.wait_for_messages(1, 10)
        time.sleep(ACK_SETTLE_S)
        os.kill(self.broker_pid(), signal.SIGKILL)
        self.stop_broker()

        # The first cycle finds the session dead; the next cannot connect.
        agent.wait_for_stderr(REFUSED, 2 * PAUSE_S + 5)
        self.start_broker()
        messages, _ = self.wait_for_messages(1, PAUSE_S + 5)
        time.sleep(ACK_SETTLE_S)
        agent.interrupt_and_wait(self)

        self.assertTelemetry(messages, [PAYLOAD_MAX])
        self.assertEqual(agent.stdout(), published(PAYLOAD_A) + published(PAYLOAD_MAX) + NOTICE)
        # Each reason once, as it appears; once more when the broker is back.
        self.assertEqual(agent.stderr(), publish_failure(DISCONNECTED) + LOST +
                         publish_failure(DISCONNECTED) + REFUSED + BROKER_BACK)

    def test_frozen_broker_that_wakes_up_does_not_hang_the_agent(self):
        self.start_broker()
        agent = self.start_agent(script=[FRAME_A, FRAME_B, FRAME_MIN])
        self.wait_for_messages(1, 10)
        time.sleep(ACK_SETTLE_S)
        broker = self.broker_pid()
        os.kill(broker, signal.SIGSTOP)
        try:
            failed = agent.wait_for_stderr(publish_failure(TIMED_OUT), PAUSE_S + WAITS_S + 5)
        finally:
            os.kill(broker, signal.SIGCONT)

        # The broker still takes the message it had in its socket when it
        # froze, but the agent could not know: it counted it as lost.
        assertResumedAfterOneTimeout(self, agent, failed)



class MisbehavingBroker(AgentTestCase):
    proxy = True

    def test_unsolicited_messages_neither_pile_up_nor_stop_telemetry(self):
        # The agent subscribes to nothing; a broker that sends it messages all
        # the same (200 of 1 kB a second) must not make its memory grow.
        self.start_broker()
        agent = self.start_agent(script=[FRAME_A])
        self.wait_for_messages(1, 10)
        time.sleep(ACK_SETTLE_S)
        self.fault_proxy.flood_downstream(publish_packet("flood", b"x" * 1000), 200)
        _, sent = self.wait_for_messages(3, 2 * PAUSE_S + 5)
        before = agent.resident_kb()
        messages, _ = self.wait_for_messages(6, 3 * PAUSE_S + 5)
        time.sleep(ACK_SETTLE_S)
        after = agent.resident_kb()
        flooded = self.fault_proxy.flooded
        agent.interrupt_and_wait(self)
        self.assertGreater(flooded, 4000)
        # AddressSanitizer holds freed memory back (its quarantine): its
        # resident memory grows whatever the agent frees.
        if not SANITIZED:
            self.assertLess(after - before, 1024, "resident memory grew from %d to %d kB under "
                            "%d unsolicited messages" % (before, after, flooded))
        self.assertTelemetry(messages, [PAYLOAD_A] * 6)
        self.assertEqual(agent.stdout(), published(PAYLOAD_A) * 6 + NOTICE)
        self.assertEqual(agent.stderr(), b"")
        self.assertSessions([AGENT_SESSION])


if __name__ == "__main__":
    unittest.main()
