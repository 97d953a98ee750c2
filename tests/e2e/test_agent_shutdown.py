#!/usr/bin/python3
"""Shutdown: SIGINT ends the agent in order within a second in every phase;
SIGTERM keeps its default action."""

import signal
import time
import unittest

from harness import (ACK_SETTLE_S, FRAME_A, FRAME_B, NOTICE, PAUSE_S, PAYLOAD_A, PAYLOAD_B,
                     SLOWDOWN, AgentTestCase, bus_measurement, bus_setup, published)


class Interrupt(AgentTestCase):
    def test_in_the_pause(self):
        # stdout is a file here, so fully buffered: every line printed before
        # the interrupt must still be there, then the notice.
        self.start_broker()
        agent = self.start_agent(script=[FRAME_A, FRAME_B])
        self.wait_for_messages(2, PAUSE_S + 10)
        time.sleep(ACK_SETTLE_S)
        agent.interrupt_and_wait(self)
        self.assertEqual(agent.stdout(), published(PAYLOAD_A) + published(PAYLOAD_B) + NOTICE)
        self.assertEqual(agent.stderr(), b"")
        # Released: the bus closed, the serial port closed.
        self.assertTrue(agent.transcript().endswith("close\n"))
        self.assertTrue(agent.serial()["closed"])


class InterruptWhileWaitingForBroker(AgentTestCase):
    proxy = True

    def test_in_a_completion_wait(self):
        self.start_broker()
        agent = self.start_agent(script=[FRAME_A])
        self.assertTrue(self.fault_proxy.wait_for_accepted(1, 10 * SLOWDOWN))
        # The connection is up once the first message arrives; from then on
        # the acknowledgements are lost.
        self.wait_for_messages(1, 10)
        time.sleep(ACK_SETTLE_S)
        self.fault_proxy.drop_downstream()
        self.wait_for_messages(2, PAUSE_S + 5)
        time.sleep(2)  # well inside the 11 s of waiting
        agent.interrupt_and_wait(self)
        self.assertEqual(agent.stdout(), published(PAYLOAD_A) + NOTICE)
        self.assertEqual(agent.stderr(), b"")

    def test_in_the_startup_connect(self):
        # The broker accepts TCP but never answers: the connect would block
        # for its whole 30 s timeout.
        self.start_broker()
        self.fault_proxy.black_hole()
        agent = self.start_agent(script=[FRAME_A])
        self.assertTrue(self.fault_proxy.wait_for_accepted(1, 10 * SLOWDOWN))
        time.sleep(1)
        agent.interrupt_and_wait(self)
        self.assertEqual(agent.stdout(), NOTICE)
        self.assertEqual(agent.stderr(), b"")
        self.assertEqual(agent.transcript(), "")
        self.assertFalse(agent.serial()["opened"])


class Terminate(AgentTestCase):
    def test_sigterm_has_its_default_action(self):
        self.start_broker()
        agent = self.start_agent(script=[FRAME_A])
        self.wait_for_messages(1, 10)
        time.sleep(ACK_SETTLE_S)
        agent.signal(signal.SIGTERM)
        self.assertEqual(agent.wait(5 * SLOWDOWN), -signal.SIGTERM)
        self.assertNotIn(b"Received termination signal", agent.stdout())
        # No release ran: the bus was never closed by the agent.
        self.assertEqual(agent.transcript(), bus_setup() + bus_measurement("1c 73 33 33 94 7b"))


if __name__ == "__main__":
    unittest.main()
