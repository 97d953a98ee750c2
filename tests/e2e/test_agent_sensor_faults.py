#!/usr/bin/python3
"""Sensor faults: a cycle without a reading publishes nothing and says so on
stderr; the next good reading is published."""

import os
import re
import time
import unittest

from harness import (ACK_SETTLE_S, AGENT_SESSION, FRAME_A, FRAME_B, FRAME_MAX, FRAME_MIN,
                     NO_SENSOR, NOTICE, PAUSE_S, PAYLOAD_A, PAYLOAD_B, PAYLOAD_MAX, PAYLOAD_MIN,
                     SENSOR_BACK, SENSOR_FAILURE, SLOWDOWN, AgentTestCase, bus_measurement,
                     bus_setup, published, reason)

# Past the broker's patience with a silent client: 1.5 times the agent's 20 s
# keep-alive.
OUTAGE_CYCLES = 5
NOT_TAKEN = reason("the sensor at 0x38 did not take the measurement command")


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
        # Refused or gone, the sensor does not answer: one reason for both.
        self.assertEqual(agent.stderr(), SENSOR_FAILURE + NO_SENSOR + SENSOR_FAILURE + SENSOR_BACK)
        self.assertEqual(agent.transcript(),
                         bus_setup() + bus_measurement("1c 73 33 33 94 7b") +
                         "write 0x38 ac -> nack\nread 0x38 reg 00 -> nack\n"
                         "write 0x38 ac -> absent\nread 0x38 reg 00 -> absent\n" +
                         bus_measurement("18 80 00 06 66 66") + "close\n")

    def test_one_transfer_of_a_cycle_fails_while_the_others_succeed(self):
        # The trigger refused or unanswered while the read after it succeeds:
        # the read gives the measurement before, which must not go out again.
        # The trigger taken but the read failing: nothing to publish either.
        # Then the sensor is gone, so that nothing more is published.
        self.start_broker()
        script = [FRAME_A, "nack trigger", FRAME_B, "absent read", FRAME_MIN, "absent trigger",
                  FRAME_MAX, "nack read", FRAME_A, "absent"]
        agent = self.start_agent(script=script, sim_options=["--sleep-scale", "0.05"])
        failures = (SENSOR_FAILURE + NOT_TAKEN + SENSOR_BACK + SENSOR_FAILURE + NO_SENSOR +
                    SENSOR_BACK) * 2 + SENSOR_FAILURE + NO_SENSOR
        agent.wait_for_stderr(failures, 20 * SLOWDOWN)
        agent.interrupt_and_wait(self)

        payloads = [PAYLOAD_A, PAYLOAD_B, PAYLOAD_MIN, PAYLOAD_MAX, PAYLOAD_A]
        self.assertTelemetry(self.observer.messages(), payloads)
        self.assertEqual(agent.stdout(), b"".join(published(p) for p in payloads) + NOTICE)
        self.assertRegex(agent.stderr(), b"^" + re.escape(failures) +
                         b"(" + re.escape(SENSOR_FAILURE) + b")*$")
        self.assertTrue(agent.transcript().startswith(
            bus_setup() + bus_measurement("1c 73 33 33 94 7b") +
            "write 0x38 ac -> nack\nread 0x38 reg 00 -> 1c 73 33 33 94 7b\n" +
            bus_measurement("18 80 00 06 66 66") +
            "write 0x38 ac\nread 0x38 reg 00 -> absent\n" +
            bus_measurement("00 00 00 00 00 00") +
            "write 0x38 ac -> absent\nread 0x38 reg 00 -> 00 00 00 00 00 00\n" +
            bus_measurement("ff ff ff ff ff ff") +
            "write 0x38 ac\nread 0x38 reg 00 -> nack\n" +
            bus_measurement("1c 73 33 33 94 7b") + "write 0x38 ac -> absent\n"),
            agent.transcript())

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
        self.assertEqual(agent.stderr(), SENSOR_FAILURE + NO_SENSOR +
                         SENSOR_FAILURE * (OUTAGE_CYCLES - 1) + SENSOR_BACK)
        self.assertSessions([AGENT_SESSION])
        self.assertNotIn("exceeded timeout", self.broker.log())

    def test_no_device_or_no_bus_publishes_nothing(self):
        # No device at 0x38; or no bus 0 at all: MRAA without its platform
        # file (emptied by the shell that starts the agent).
        self.start_broker()
        no_bus = reason('I2C bus 0 is not open: MRAA (platform "Unknown platform") knows no I2C '
                        'bus; it needs the board\'s platform file, named by MRAA_JSON_PLATFORM')
        for case, why in (("no device", NO_SENSOR), ("no bus", no_bus)):
            with self.subTest(case=case):
                state = os.path.join(self.dir, "board%d" % len(self.agents))
                options = ["--shell", f": > {state}/platform.json; exec \"$@\""]
                agent = self.start_agent(no_device=True, sim_options=[] if why is NO_SENSOR
                                         else options)
                agent.wait_for_stderr(SENSOR_FAILURE + why + SENSOR_FAILURE, 2 * PAUSE_S + 5)
                agent.interrupt_and_wait(self)
                self.assertEqual(self.observer.messages(), [])
                self.assertEqual(agent.stdout(), NOTICE)
                self.assertEqual(agent.stderr(), SENSOR_FAILURE + why + SENSOR_FAILURE)


if __name__ == "__main__":
    unittest.main()
