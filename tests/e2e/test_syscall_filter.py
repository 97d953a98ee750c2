#!/usr/bin/python3
"""The unit's SystemCallFilter= against the system calls the service really
makes. A call outside the filter kills the agent on the board (SIGSYS), so
every whole run is measured: start, cycles, the broker lost and back, SIGINT;
and the failed start (exit 255). On the PC the unit's ExecStart line runs
under strace -f (the shell, stdbuf and the agent: the filter applies to all of
them); in the board's build the ARM agent runs under qemu-arm -strace, which
names the calls as the board's kernel knows them (_llseek, recv, mmap2, ...).
systemd adds its @default set to an allow-list; groups are expanded with
systemd-analyze syscall-filter."""

import os
import re
import shlex
import socket
import subprocess
import time
import unittest

from harness import ACK_SETTLE_S, FRAME_A, FRAME_B, PAYLOAD_A, PAYLOAD_B, PEER, QEMU, AgentTestCase
from test_service import UNIT, exec_start_script

TRACE_LINE = re.compile(r"^(\d+) +(?:(\w+)\((\w*)|Unknown syscall (\d+))")
SOCKET = re.compile(r"^\d+ +socket\((?:[AP]F_)?(\w+),.*= (\d+)$")
# RestrictAddressFamilies= of the unit: a socket of another family fails to
# open in the service (glibc's resolver then does without its netlink query),
# so the calls on such a socket are not the service's.
FAMILIES = {"UNIX", "LOCAL", "INET", "INET6", "1", "2", "10"}
SLEEP_SCALE = "0.3"  # the 7 s pause takes 2.1 s


def expand(name, seen=None):
    """The system calls of a filter entry: a name, or a @group (nested groups too)."""
    if not name.startswith("@"):
        return {name}
    seen = set() if seen is None else seen
    if name in seen:
        return set()
    seen.add(name)
    out = subprocess.run(["systemd-analyze", "syscall-filter", name], capture_output=True,
                         text=True, check=True).stdout
    calls = set()
    for line in out.splitlines()[1:]:
        entry = line.split("#", 1)[0].strip()
        if entry:
            calls |= expand(entry, seen)
    return calls


def allowed_calls(unit=UNIT):
    """Every system call the unit's SystemCallFilter= allows."""
    entries = ["@default"]
    with open(unit) as f:
        for line in f:
            if line.startswith("SystemCallFilter="):
                entries += line[len("SystemCallFilter="):].split()
    assert len(entries) > 1, "the unit has no SystemCallFilter="
    assert not any(e.startswith("~") for e in entries), "a deny-list is not measured here"
    calls = set()
    for entry in entries:
        calls |= expand(entry)
    return calls


def traced_calls(path):
    """The calls of a trace of strace -f or qemu-arm -strace, by name."""
    calls, numbers, refused = set(), set(), set()
    with open(path, errors="replace") as f:
        for line in f:
            m = TRACE_LINE.match(line)
            if not m:
                continue
            pid, name, first, number = m.groups()
            if number:
                numbers.add(number)
                continue
            if (pid, first) in refused and name != "socket":
                if name == "close":
                    refused.discard((pid, first))
                continue
            calls.add(name)
            sock = SOCKET.match(line.strip())
            if sock and sock.group(1) not in FAMILIES:
                refused.add((pid, sock.group(2)))
    for number in numbers:  # calls qemu-arm has no name for (rseq in qemu 7.2)
        calls.add(subprocess.run(["scmp_sys_resolver", "-a", "arm", number], capture_output=True,
                                 text=True, check=True).stdout.strip())
    return calls


class SyscallFilter(AgentTestCase):
    def start_traced(self, script, env=None):
        trace = os.path.join(self.dir, "trace")
        options = ["--new-session", "--bus-node", os.devnull, "--sleep-scale", SLEEP_SCALE]
        if QEMU:
            # stdbuf's library is this machine's: the ARM agent runs alone.
            emulator = os.path.join(self.dir, "qemu-arm-strace")
            with open(emulator, "w") as f:
                f.write(f'#!/bin/sh\nexec qemu-arm -strace -D {shlex.quote(trace)} "$@"\n')
            os.chmod(emulator, 0o755)
            options += ["--qemu-binary", emulator]
        else:
            # As systemd starts it: in /, with no PWD in the environment (the
            # shell then asks for its working directory). strace keeps SIGINT
            # blocked (-I3): the stop reaches the shell and the agent only, as
            # systemd's reaches the unit's processes.
            shell = exec_start_script()
            options += ["--shell", f"cd / && unset PWD OLDPWD && "
                                   f"exec strace -f -qq -I3 -o {shlex.quote(trace)} "
                                   f"/bin/sh -c {shlex.quote(shell)} sh \"$@\""]
        return self.start_agent(script=script, sim_options=options, env=env), trace

    def assertWithinFilter(self, trace):
        measured = traced_calls(trace)
        allowed = allowed_calls()
        print("measured: " + " ".join(sorted(measured)))
        self.assertTrue({"ioctl", "connect", "rt_sigaction", "exit_group"} <= measured, measured)
        self.assertEqual(sorted(measured - allowed), [], "system calls outside the unit's filter")

    def wait_for_count(self, read, data, count, timeout):
        deadline = time.monotonic() + timeout
        while read().count(data) < count:
            self.assertLess(time.monotonic(), deadline, f"{data!r} never seen {count} times")
            time.sleep(0.05)

    def test_whole_run_stays_within_the_filter(self):
        # With the service manager's notification socket, as under the unit
        # (Type=notify): the agent's notifications are measured too.
        path = os.path.join(self.dir, "notify")
        manager = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.addCleanup(manager.close)
        manager.bind(path)
        self.start_broker()
        agent, trace = self.start_traced([FRAME_A, FRAME_B], env={"NOTIFY_SOCKET": path})
        self.wait_for_messages(2, 10)
        time.sleep(ACK_SETTLE_S)
        # The broker lost: the publication fails and the next cycle's connect.
        self.stop_broker()
        self.wait_for_count(agent.stderr, b"Failed to publish", 2, 20)
        self.start_broker()
        self.wait_for_messages(1, 20)
        time.sleep(ACK_SETTLE_S)
        agent.interrupt_and_wait(self, group=True)
        self.assertWithinFilter(trace)
        self.assertNotifications(manager, agent)

    def assertNotifications(self, manager, agent):
        """Ready once, after the set-up; then each cycle pings the watchdog with
        its status: the reading delivered, or how long and why publications
        have been failing; the orderly stop last."""
        manager.setblocking(False)
        notes = []
        while True:
            try:
                notes.append(manager.recv(4096).decode())
            except BlockingIOError:
                break
        print("notifications:", notes)
        self.assertEqual(notes[0], f"READY=1\nSTATUS=Connected to the broker at {PEER}")
        self.assertEqual(notes[-1], "STOPPING=1")
        cycles = notes[1:-1]
        self.assertTrue(all(n.startswith("WATCHDOG=1\nSTATUS=") for n in cycles), cycles)
        self.assertEqual(len(cycles), agent.transcript().count("write 0x38 ac"))
        status = [n.split("STATUS=", 1)[1] for n in cycles]
        delivered = re.compile(r"Delivered at \d\d:\d\d:\d\d UTC: (.*)$")
        self.assertEqual([delivered.match(t).group(1).encode() for t in status[:2]],
                         [PAYLOAD_A, PAYLOAD_B])
        self.assertEqual(status[2], "Publications failing for 0 s: the session with the broker "
                         f"at {PEER} was lost")
        self.assertRegex(status[3], r"^Publications failing for [2-5] s: nothing accepts "
                         r"connections at ")
        self.assertEqual(delivered.match(status[-1]).group(1).encode(), PAYLOAD_B)

    def test_failed_start_stays_within_the_filter(self):
        agent, trace = self.start_traced([FRAME_A])
        self.assertEqual(agent.wait(20), 255)
        self.assertWithinFilter(trace)


if __name__ == "__main__":
    unittest.main()
