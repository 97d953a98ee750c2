#!/usr/bin/python3
"""The measurement cycle: what reaches the broker, the console, the bus and the
serial port, and the pace."""

import time
import unittest

from harness import (ACK_SETTLE_S, FRAME_A, FRAME_MAX, FRAME_MIN, NOTICE, PAUSE_S, PAYLOAD_A, PAYLOAD_MAX,
                     PAYLOAD_MIN, AgentTestCase, bus_measurement, bus_setup, published)


class Cycle(AgentTestCase):
    def test_three_cycles(self):
        # The simulated sensor keeps the datasheet's 75 ms conversion time:
        # every cycle publishes its own measurement, the first one included
        # (an agent that reads too soon publishes zeros, then each reading a
        # cycle late, and the transcript marks its reads "(busy)").
        self.start_broker()
        agent = self.start_agent(script=[FRAME_A, FRAME_MIN, FRAME_MAX])
        _, first = self.wait_for_messages(1, 10)
        _, second = self.wait_for_messages(2, PAUSE_S + 5)
        messages, third = self.wait_for_messages(3, PAUSE_S + 5)
        time.sleep(ACK_SETTLE_S)
        agent.interrupt_and_wait(self)

        # On the broker: the exact payload bytes, QoS 1, not retained.
        self.assertTelemetry(messages, [PAYLOAD_A, PAYLOAD_MIN, PAYLOAD_MAX])
        self.assertEqual(self.observer.messages(), messages)

        # A prompt acknowledgement: the period is the pause and little more.
        self.assertAbout(second - first, PAUSE_S)
        self.assertAbout(third - second, PAUSE_S)

        self.assertEqual(agent.stdout(), published(PAYLOAD_A) + published(PAYLOAD_MIN) +
                         published(PAYLOAD_MAX) + NOTICE)
        self.assertEqual(agent.stderr(), b"")

        # The sensor initialised once, then one trigger and one read per cycle.
        self.assertEqual(agent.transcript(),
                         bus_setup() + bus_measurement("1c 73 33 33 94 7b") +
                         bus_measurement("00 00 00 00 00 00") +
                         bus_measurement("ff ff ff ff ff ff") + "close\n")

        # The serial port: 115200 8N1, no flow control, released at the end;
        # nothing sent but the XOFF byte MRAA sends when flow control is set.
        serial = agent.serial()
        self.assertEqual({k: serial[k] for k in ("opened", "closed", "speed", "input_speed",
                                                 "data_bits", "parity", "stop_bits", "rtscts",
                                                 "xonxoff", "sent_hex")},
                         {"opened": True, "closed": True, "speed": 115200,
                          "input_speed": 115200, "data_bits": 8, "parity": "none",
                          "stop_bits": 1, "rtscts": False, "xonxoff": False, "sent_hex": "13"})

    def test_arguments_change_nothing(self):
        self.start_broker()
        agent = self.start_agent(script=[FRAME_A],
                                 args=["--help", "-h", "tcp://127.0.0.9:1", "--token=x", ""])
        messages, _ = self.wait_for_messages(1, 10)
        time.sleep(ACK_SETTLE_S)
        agent.interrupt_and_wait(self)
        self.assertTelemetry(messages, [PAYLOAD_A])
        self.assertEqual(agent.stdout(), published(PAYLOAD_A) + NOTICE)
        self.assertEqual(agent.stderr(), b"")


if __name__ == "__main__":
    unittest.main()
