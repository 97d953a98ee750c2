#!/usr/bin/python3
"""Shutdown: SIGINT ends the agent in order within a second in every phase;
SIGTERM keeps its default action."""

import os
import signal
import socket
import sys
import time
import unittest

from harness import (ACK_SETTLE_S, FRAME_A, FRAME_B, FRAME_MIN, LOST, NO_SENSOR, NOTICE, PAUSE_S,
                     PAYLOAD_A, PAYLOAD_B, PEER, SENSOR_FAILURE, SHUTDOWN_BOUND_S, SLOWDOWN,
                     AgentTestCase, bus_measurement, bus_setup, publish_failure, published, reason)

# Pauses of 3.5 s: longer than the bound, so that a stop that waits out the
# pause fails it, and long enough for the broker to go within one.
MOMENT_SLEEP_SCALE = "0.5"


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


class InterruptInEveryPhase(AgentTestCase):
    """SIGINT in each phase of a cycle: the notice and exit 0 within the bound.
    After it nothing more reaches the broker, no line claims or reports the
    interrupted publication, and the bus sees nothing but its release (and,
    in the conversion wait, the read that ends it). The pause is Interrupt's."""

    proxy = True

    def assertNothingAfterTheInterrupt(self, agent, reads_allowed=0):
        """Of the bus and the serial port, only their release (and the read
        that ends an interrupted conversion) after SIGINT."""
        after = [(e.subject, e.what) for e in agent.events() if e.time > agent.interrupted
                 and e.subject in ("i2c", "uart")]
        reads = [w for s, w in after if w.startswith("read ")]
        self.assertLessEqual(len(reads), reads_allowed, after)
        self.assertEqual([a for a in after if not a[1].startswith("read ")],
                         [("i2c", "close"), ("uart", "close")])

    def test_in_the_conversion_wait(self):
        # Short pauses; the agent is stopped (SIGSTOP) as soon as the event log
        # shows a trigger, and interrupted there if no read has followed yet:
        # inside the sensor's 80 ms.
        self.start_broker()
        agent = self.start_agent(sim_options=["--sleep-scale", "0.02"])
        self.wait_for_messages(1, 10 * SLOWDOWN)
        deadline = time.monotonic() + 60 * SLOWDOWN
        while True:
            self.assertLess(time.monotonic(), deadline, "never stopped inside a conversion")
            triggers = agent.transcript().count("write 0x38 ac")
            while agent.transcript().count("write 0x38 ac") == triggers:
                time.sleep(0.001)
            agent.signal(signal.SIGSTOP)
            agent.wait_until_stopped()
            if agent.transcript().endswith("write 0x38 ac\n"):
                break
            agent.signal(signal.SIGCONT)
        reads = agent.transcript().count("read 0x38")
        agent.interrupted = agent.signal(signal.SIGINT)
        agent.signal(signal.SIGCONT)
        self.assertEqual(agent.wait(10 * SLOWDOWN), 0)
        self.assertLess(time.monotonic() - agent.interrupted, SHUTDOWN_BOUND_S)

        # Every reading taken before the interrupt was delivered and claimed,
        # the interrupted one neither.
        time.sleep(ACK_SETTLE_S)
        messages = self.observer.messages()
        self.assertEqual(len(messages), reads)
        self.assertEqual(agent.stdout(), b"".join(published(m.payload) for m in messages) + NOTICE)
        self.assertEqual(agent.stderr(), b"")
        self.assertNothingAfterTheInterrupt(agent, reads_allowed=1)

    def test_in_each_completion_wait(self):
        # The acknowledgements come late (3 s) from the second message on:
        # SIGINT 0.3 s after the broker got it falls in the first wait (1 s),
        # 2 s after in the second (10 s more). The agent neither waits for the
        # acknowledgement nor prints a line about the publication.
        self.start_broker()
        for wait, after_s in (("first", 0.3), ("second", 2.0)):
            with self.subTest(wait=wait):
                self.fault_proxy.pass_through()
                seen = len(self.observer.messages())
                agent = self.start_agent(script=[FRAME_A, FRAME_B])
                self.wait_for_messages(seen + 1, 10 * SLOWDOWN)
                time.sleep(ACK_SETTLE_S)
                self.fault_proxy.delay_downstream(3)
                self.wait_for_messages(seen + 2, PAUSE_S + 5)
                time.sleep(after_s)
                agent.interrupt_and_wait(self)
                time.sleep(ACK_SETTLE_S)
                self.assertTelemetry(self.observer.messages()[seen:], [PAYLOAD_A, PAYLOAD_B])
                self.assertEqual(agent.stdout(), published(PAYLOAD_A) + NOTICE)
                self.assertEqual(agent.stderr(), b"")
                self.assertNothingAfterTheInterrupt(agent)

    def test_in_the_reconnect_of_a_publication(self):
        # The session is cut; the next cycle's publication fails, the one
        # after connects again, to a broker that never answers (its connect
        # times out), and so does the next, which SIGINT interrupts.
        # Everything printed before is out, the interrupted connect prints
        # nothing.
        self.start_broker()
        agent = self.start_agent(script=[FRAME_A, FRAME_B, FRAME_MIN])
        self.wait_for_messages(1, 10 * SLOWDOWN)
        time.sleep(ACK_SETTLE_S)
        self.fault_proxy.black_hole()
        self.fault_proxy.close_all()
        timed_out = reason(f"no answer from the broker at {PEER} within the 30 s connect timeout")
        agent.wait_for_stderr(timed_out, 2 * PAUSE_S + 35)
        self.assertTrue(self.fault_proxy.wait_for_accepted(3, PAUSE_S + 5))
        time.sleep(1)
        agent.interrupt_and_wait(self)
        self.assertTelemetry(self.observer.messages(), [PAYLOAD_A])
        self.assertEqual(agent.stdout(), published(PAYLOAD_A) + NOTICE)
        self.assertEqual(agent.stderr(), publish_failure(-3) + LOST + publish_failure(-3) + timed_out)
        # The process ended from the handler: the kernel released the bus.
        self.assertEqual([e for e in agent.events() if e.time > agent.interrupted
                          and e.subject in ("i2c", "uart")], [])

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


class InterruptAtEveryMoment(AgentTestCase):
    """The simulator delivers SIGINT at a chosen moment of the run: as a bus
    transfer or a connect returns, or just before a pause begins (after the
    agent's last look at the interrupt). Every such stop ends the agent
    within the bound, with the notice and exit 0, the lines of what came
    before and no other, and under systemd STOPPING=1 last."""

    # (phase, event, its occurrence, script, the broker goes after the first
    # message, stdout, stderr)
    MOMENTS = (
        ("start-up connect", "net connect", 1, [FRAME_A], False, NOTICE, b""),
        ("bus set-up", "i2c open", 1, [FRAME_A], False, NOTICE, b""),
        ("serial port set-up", "uart open", 1, [FRAME_A], False, NOTICE, b""),
        ("conversion wait", "i2c write 0x38 ac", 1, [FRAME_A], False, NOTICE, b""),
        ("read, before the publication", "i2c read", 1, [FRAME_A], False, NOTICE, b""),
        ("pause", "pause", 1, [FRAME_A], False, published(PAYLOAD_A) + NOTICE, b""),
        ("pause after no reading", "pause", 2, [FRAME_A, "nack"], False,
         published(PAYLOAD_A) + NOTICE, SENSOR_FAILURE + NO_SENSOR),
        ("pause after a failed publication", "pause", 2, [FRAME_A], True,
         published(PAYLOAD_A) + NOTICE, publish_failure(-3) + LOST),
        ("reconnect", "net connect", 2, [FRAME_A], True,
         published(PAYLOAD_A) + NOTICE, publish_failure(-3) + LOST),
    )

    def test_at_each_moment(self):
        slowest = (0.0, None)
        for phase, event, nth, script, broker_goes, stdout, stderr in self.MOMENTS:
            with self.subTest(phase=phase):
                took = self.stop_at(event, nth, script, broker_goes, stdout, stderr)
                slowest = max(slowest, (took, phase))
        print(f"{len(self.MOMENTS)} stops; the slowest {slowest[0] * 1000:.0f} ms, in the "
              f"{slowest[1]}", file=sys.stderr)

    def stop_at(self, event, nth, script, broker_goes, stdout, stderr):
        self.start_broker()
        manager = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.addCleanup(manager.close)
        path = os.path.join(self.dir, "notify%d" % len(self.agents))
        manager.bind(path)
        agent = self.start_agent(script=script, env={"NOTIFY_SOCKET": path}, sim_options=[
            "--interrupt-at", event, "--interrupt-nth", str(nth), "--sleep-scale",
            MOMENT_SLEEP_SCALE])
        if broker_goes:
            # In the pause after the first publication's acknowledgement.
            self.wait_for_messages(1, 10 * SLOWDOWN)
            time.sleep(ACK_SETTLE_S)
            self.stop_broker()
        status = agent.wait(20 * SLOWDOWN)
        ended = time.monotonic()
        if not broker_goes:
            self.stop_broker()
        sent = [e.time for e in agent.events() if (e.subject, e.what) == ("signal", "SIGINT")]
        self.assertEqual(len(sent), 1, agent.events())
        took = ended - sent[0]
        self.assertEqual(status, 0)
        self.assertLess(took, SHUTDOWN_BOUND_S, "SIGINT to exit took %.2f s" % took)
        self.assertEqual(agent.stdout(), stdout)
        self.assertEqual(agent.stderr(), stderr)
        manager.setblocking(False)
        notes = []
        while True:
            try:
                notes.append(manager.recv(4096))
            except BlockingIOError:
                break
        self.assertEqual(notes[-1:], [b"STOPPING=1"])
        return took


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
