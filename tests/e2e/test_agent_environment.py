#!/usr/bin/python3
"""What the agent's surroundings must not break: a console that blocks or is
closed, a read-only working directory, a kill with a message in flight, and a
"localhost" that resolves to ::1."""

import fcntl
import os
import re
import signal
import struct
import tempfile
import termios
import time
import unittest

from harness import (ACK_SETTLE_S, AGENT_HOST, AGENT_SESSION, FRAME_A, FRAME_B, NO_SENSOR, NOTICE,
                     PAUSE_S, PAYLOAD_A, PAYLOAD_B, SENSOR_BACK, SENSOR_FAILURE, SLOWDOWN,
                     AgentTestCase, progress, published)

# Short pauses (the simulator scales the agent's sleep) for the scenarios
# that need many cycles: 7 s become 0.14 s.
FAST = ["--sleep-scale", "0.02"]
F_SETPIPE_SZ = 1031
PIPE_BYTES = 4096  # the smallest pipe: one page


def in_mount_namespace(setup, path):
    """A command prefix that runs its command in a mount namespace of its own
    after the shell commands setup, which name path as "$0"."""
    return ["unshare", "--mount", "--", "sh", "-c", setup + ' && exec "$@"', path]


def read_only_at(folder):
    """Runs the command in folder mounted read-only, as the service's
    ProtectSystem=strict does."""
    return in_mount_namespace('mount --bind -o ro "$0" "$0" && cd "$0"', folder)


def with_hosts_file(path):
    """Runs the command with path as /etc/hosts."""
    return in_mount_namespace('mount --bind "$0" /etc/hosts', path)


class Console(AgentTestCase):
    def test_blocked_console_stops_neither_telemetry_nor_the_interrupt(self):
        # Standard output and error into a pipe nobody reads: once the pipe is
        # full, lines are lost, never the agent's time.
        self.start_broker()
        read_end, write_end = os.pipe()
        self.addCleanup(os.close, read_end)
        fcntl.fcntl(write_end, F_SETPIPE_SZ, PIPE_BYTES)
        agent = self.start_agent(sim_options=FAST, console=write_end)
        os.close(write_end)

        deadline = time.monotonic() + 60 * SLOWDOWN
        while struct.unpack("i", fcntl.ioctl(read_end, termios.FIONREAD, b"\0" * 4))[0] < PIPE_BYTES:
            self.assertLess(time.monotonic(), deadline, "the console never filled")
            time.sleep(0.2)
        full = len(self.observer.messages())
        # The stdio buffer holds about 20 cycles of lines: well past its next
        # flush, the agent still publishes every cycle.
        messages = self.observer.wait_for(full + 40, 40 * SLOWDOWN)
        self.assertGreaterEqual(len(messages), full + 40)
        agent.interrupt_and_wait(self)
        self.assertSessions([AGENT_SESSION])

    def test_closed_standard_descriptors_are_kept_off_the_session(self):
        # Started without standard input, output and error, the agent holds
        # /dev/null there: its socket, bus and port get other descriptors, so
        # no console line can end up in the MQTT stream or on the serial port.
        self.start_broker()
        script = [FRAME_A, "nack", FRAME_B]
        agent = self.start_agent(script=script, sim_options=FAST, closed_fds=(0, 1, 2))
        self.observer.wait_for(2, 10 * SLOWDOWN)
        for fd in (0, 1, 2):
            self.assertEqual(os.readlink(f"/proc/{agent.pid}/fd/{fd}"), os.devnull)
        messages = self.observer.wait_for(8, 20 * SLOWDOWN)
        agent.interrupt_and_wait(self)
        self.assertEqual(len(messages), 8)
        self.assertEqual(agent.serial()["sent_hex"], "13")

        # stderr alone closed: each sensor failure writes a line at once.
        agent = self.start_agent(script=["nack", FRAME_A] * 10, sim_options=FAST,
                                 closed_fds=(2,))
        messages = self.observer.wait_for(8 + 8, 20 * SLOWDOWN)
        agent.interrupt_and_wait(self)
        self.assertEqual(len(messages), 8 + 8)
        self.assertTrue(agent.stdout().endswith(NOTICE))
        self.assertSessions([AGENT_SESSION] * 2)
        self.assertNotIn("protocol error", self.broker.log())


def journal_stream(path):
    """JOURNAL_STREAM as systemd sets it for a stream: device:inode."""
    st = os.stat(path)
    return "%d:%d" % (st.st_dev, st.st_ino)


class Journal(AgentTestCase):
    # What each kind of line is in the journal: failures err (3), their
    # reasons warning (4), the end of an outage notice (5), the rest info (6).
    PRIORITIES = ((b"Failed", 3), (b"Reason: ", 4), (b"Recovered: ", 5), (b"", 6))

    def test_lines_carry_their_priority_only_into_the_journal(self):
        # Standard output and error on one file, as on the journal's stream;
        # JOURNAL_STREAM names that file, or another one.
        self.start_broker()
        script = [FRAME_A, "nack", "absent", FRAME_B]
        for journal in (True, False):
            with self.subTest(journal=journal):
                path = os.path.join(self.dir, "console%d" % len(self.agents))
                fd = os.open(path, os.O_WRONLY | os.O_CREAT, 0o644)
                self.addCleanup(os.close, fd)
                stream = journal_stream(path if journal else self.dir)
                seen = len(self.observer.messages())
                agent = self.start_agent(script=script, sim_options=FAST, console=fd,
                                         env={"JOURNAL_STREAM": stream})
                self.observer.wait_for(seen + 2, 10 * SLOWDOWN)
                time.sleep(ACK_SETTLE_S)
                agent.interrupt_and_wait(self)
                with open(path, "rb") as f:
                    lines = f.read().splitlines(keepends=True)
                plain = [re.sub(rb"^<[0-7]>", b"", line) for line in lines]
                self.assertEqual(sorted(set(plain)), sorted({
                    b"Published MQTT data - Topic: v1/devices/me/telemetry, Payload: " +
                    PAYLOAD_A + b"\r\n", progress(PAYLOAD_A),
                    b"Published MQTT data - Topic: v1/devices/me/telemetry, Payload: " +
                    PAYLOAD_B + b"\r\n", progress(PAYLOAD_B),
                    SENSOR_FAILURE, NO_SENSOR, SENSOR_BACK, b"\n", NOTICE[1:]}))
                if journal:
                    for line, text in zip(lines, plain):
                        priority = next(p for start, p in self.PRIORITIES if text.startswith(start))
                        self.assertEqual(line, b"<%d>" % priority + text)
                else:
                    self.assertEqual(lines, plain)


class NothingStored(AgentTestCase):
    proxy = True

    def test_read_only_working_directory(self):
        self.start_broker()
        folder = tempfile.mkdtemp(dir=self.dir)
        agent = self.start_agent(script=[FRAME_A, FRAME_B], wrapper=read_only_at(folder))
        messages, _ = self.wait_for_messages(2, PAUSE_S + 10)
        time.sleep(ACK_SETTLE_S)
        agent.interrupt_and_wait(self)
        self.assertTelemetry(messages, [PAYLOAD_A, PAYLOAD_B])
        self.assertEqual(agent.stdout(), published(PAYLOAD_A) + published(PAYLOAD_B) + NOTICE)
        self.assertEqual(agent.stderr(), b"")
        self.assertEqual(os.listdir(folder), [])

    def test_killed_with_a_message_in_flight_leaves_nothing_behind(self):
        self.start_broker()
        folder = tempfile.mkdtemp(dir=self.dir)
        agent = self.start_agent(script=[FRAME_A, FRAME_B], cwd=folder)
        self.wait_for_messages(1, 10)
        time.sleep(ACK_SETTLE_S)
        self.fault_proxy.drop_downstream()  # the next acknowledgement is lost
        self.wait_for_messages(2, PAUSE_S + 5)
        time.sleep(0.5)
        agent.signal(signal.SIGKILL)
        self.assertEqual(agent.wait(5 * SLOWDOWN), -signal.SIGKILL)
        self.assertEqual(os.listdir(folder), [])


@unittest.skipUnless(AGENT_HOST == "localhost", "the agent under test does not use localhost")
class LocalhostOnIpv6(AgentTestCase):
    def test_localhost_resolving_to_ipv6_loopback_first(self):
        # The local endpoint listens on both loopbacks, so the agent reaches it
        # whichever address "localhost" gives first.
        self.start_broker(ipv6_loopback=True)
        cases = (("::1 localhost\n", {"[::1]:1884"}),
                 ("::1 localhost\n127.0.0.1 localhost\n", {"[::1]:1884", "127.0.0.1:1884"}))
        for hosts, reached in cases:
            with self.subTest(hosts=hosts):
                path = os.path.join(self.dir, "hosts%d" % len(self.agents))
                with open(path, "w") as f:
                    f.write(hosts)
                seen = len(self.observer.messages())
                agent = self.start_agent(script=[FRAME_A], sim_options=FAST,
                                         wrapper=with_hosts_file(path))
                self.observer.wait_for(seen + 2, 10 * SLOWDOWN)
                agent.interrupt_and_wait(self)
                self.assertGreaterEqual(len(self.observer.messages()), seen + 2)
                connects = {e.what.split()[1] for e in agent.events() if e.subject == "net"
                            and e.what.startswith("connect ")}
                self.assertTrue(connects and connects <= reached, connects)
        self.assertSessions([AGENT_SESSION] * 2)


if __name__ == "__main__":
    unittest.main()
