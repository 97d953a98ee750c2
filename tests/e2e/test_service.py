#!/usr/bin/python3
"""The agent started as the board's service starts it: a session leader runs the
unit's ExecStart line (deploy/telemetry-agent.service) with the agent in place
of /usr/bin/telemetry-agent. MRAA opens the UART without O_NOCTTY, so a session
leader would take the port as its controlling terminal and die of SIGHUP when
the line hangs up; through the unit's shell the agent keeps publishing, and
stopping the unit (SIGINT to every process of it) still ends it in order."""

import json
import os
import shlex
import signal
import time
import unittest

from harness import (ACK_SETTLE_S, CONNECT_FAILURE, FRAME_A, FRAME_B, NOTICE,
                     PAUSE_S, PAYLOAD_A, PAYLOAD_B, QEMU, REFUSED, REPO, SLOWDOWN,
                     AgentTestCase, published)

UNIT = os.path.join(REPO, "deploy", "telemetry-agent.service")
PACKAGED_AGENT = "/usr/bin/telemetry-agent"


def exec_start_script():
    """The shell script of the unit's ExecStart, with "$@" (board-sim's --shell
    gives the agent's command line there) in place of the packaged agent."""
    with open(UNIT) as f:
        lines = [line for line in f.read().splitlines() if line.startswith("ExecStart=")]
    assert len(lines) == 1, lines
    argv = shlex.split(lines[0][len("ExecStart="):])
    assert argv[:2] == ["/bin/sh", "-c"] and len(argv) == 3, argv
    script = argv[2].replace("$$", "$")  # systemd's quoting of a literal $
    assert script.count(PACKAGED_AGENT) == 1, script
    return script.replace(PACKAGED_AGENT, '"$@"')


def stat_fields(pid):
    """/proc/PID/stat after the command name: state, ppid, pgrp, session, tty_nr, ..."""
    with open(f"/proc/{pid}/stat") as f:
        return f.read().rsplit(")", 1)[1].split()


def agent_process(leader):
    """The agent: the session leader itself, or its only child (the shell's)."""
    children = [int(p) for p in os.listdir("/proc") if p.isdigit() and p != str(leader)
                and _parent(p) == leader]
    assert len(children) <= 1, children
    return children[0] if children else leader


def _parent(pid):
    try:
        return int(stat_fields(pid)[1])
    except (OSError, IndexError):
        return None


def controlling_terminal(pid):
    """tty_nr: 0 for none, else the device in the kernel's encoding."""
    return int(stat_fields(pid)[4])


def tty_nr_of(path):
    rdev = os.stat(path).st_rdev
    major, minor = os.major(rdev), os.minor(rdev)
    return (minor & 0xFF) | (major << 8) | ((minor & ~0xFF) << 12)


@unittest.skipIf(QEMU, "stdbuf cannot reach an emulated agent: the service runs natively only")
class Service(AgentTestCase):
    def start_service(self, script, through_unit=True):
        options = ["--new-session"] + (["--shell", exec_start_script()] if through_unit else [])
        agent = self.start_agent(script=script, sim_options=options)
        with open(os.path.join(agent.state_dir, "platform.json")) as f:
            agent.uart_path = json.load(f)["UART"][0]["path"]
        return agent

    def hang_up(self, agent):
        """Closes the serial line's other end (board-sim's SIGUSR1)."""
        os.kill(agent.proc.pid, signal.SIGUSR1)

    def test_hang_up_does_not_stop_the_service(self):
        self.start_broker()
        agent = self.start_service([FRAME_A, FRAME_B])
        self.wait_for_messages(1, 10)
        time.sleep(ACK_SETTLE_S)
        # stdout (a file here, a stream to the journal there) is line-buffered:
        # the cycle's lines are out while the agent pauses.
        self.assertEqual(agent.stdout(), published(PAYLOAD_A))
        # The port is open by now; checked at the end, after what matters.
        pid = agent_process(agent.pid)
        terminal = controlling_terminal(pid)

        self.hang_up(agent)
        messages, _ = self.wait_for_messages(2, PAUSE_S + 5)
        time.sleep(ACK_SETTLE_S)
        self.assertEqual(agent.stdout(), published(PAYLOAD_A) + published(PAYLOAD_B))

        # Stopping the unit: SIGINT to the shell and the agent alike.
        agent.interrupt_and_wait(self, group=True)
        self.assertTelemetry(messages, [PAYLOAD_A, PAYLOAD_B])
        self.assertEqual(agent.stdout(), published(PAYLOAD_A) + published(PAYLOAD_B) + NOTICE)
        self.assertEqual(agent.stderr(), b"")
        serial = agent.serial()
        self.assertTrue(serial["hung_up"])
        self.assertTrue(serial["closed"])
        # Why: the agent, the shell's child, never took the port as its
        # controlling terminal.
        self.assertNotEqual(pid, agent.pid)
        self.assertEqual(terminal, 0)

    def test_exit_status_255_comes_through(self):
        # No broker: the unit's main process must end as the agent did, so
        # that Restart=on-failure retries.
        agent = self.start_service([FRAME_A])
        self.assertEqual(agent.wait(10 * SLOWDOWN), 255)
        self.assertEqual(agent.stderr(), CONNECT_FAILURE + REFUSED)
        self.assertEqual(agent.stdout(), b"")

    def test_agent_as_session_leader_dies_of_the_hang_up(self):
        # The control case: what the unit's shell prevents.
        self.start_broker()
        agent = self.start_service([FRAME_A, FRAME_B], through_unit=False)
        self.wait_for_messages(1, 10)
        time.sleep(ACK_SETTLE_S)
        self.assertEqual(agent_process(agent.pid), agent.pid)
        self.assertEqual(controlling_terminal(agent.pid), tty_nr_of(agent.uart_path))

        self.hang_up(agent)
        self.assertEqual(agent.wait(5 * SLOWDOWN), -signal.SIGHUP)
        self.assertEqual(len(self.observer.messages()), 1)


if __name__ == "__main__":
    unittest.main()
