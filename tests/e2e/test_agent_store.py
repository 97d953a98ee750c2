#!/usr/bin/python3
"""The reading store (a build with AGENT_STORE_SIZE > 0, small here): readings
whose publication failed reach the broker later with their measurement times,
exactly once (or, after a lost acknowledgement, again with the same ts and
text), oldest first, in messages below the size limit and a few per cycle;
a full store drops the oldest and counts them; an untrusted clock stamps
nothing; an orderly stop saves the store and the next start goes on with it;
a damaged or foreign file is set aside."""

import datetime
import os
import re
import shutil
import socket
import stat
import threading
import time
import unittest

from harness import (ACK_SETTLE_S, BROKER_BACK, LOST, NO_ACK, NO_SENSOR, NOTICE, REFUSED,
                     SENSOR_BACK, SLOWDOWN, AgentTestCase, publish_failure, published)

STORE_SIZE = int(os.environ.get("E2E_STORE_SIZE", "0"))
MESSAGE_BYTES = int(os.environ.get("E2E_STORE_MESSAGE_BYTES", "0"))
CLOCK_FLAG = os.environ.get("E2E_STORE_CLOCK_FLAG", "")
# An agent of another identity (client id), built with the same store.
OTHER_ID_AGENT = os.environ.get("OTHER_ID_AGENT")
SCALE = 0.1  # the 7 s pause lasts 0.7 s
TS_BOUND_MS = 50  # a reading's ts from when the sensor answered
MESSAGES_PER_CYCLE = 4
TOPIC = "v1/devices/me/telemetry"
DISCONNECTED = -3
TIMED_OUT = -1
WAITS_S = 11.0

ELEMENT = re.compile(rb'\{"ts": (\d+), "values": (\{"Humidity": -?\d+\.\d\d, '
                     rb'"Temperature": -?\d+\.\d\d\})\}')
READ = re.compile(r"^read 0x38 reg 00 -> [0-9a-f ]+$")


def readings(count, start=0):
    """Script lines and their payloads, each reading its own."""
    lines, payloads = [], []
    for i in range(start, start + count):
        humidity, temperature = 10.0 + i, -10.0 + i * 0.5
        lines.append(f"{humidity} {temperature}")
        payloads.append(b'{"Humidity": %.2f, "Temperature": %.2f}' % (humidity, temperature))
    return lines, payloads


def iso(ms):
    when = datetime.datetime.fromtimestamp(ms // 1000, datetime.timezone.utc)
    return when.strftime("%Y-%m-%dT%H:%M:%S") + ".%03dZ" % (ms % 1000)


def stored_lines(elements):
    """The agent's line for an acknowledged message of these readings."""
    n = len(elements)
    return (b"Published %d stored reading%s - Topic: %s, measured %s to %s\r\n" % (
        n, b"" if n == 1 else b"s", TOPIC.encode(), iso(elements[0][0]).encode(),
        iso(elements[-1][0]).encode()))


def delivered(dropped):
    return (b"Recovered: every stored reading is delivered; %d dropped since the store was "
            b"last empty\n" % dropped)


STORE_FULL = (b"Store full (%d readings): the oldest is dropped for each new one\n" % STORE_SIZE)


@unittest.skipUnless(STORE_SIZE and CLOCK_FLAG, "an agent built with a reading store")
class StoreTestCase(AgentTestCase):
    def setUp(self):
        super().setUp()
        # This machine's wall clock at a CLOCK_MONOTONIC time of the event log.
        self.wall = time.time() - time.monotonic()
        os.makedirs(os.path.dirname(CLOCK_FLAG), exist_ok=True)
        self.set_clock(trusted=True)
        self.addCleanup(self.set_clock, True)

    def set_clock(self, trusted):
        """The flag that says the clock is synchronised, as timesyncd keeps it."""
        if trusted:
            open(CLOCK_FLAG, "w").close()
        elif os.path.exists(CLOCK_FLAG):
            os.unlink(CLOCK_FLAG)

    def state(self, name="state"):
        path = os.path.join(self.dir, name)
        os.makedirs(path, exist_ok=True)
        return path

    def start_store_agent(self, script, state, options=(), env=None, scale=SCALE, **more):
        return self.start_agent(script=script, sim_options=["--sleep-scale", str(scale), *options],
                                env={"STATE_DIRECTORY": state, **(env or {})}, **more)

    def answered_ms(self, agent):
        """When the sensor answered each measurement, in wall-clock ms."""
        return [(e.time + self.wall) * 1000 for e in agent.events()
                if e.subject == "i2c" and READ.match(e.what)]

    def wait_for_pauses(self, agent, count):
        """Until the agent began its count-th pause: its cycle's outcome is known."""
        self.wait_for_count(lambda: [e.subject for e in agent.events()], "pause", count,
                            10 * SLOWDOWN)

    def wait_for_count(self, read, data, count, timeout):
        deadline = time.monotonic() + timeout
        while read().count(data) < count:
            self.assertLess(time.monotonic(), deadline,
                            f"{data!r} never seen {count} times in {read()[-2000:]!r}")
            time.sleep(0.02)

    def elements(self, message):
        """A message of stored readings: exactly the timestamped form, under the limit."""
        self.assertLessEqual(len(message.payload), MESSAGE_BYTES)
        found = [(int(ts), values) for ts, values in ELEMENT.findall(message.payload)]
        self.assertEqual(b"[" + b", ".join(b'{"ts": %d, "values": %s}' % e for e in found) + b"]",
                         message.payload)
        self.assertEqual((message.qos, message.retain), (1, False))
        return found

    def assertStampedAt(self, elements, payloads, answered):
        """Each reading's ts is when the sensor answered it (the answers and the
        payloads of one run, in order)."""
        for ts, values in elements:
            when = answered[payloads.index(values)]
            self.assertLess(abs(ts - when), TS_BOUND_MS, "%s: ts %d, answered %.0f (%+.0f ms)" % (
                values, ts, when, ts - when))

    def assertEndsWith(self, data, tail):
        self.assertEqual(data[-len(tail):], tail, data)

    def assertStartsWith(self, data, head):
        self.assertEqual(data[:len(head)], head, data)

    def notifications(self):
        """The service manager's end of NOTIFY_SOCKET: its path, and the list
        that a thread fills with the notifications as they come."""
        path = os.path.join(self.dir, "notify")
        manager = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        manager.bind(path)
        notes = []

        def receive():
            try:
                while True:
                    notes.append(manager.recv(4096).decode())
            except OSError:
                pass
        thread = threading.Thread(target=receive, daemon=True)
        thread.start()
        self.addCleanup(thread.join, 5)
        self.addCleanup(manager.shutdown, socket.SHUT_RDWR)
        return path, notes


class Outage(StoreTestCase):
    def test_outage_longer_than_the_store_then_the_backlog_delivered(self):
        # The broker away for more cycles than the store holds: the oldest go
        # (counted), the rest arrive once each, oldest first, in messages as
        # full as the limit allows, four a cycle after the cycle's own reading,
        # each stamped with its sensor's answer.
        outage = STORE_SIZE + 4
        script, payloads = readings(outage + 12)
        notify, notes = self.notifications()
        state = self.state()
        self.start_broker()
        agent = self.start_store_agent(script, state, env={"NOTIFY_SOCKET": notify})
        before, _ = self.wait_for_messages(2, 10 * SLOWDOWN)
        self.wait_for_pauses(agent, 2)
        self.stop_broker()
        self.wait_for_count(agent.stderr, b"Failed to publish file data", outage, 60 * SLOWDOWN)
        self.start_broker()
        backlog = -(-STORE_SIZE // (MESSAGE_BYTES // 80))  # messages, about 80 bytes a reading
        self.wait_for_messages(backlog + 3, 20 * SLOWDOWN)
        time.sleep(ACK_SETTLE_S * SCALE + 0.2)
        agent.interrupt_and_wait(self)
        answered = self.answered_ms(agent)
        after = self.observer.messages()
        # The broker came back after at least `outage` failed cycles.
        failed = agent.stderr().count(b"Failed to publish file data")
        dropped = failed - STORE_SIZE

        # Before and after: each cycle's own reading in its plain form (no ts).
        self.assertTelemetry(before, payloads[:2])
        made = len(answered)
        plain = [m.payload for m in after if not m.payload.startswith(b"[")]
        self.assertEqual(plain, payloads[2 + failed:made])
        # The backlog: the outage's newest STORE_SIZE readings, once, in order.
        messages = [m for m in after if m.payload.startswith(b"[")]
        arrays = [self.elements(m) for m in messages]
        stored = [e for elements in arrays for e in elements]
        self.assertEqual([values for _, values in stored], payloads[2 + dropped:2 + failed])
        self.assertEqual([ts for ts, _ in stored], sorted(ts for ts, _ in stored))
        self.assertStampedAt(stored, payloads, answered)
        # As full as the limit allows: one more reading would not fit.
        self.assertEqual(len(arrays), backlog)
        for elements, message in zip(arrays[:-1], messages):
            self.assertGreater(len(message.payload) + 2 + len(message.payload) // len(elements),
                               MESSAGE_BYTES)
        # Four a cycle, after the cycle's own reading.
        kinds = "".join("a" if m.payload.startswith(b"[") else "p" for m in after)
        self.assertTrue(kinds.startswith("p" + "a" * MESSAGES_PER_CYCLE + "p"), kinds)

        # The console: the two progress lines of each cycle's reading, one
        # line per message of stored readings, the drop said once when it
        # began and counted when the backlog was delivered.
        expected = b"".join(published(p) for p in payloads[:2])
        for m in after:
            expected += stored_lines(self.elements(m)) if m.payload.startswith(b"[") else \
                published(m.payload)
        self.assertEqual(agent.stdout(), expected + NOTICE)
        failure = publish_failure(DISCONNECTED)
        self.assertEqual(agent.stderr(),
                         failure + LOST + failure + REFUSED + failure * (STORE_SIZE - 1) +
                         STORE_FULL + failure * (dropped - 1) + BROKER_BACK + delivered(dropped))
        # Nothing was left to save: no file.
        self.assertEqual(os.listdir(state), [])

        # The service's status counts what waits and what was dropped.
        status = [n.split("STATUS=", 1)[1] for n in notes if "STATUS=" in n]
        failing = [t for t in status if t.startswith("Publications failing for ")]
        self.assertTrue(failing[-1].endswith(f"; {STORE_SIZE} readings stored, {dropped} dropped"),
                        failing)
        self.assertRegex(status[-1], r"^Delivered at \d\d:\d\d:\d\d UTC: \{[^;]*\}$")


class LostAcknowledgement(StoreTestCase):
    proxy = True

    def test_untrusted_clock_then_a_lost_acknowledgement(self):
        # The board's clock a month off and not synchronised while the broker
        # is away: the readings wait unstamped. Synchronised, they are stamped
        # from their monotonic times. The first message of them, in a cycle
        # without a reading of its own, loses its acknowledgement: it stays,
        # and goes again, byte for byte. A connect that hangs is then cut by
        # SIGINT: the handler saves the store.
        script, payloads = readings(12)
        script[5] = "absent"
        clock = os.path.join(self.dir, "clock-offset")
        with open(clock, "w") as f:
            f.write("-2592000\n")
        self.set_clock(trusted=False)
        state = self.state()
        self.start_broker()
        agent = self.start_store_agent(script, state, options=["--clock-offset-file", clock],
                                       scale=0.3)
        self.wait_for_messages(1, 10 * SLOWDOWN)
        time.sleep(ACK_SETTLE_S)
        self.fault_proxy.refuse_new(True)
        self.fault_proxy.close_all()
        self.wait_for_count(agent.stderr, b"Failed to publish file data", 3, 20 * SLOWDOWN)
        self.fault_proxy.refuse_new(False)
        waiting = b"Stored readings wait for the clock: 3 measured before it was synchronised " \
                  b"(no %s yet)\n" % CLOCK_FLAG.encode()
        agent.wait_for_stderr(waiting, 20 * SLOWDOWN)
        # NTP sets the clock, then timesyncd makes its flag; acknowledgements lost.
        with open(clock, "w") as f:
            f.write("0\n")
        self.set_clock(trusted=True)
        self.fault_proxy.drop_downstream()
        agent.wait_for_stderr(b"Return code: %d\n" % TIMED_OUT, WAITS_S + 10 * SLOWDOWN)
        self.fault_proxy.pass_through()
        self.wait_for_count(lambda: [m.payload[:1] for m in self.observer.messages()], b"[", 2,
                            20 * SLOWDOWN)
        time.sleep(ACK_SETTLE_S)

        # A session lost, and a connect that never ends, stopped by SIGINT:
        # the handler keeps the reading it was publishing too, and saves.
        self.fault_proxy.black_hole(True)
        self.fault_proxy.close_all()
        self.wait_for_count(agent.stderr, b"Failed to publish file data", 4, 20 * SLOWDOWN)
        self.wait_for_count(lambda: [bool(READ.match(e.what)) for e in agent.events()], True, 8,
                            20 * SLOWDOWN)  # the next cycle's reading, then its connect
        time.sleep(0.5)
        agent.interrupt_and_wait(self)
        answered = self.answered_ms(agent)
        payloads.pop(5)  # the sensor's absence made no reading

        messages = self.observer.messages()
        arrays = [m for m in messages if m.payload.startswith(b"[")]
        self.assertEqual(len(arrays), 2, messages)
        # The same message twice, byte for byte: the same ts, the same text.
        self.assertEqual(arrays[0].payload, arrays[1].payload)
        elements = self.elements(arrays[0])
        self.assertEqual([v for _, v in elements], payloads[1:4])
        # Stamped from the monotonic times: at the sensor's answers, not a
        # month before, as the clock then said.
        self.assertStampedAt(elements, payloads, answered)
        self.assertEqual([m.payload for m in messages if not m.payload.startswith(b"[")],
                         [payloads[0], payloads[4], payloads[5]])

        failed = b"Failed to publish 3 stored readings measured %s to %s. Return code: %d\n" % (
            iso(elements[0][0]).encode(), iso(elements[-1][0]).encode(), TIMED_OUT)
        stderr = agent.stderr()
        self.assertIn(waiting + b"Failed to read sensor data\n" + NO_SENSOR + failed + NO_ACK,
                      stderr)
        self.assertTrue(stderr.endswith(delivered(0) + publish_failure(DISCONNECTED) + LOST),
                        stderr)
        self.assertIn(BROKER_BACK + SENSOR_BACK, stderr)
        self.assertEqual(stderr.count(b"stored reading"), 2)
        # The handler's save after the notice: the reading of the lost session
        # and the one whose connect was cut short.
        saved = b"Saved 2 stored readings to %s\r\n" % os.path.join(state, "readings").encode()
        self.assertEndsWith(agent.stdout(), stored_lines(elements) + NOTICE + saved)
        self.assertEqual(os.listdir(state), ["readings"])

        # The next start reads it back and delivers it.
        self.fault_proxy.pass_through()
        again = self.start_store_agent(readings(1, 20)[0], state)
        self.wait_for_count(lambda: [m.payload[:1] for m in self.observer.messages()], b"[", 3,
                            10 * SLOWDOWN)
        last = self.elements(self.observer.messages()[-1])
        self.assertEqual([v for _, v in last], payloads[6:8])
        self.assertStampedAt(last, payloads, answered)
        time.sleep(ACK_SETTLE_S)
        again.interrupt_and_wait(self)
        self.assertStartsWith(again.stdout(),
            b"Restored 2 stored readings from %s\r\n" % os.path.join(state, "readings").encode())


class StopAndStart(StoreTestCase):
    def test_saved_at_the_stop_and_read_back_at_the_start(self):
        # Readings stamped (clock trusted) and unstamped (not) at an orderly
        # stop: saved once; read back by the next start on the same boot (the
        # stamped delivered, the others saved again, by a rename, and
        # delivered once the clock is trusted, stamped right), on another boot
        # (the unstamped dropped and counted), damaged (set aside), of another
        # device (set aside).
        script, payloads = readings(6)
        state = self.state()
        self.start_broker()
        agent = self.start_store_agent(script, state)
        self.wait_for_messages(1, 10 * SLOWDOWN)
        self.wait_for_pauses(agent, 1)
        self.stop_broker()
        self.wait_for_count(agent.stderr, b"Failed to publish file data", 2, 20 * SLOWDOWN)
        self.set_clock(trusted=False)
        self.wait_for_count(agent.stderr, b"Failed to publish file data", 4, 20 * SLOWDOWN)
        agent.interrupt_and_wait(self)
        answered = self.answered_ms(agent)
        path = os.path.join(state, "readings")
        kept = len(answered) - 1
        self.assertEndsWith(agent.stdout(),
            NOTICE + b"Saved %d stored readings to %s\r\n" % (kept, path.encode()))
        mode = os.stat(path).st_mode
        self.assertEqual(stat.S_IMODE(mode), 0o600)
        self.assertEqual(sorted(os.listdir(state)), ["readings"])  # no temporary file left
        copies = {}
        for name in ("other-boot", "damaged", "foreign"):
            copies[name] = self.state(name)
            shutil.copy(path, copies[name])
        with open(os.path.join(copies["damaged"], "readings"), "r+b") as f:
            f.seek(-5, os.SEEK_END)
            byte = f.read(1)
            f.seek(-5, os.SEEK_END)
            f.write(bytes([byte[0] ^ 0x10]))

        # The same boot, the clock still not trusted: the stamped readings go,
        # the others wait, and the stop saves them in a new file: the old one
        # is replaced whole (renamed over), never rewritten in place.
        self.start_broker()
        before = path + ".before"
        os.link(path, before)
        with open(path, "rb") as f:
            first_save = f.read()
        waiting = self.start_store_agent(readings(1, 30)[0], state)
        self.stop_after_backlog(waiting, 2)
        elements = [e for m in self.observer.messages() if m.payload.startswith(b"[")
                    for e in self.elements(m)]
        self.assertEqual([v for _, v in elements], payloads[1:3])
        self.assertStampedAt(elements, payloads, answered)
        self.assertEqual(waiting.stderr(), b"Stored readings wait for the clock: %d measured before "
                         b"it was synchronised (no %s yet)\n" % (kept - 2, CLOCK_FLAG.encode()))
        self.assertEndsWith(waiting.stdout(),
            NOTICE + b"Saved %d stored readings to %s\r\n" % (kept - 2, path.encode()))
        with open(before, "rb") as f:
            self.assertEqual(f.read(), first_save)
        self.assertNotEqual(os.stat(path).st_ino, os.stat(before).st_ino)
        os.unlink(before)

        # Trusted now: the rest, stamped from the monotonic times of their
        # boot, delivered; nothing left, no file.
        self.set_clock(trusted=True)
        self.stop_broker()
        self.start_broker()
        same = self.start_store_agent(readings(1, 35)[0], state)
        self.stop_after_backlog(same, kept - 2)
        elements = [e for m in self.observer.messages() if m.payload.startswith(b"[")
                    for e in self.elements(m)]
        self.assertEqual([v for _, v in elements], payloads[3:1 + kept])
        self.assertStampedAt(elements, payloads, answered)
        self.assertStartsWith(same.stdout(),
            b"Restored %d stored readings from %s\r\n" % (kept - 2, path.encode()))
        self.assertEqual(same.stderr(), delivered(0))
        self.assertEqual(os.listdir(state), [])

        self.stop_broker()
        self.start_broker()
        other = self.start_store_agent(readings(1, 40)[0], copies["other-boot"],
                                       options=["--boot-id", "0123abcd-0000-4000-8000-00000000beef"])
        self.stop_after_backlog(other, 2)
        elements = [e for m in self.observer.messages() if m.payload.startswith(b"[")
                    for e in self.elements(m)]
        self.assertEqual([v for _, v in elements], payloads[1:3])
        unstamped = kept - 2
        self.assertEqual(other.stderr(),
                         b"Dropped %d stored readings of an earlier boot: measured before the clock "
                         b"was synchronised, their times are unknown now\n" % unstamped +
                         delivered(unstamped))

        for name, binary, why in (
                ("damaged", None, b"is damaged: its checksum does not match"),
                ("foreign", OTHER_ID_AGENT,
                 b"holds the readings of another device (another broker or client id)")):
            folder = copies[name]
            received = len(self.observer.messages())
            refused = self.start_store_agent(readings(1, 50)[0], folder,
                                             **({"binary": binary} if binary else {}))
            self.wait_for_messages(received + 1, 10 * SLOWDOWN)
            time.sleep(ACK_SETTLE_S * SCALE + 0.2)
            refused.interrupt_and_wait(self)
            file = os.path.join(folder, "readings").encode()
            self.assertEqual(refused.stderr(), b"Failed to restore the stored readings\nReason: the "
                             b"state file %s %s: set aside as %s.refused\n" % (file, why, file))
            self.assertEqual(os.listdir(folder), ["readings.refused"])

    def stop_after_backlog(self, agent, count):
        """Waits until count stored readings arrived, then stops the agent."""
        self.wait_for_count(lambda: b"".join(m.payload for m in self.observer.messages()),
                            b'"ts": ', count, 10 * SLOWDOWN)
        time.sleep(ACK_SETTLE_S * SCALE + 0.2)
        agent.interrupt_and_wait(self)


if __name__ == "__main__":
    unittest.main()
