#!/usr/bin/python3
"""The measurement cycle: what reaches the broker, the console, the bus and the
serial port, and the pace."""

import time
import unittest

from harness import (ACK_SETTLE_S, AGENT_SESSION, FRAME_A, FRAME_MAX, FRAME_MIN, NOTICE, PAUSE_S,
                     PAYLOAD_A, PAYLOAD_MAX, PAYLOAD_MIN, SHUTDOWN_BOUND_S, AgentTestCase,
                     bus_measurement, bus_setup, published)

TRIGGER = "write 0x38 ac"
MEASUREMENT_WAIT_S = 0.080  # the sensor converts in 75 ms


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

        # One session, as the broker saw its connect: the client id, protocol
        # 3.1.1, a clean session, keep-alive 20 s, the token as user name.
        self.assertSessions([AGENT_SESSION])
        self.assertNotIn("refused", self.broker.log())

        self.assertStartAndEndInOrder(agent)

        # The serial port: 115200 8N1, no flow control, released at the end;
        # nothing sent but the XOFF byte MRAA sends when flow control is set.
        serial = agent.serial()
        self.assertEqual({k: serial[k] for k in ("opened", "closed", "speed", "input_speed",
                                                 "data_bits", "parity", "stop_bits", "rtscts",
                                                 "xonxoff", "sent_hex")},
                         {"opened": True, "closed": True, "speed": 115200,
                          "input_speed": 115200, "data_bits": 8, "parity": "none",
                          "stop_bits": 1, "rtscts": False, "xonxoff": False, "sent_hex": "13"})

    def assertStartAndEndInOrder(self, agent):
        """From the simulator's event log: the broker first, then the bus, then
        the serial port; each read a conversion time after its trigger; at the
        interrupt the bus released, then the serial port."""
        events = agent.events()

        def first(subject, what):
            return next(e.time for e in events if e.subject == subject and e.what == what)

        connect = next(e.time for e in events if e.subject == "net")
        self.assertLess(connect, first("i2c", "open /dev/i2c-0"))
        self.assertLess(first("i2c", "write 0x38 e1"), first("uart", "open"))
        self.assertLess(max(e.time for e in events if e.what.startswith("tcsetattr")),
                        first("i2c", TRIGGER))
        bus = [e for e in events if e.subject == "i2c"]
        waits = [after.time - before.time for before, after in zip(bus, bus[1:])
                 if before.what == TRIGGER]
        self.assertEqual(len(waits), 3)
        self.assertTrue(all(w >= MEASUREMENT_WAIT_S for w in waits), waits)
        self.assertEqual([(e.subject, e.what) for e in events[-2:]],
                         [("i2c", "close"), ("uart", "close")])
        for e in events[-2:]:
            self.assertLess(e.time - agent.interrupted, SHUTDOWN_BOUND_S)
            self.assertGreater(e.time, agent.interrupted)

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
