#!/usr/bin/python3
"""Sensor faults: a cycle without a reading publishes nothing and says so on
stderr; the next good reading is published."""

import time
import unittest

from harness import (ACK_SETTLE_S, AGENT_SESSION, FRAME_A, FRAME_B, NOTICE, PAUSE_S, PAYLOAD_A,
                     PAYLOAD_B, SENSOR_FAILURE, AgentTestCase, bus_measurement, bus_setup,
                     published)

# Past the broker's patience with a silent client: 1.5 times the agent's 20 s
# keep-alive.
OUTAGE_CYCLES = 5


class SensorFaults(AgentTestCase):
    def test_refused_then_vanished_then_back(self):
        self.start_broker()
        agent = self.start_agent(script=[FRAME_A, "nack", "absent", FRAME_B])
        _, first = self.wait_for_messages(1, 10)
        messages, back = self.wait_for_messages(2, 3 * PAUSE_S + 5)
        # The failed cycles still pause: three pauses between the two readings.
        self.assertAbout(back - first, 3 * PAUSE_S)
        time.sleep(ACK_SETTLE_S)
        agent.interrupt_and_wait(self)

        self.assertTelemetry(messages, [PAYLOAD_A, PAYLOAD_B])
        self.assertEqual(agent.stdout(), published(PAYLOAD_A) + published(PAYLOAD_B) + NOTICE)
        self.assertEqual(agent.stderr(), SENSOR_FAILURE * 2)
        self.assertEqual(agent.transcript(),
                         bus_setup() + bus_measurement("1c 73 33 33 94 7b") +
                         "write 0x38 ac -> nack\nread 0x38 reg 00 -> nack\n"
                         "write 0x38 ac -> absent\nread 0x38 reg 00 -> absent\n" +
                         bus_measurement("18 80 00 06 66 66") + "close\n")

    def test_the_session_outlives_a_long_outage(self):
        # 35 s without a reading: the cycles that publish nothing still answer
        # the keep-alive, so the first reading afterwards is delivered.
        self.start_broker()
        agent = self.start_agent(script=[FRAME_A] + ["nack"] * OUTAGE_CYCLES + [FRAME_B])
        _, first = self.wait_for_messages(1, 10)
        messages, back = self.wait_for_messages(2, (OUTAGE_CYCLES + 1) * PAUSE_S + 10)
        time.sleep(ACK_SETTLE_S)
        agent.interrupt_and_wait(self)
        # Six pauses (each cycle also spends the sensor's 80 ms): a reading lost
        # to a dropped session would come a pause later, after a reconnect.
        self.assertAbout(back - first, (OUTAGE_CYCLES + 1) * PAUSE_S, slack=3.0)
        self.assertTelemetry(messages, [PAYLOAD_A, PAYLOAD_B])
        self.assertEqual(agent.stdout(), published(PAYLOAD_A) + published(PAYLOAD_B) + NOTICE)
        self.assertEqual(agent.stderr(), SENSOR_FAILURE * OUTAGE_CYCLES)
        self.assertSessions([AGENT_SESSION])
        self.assertNotIn("exceeded timeout", self.broker.log())

    def test_no_device_publishes_nothing(self):
        self.start_broker()
        agent = self.start_agent(no_device=True)
        agent.wait_for_stderr(SENSOR_FAILURE * 2, PAUSE_S + 5)
        agent.interrupt_and_wait(self)
        self.assertEqual(self.observer.messages(), [])
        self.assertEqual(agent.stdout(), NOTICE)
        self.assertEqual(agent.stderr(), SENSOR_FAILURE * 2)


if __name__ == "__main__":
    unittest.main()
