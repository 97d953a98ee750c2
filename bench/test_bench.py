"""Tests of the benchmark's own logic and of the two alternatives' conversions.

    /usr/bin/python3 -m unittest discover -s bench -p 'test_*.py'

Needs no broker and no simulator: the shell loop runs with stand-ins for
i2ctransfer, mosquitto_pub and stty on PATH.
"""

import os
import signal
import stat
import subprocess
import sys
import tempfile
import time
import unittest
import unittest.mock

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import benchlib  # noqa: E402

# Frames and the payloads the agent makes of them (tests/e2e/harness.py).
FRAMES = {
    "1c 73 33 33 94 7b": (45.00, -5.25),
    "18 80 00 06 66 66": (50.00, 30.00),
    "00 00 00 00 00 00": (0.00, -50.00),
    "ff ff ff ff ff ff": (100.00, 150.00),
    # 0.08 %RH and -0.05 °C: cents under ten, a negative value above -1
    "1c 00 34 73 fe fa": (0.08, -0.05),
}


def payload(humidity, temperature):
    return f'{{"Humidity": {humidity:.2f}, "Temperature": {temperature:.2f}}}'


class StraceSummary(unittest.TestCase):
    SAMPLE = """    calls syscall
--------- ----------------
        3 mprotect
        8 mmap
        2 openat
       12 ioctl
--------- ----------------
       25 total
"""

    def test_total_and_calls(self):
        total, calls = benchlib.parse_strace_summary(self.SAMPLE)
        self.assertEqual(total, 25)
        self.assertEqual(calls["ioctl"], 12)

    def test_cut_short_or_inconsistent_summary_is_refused(self):
        # strace killed before it wrote the table: no total line
        with self.assertRaises(ValueError):
            benchlib.parse_strace_summary(self.SAMPLE.split("--------- ----------------\n   ")[0])
        with self.assertRaises(ValueError):
            benchlib.parse_strace_summary(self.SAMPLE.replace("25 total", "26 total"))


class Callgrind(unittest.TestCase):
    # Compressed names, a call into the simulator named in full then by its
    # number, a call inside the simulator (to libc) and a plain call.
    SAMPLE = """version: 1
creator: callgrind-3.19.0
positions: line
events: Ir
summary: 10000
ob=(1) /work/bench/build/telemetry-agent
fl=(1) ???
fn=(1) main
0 100
cob=(2) /work/bench/build/sim/libboardsim.so
cfi=(1)
cfn=(2) ioctl
calls=1 0
0 500
cfn=(3) helper
calls=2 0
0 7000
cob=(2)
cfn=(2)
calls=1 0
+3 300
ob=(2)
fn=(2)
0 40
cob=(3) /usr/lib/x86_64-linux-gnu/libc.so.6
cfn=(4) pthread_sigmask
calls=2 0
0 60
totals: 10000
"""

    def test_instructions_into_the_simulator(self):
        r = benchlib.parse_callgrind(self.SAMPLE)
        self.assertEqual(r, {"total": 10000, "into_sim": 800, "sim_loaded": True})

    def test_process_without_the_simulator(self):
        r = benchlib.parse_callgrind("events: Ir\nob=(1) /bin/true\nfn=(1) main\n0 5\ntotals: 5\n")
        self.assertEqual(r, {"total": 5, "into_sim": 0, "sim_loaded": False})
        with self.assertRaises(ValueError):
            benchlib.parse_callgrind("events: Ir\nfn=(1) main\n0 5\n")


class Arithmetic(unittest.TestCase):
    def test_start_up_cancels_out(self):
        start_up, cycle = 123_456, 789
        self.assertEqual(benchlib.per_cycle(start_up + 1 * cycle, start_up + 4 * cycle, 1, 4),
                         cycle)
        with self.assertRaises(ValueError):
            benchlib.per_cycle(1, 2, 4, 4)

    def test_simulator_syscalls_of_a_cycle(self):
        # The agent's cycle on the simulated bus: two ioctls, each answered
        # with lock (3) and transcript (3) instead of the ioctl itself.
        cycle = ["write 0x38 ac", "read 0x38 reg 00 -> 1c 73 33 33 94 7b"]
        self.assertEqual(benchlib.simulator_syscalls(cycle), 10)
        # The shell's i2ctransfer: open, funcs, two addresses, the transfer, close.
        run = ["open /dev/i2c-0", "funcs", "address 0x38", "address 0x38",
               "read 0x38 reg ac -> 1c 73 33 33 94 7b", "close"]
        self.assertEqual(benchlib.simulator_syscalls(run), 6 + 4 * 5 + 6)
        self.assertEqual(benchlib.bus_opens(run + run), 2)

    def test_wakeups(self):
        before = {(1, 1): 10, (1, 2): 5, (2, 2): 3}
        after = {(1, 1): 10, (1, 2): 12, (3, 3): 0}  # (2, 2) ended, (3, 3) appeared
        self.assertEqual(benchlib.wakeups_between(before, after), 7 + 1 + 1)
        self.assertEqual(benchlib.wakeups_between(before, before), 0)

    def test_ratios_and_peaks(self):
        self.assertEqual(benchlib.ratio(1, 4), 0.25)
        self.assertIsNone(benchlib.ratio(0, 0))
        self.assertEqual(benchlib.ratio(3, 0), float("inf"))
        self.assertEqual(benchlib.median([3, None, 1, 2]), 2)
        # wait4 reports max(own, largest child): a shell of 1.5 MB whose
        # largest child reached 6 MB held at most 7.5 MB at once.
        self.assertEqual(benchlib.tree_peak_kb(1500, 6000, has_children=True), 7500)
        self.assertEqual(benchlib.tree_peak_kb(2400, 2400, has_children=False), 2400)


class BrokerLogFollowing(unittest.TestCase):
    LINES = [
        "2026-12-08T22:59:12: New client connected from 127.0.0.1:40896 as quorvalMeshNode "
        "(p2, c1, k20, u'Tz8LwQ3nVb6RkY1mHc5J').",
        "2026-12-08T22:59:12: Received PUBLISH from quorvalMeshNode (d0, q1, r0, m1, "
        "'v1/devices/me/telemetry', ... (41 bytes))",
        "2026-12-08T22:59:12: Sending PUBACK to quorvalMeshNode (m1, rc0)",
        "2026-12-08T22:59:13: Received PUBLISH from python-agent (d0, q1, r0, m1, "
        "'v1/devices/me/telemetry', ... (41 bytes))",
    ]

    def test_publications_per_client_across_partial_writes(self):
        import measure

        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "mosquitto.log")
            text = "\n".join(self.LINES) + "\n"
            cut = text.index("PUBLISH from python") + 4
            with open(path, "w") as f:
                f.write(text[:cut])
            follower = measure.BrokerLog(path)
            follower.start()
            try:
                time.sleep(0.1)
                self.assertEqual(len(follower.publications("quorvalMeshNode")), 1)
                self.assertEqual(follower.publications("python-agent"), [])
                since = time.monotonic()
                with open(path, "a") as f:  # the rest of the half-written line
                    f.write(text[cut:])
                time.sleep(0.1)
                self.assertEqual(len(follower.publications("python-agent")), 1)
                self.assertEqual(len(follower.publications(None)), 2)
                self.assertEqual(follower.publishers_since(since), {"python-agent"})
            finally:
                follower.stopping.set()
                follower.join()


class Targets(unittest.TestCase):
    def figures(self, **changes):
        agent = {"peak_rss_kb": 2400, "instructions_per_cycle": 50_000, "syscalls_per_cycle": 12.0,
                 "idle_wakeups_per_s": 0.0, "rss_long_growth_kb": 0, "rss_long_first_kb": 2400,
                 "rss_long_last_kb": 2400, "long_cycles": (10, 1000)}
        agent.update(changes)
        python = {"peak_rss_kb": 21_000, "instructions_per_cycle": 400_000}
        return {"figures": agent}, {"figures": python}

    def verdicts(self, **changes):
        import report

        return [met for _, _, met in report.targets(*self.figures(**changes))]

    def test_met_and_missed(self):
        self.assertEqual(self.verdicts(), [True] * 6)
        # 2,450 kB is under 2.5 MiB but over 2.5 * 10^6 bytes: missed
        self.assertFalse(self.verdicts(peak_rss_kb=2450)[0])
        self.assertFalse(self.verdicts(peak_rss_kb=2700)[1])  # more than 1/8 of 21,000
        self.assertFalse(self.verdicts(instructions_per_cycle=200_001)[2])
        self.assertFalse(self.verdicts(syscalls_per_cycle=12.3)[3])
        self.assertFalse(self.verdicts(idle_wakeups_per_s=0.2)[4])
        self.assertFalse(self.verdicts(rss_long_growth_kb=4)[5])


def table_rows(markdown, heading):
    """{row label: [cells]} of the first table under the heading."""
    section = markdown.split(f"\n{heading}\n", 1)[1]
    rows = {}
    for line in section.splitlines():
        if line.startswith("#"):
            break
        if line.startswith("|") and not line.startswith("|---"):
            cells = [c.strip() for c in line.strip("|").split("|")]
            rows[cells[0]] = cells[1:]
        elif rows and not line.startswith("|"):
            break  # the end of the first table
    return rows


class Report(unittest.TestCase):
    """The tables of results.md: the agent beside Python, the shell loop and
    the floor; the TLS build, a patched build and the history beside it."""

    AGENT = {"peak_rss_kb": 2300, "steady_rss_kb": 2200, "instructions_per_cycle": 55_000,
             "cpu_ms_per_cycle": 0.8, "syscalls_per_cycle": 12.0, "idle_wakeups_per_s": 0.0,
             "first_ack_ms": 110.0, "sigint_to_exit_ms": 2.0, "rss_long_first_kb": 2300,
             "rss_long_last_kb": 2300, "rss_long_growth_kb": 0, "long_cycles": [10, 1000]}

    def program(self, role, label, **changes):
        figures = dict(self.AGENT, **changes)
        if role == "alternative":
            for key in ("rss_long_first_kb", "rss_long_last_kb", "rss_long_growth_kb",
                        "long_cycles"):
                figures.pop(key)
        return {"label": label, "client_id": label.split()[0], "role": role,
                "figures": figures, "samples": {}}

    def results(self, patched=False, tls=False, before=False, **settings):
        programs = {"agent": self.program("agent", "agent")}
        if tls:
            programs["agent-tls"] = self.program("agent", "agent (TLS)", peak_rss_kb=8400,
                                                 syscalls_per_cycle=13.5)
        if patched:
            programs["agent-patched"] = self.program("agent", "agent (patched)",
                                                     instructions_per_cycle=44_000)
        if before:
            programs["agent-before"] = self.program("agent", "agent (before)",
                                                    instructions_per_cycle=66_000)
        programs.update({
            "python": self.program("alternative", "Python (paho-mqtt, smbus2)",
                                   peak_rss_kb=21_000, instructions_per_cycle=440_000,
                                   idle_wakeups_per_s=0.8),
            "shell": self.program("alternative", "shell loop (mosquitto_pub, i2ctransfer)",
                                  instructions_per_cycle=4_400_000),
            "floor": self.program("floor", "floor (Paho calls only)", peak_rss_kb=2000,
                                  instructions_per_cycle=47_500, syscalls_per_cycle=9.0,
                                  rss_long_first_kb=2000, rss_long_last_kb=2000),
        })
        s = {"date": "2026-12-09", "machine": "x86_64", "cpus": 2, "kernel": "6.1",
             "duration_s": 300, "broker": "127.0.9.3:1884", "reps": 3, "short_cycles": 1,
             "long_cycles": 4, "long_run_cycles": 1000}
        s.update(settings)
        return {"settings": s, "programs": programs, "calibration": {}, "first_payloads": {}}

    def markdown(self, results, history=None):
        import report

        return report.markdown(results, history)

    def test_one_agent_beside_the_others_and_the_floor(self):
        md = self.markdown(self.results(patched=True, tls=True))
        figures = table_rows(md, "## Figures")
        # The TLS and the patched build have sections of their own, not columns.
        self.assertEqual(figures[""], ["agent", "Python (paho-mqtt, smbus2)",
                                       "shell loop (mosquitto_pub, i2ctransfer)",
                                       "floor (Paho calls only)"])
        self.assertEqual(figures["Instructions per cycle"], ["55,000", "440,000", "4,400,000",
                                                             "47,500"])
        # The long run: the agent's and the floor's, nothing for the others.
        self.assertEqual(figures["Resident memory after 10 and after 1,000 cycles (kB)"],
                         ["2,300 → 2,300", "", "", "2,000 → 2,000"])
        ratios = table_rows(md, "## Ratios: agent / alternative, agent / floor")
        self.assertEqual(ratios[""], ["agent / Python", "agent / shell loop", "agent / floor"])
        self.assertEqual(ratios["Instructions per cycle"], ["0.125", "0.0125", "1.16"])
        self.assertEqual(ratios["System calls per cycle"], ["1", "1", "1.33"])
        self.assertEqual(ratios["Wake-ups per second while idle between cycles"],
                         ["0", "– (0 / 0)", "– (0 / 0)"])
        targets = table_rows(md, "## Targets (x86-64, this machine)")
        self.assertEqual(targets["Target"], ["agent", "agent (TLS)"])
        self.assertTrue(targets["At most 12 system calls per cycle"][1].endswith("**missed**"))
        tls = table_rows(md, "## MQTT over TLS: the TLS build beside the plain build")
        self.assertEqual(tls["Peak resident memory (kB)"], ["2,300", "8,400", "+6,100", "3.65"])
        patch = table_rows(md, "## agent (patched): before and after")
        self.assertEqual(patch["Instructions per cycle"], ["55,000", "44,000", "0.8"])
        # The agent before a change in the sources is the before column.
        before = table_rows(self.markdown(self.results(before=True)),
                            "## agent (before): before and after")
        self.assertEqual(before["Instructions per cycle"], ["66,000", "55,000", "0.833"])
        self.assertNotIn("## History", md)

    def test_history_keeps_its_own_figures(self):
        before = dict(self.AGENT, peak_rss_kb=3844, rss_long_first_kb=3728, rss_long_last_kb=3728)
        history = {"changes": [{"date": "2026-12-08", "change": "the footprint cuts",
                                "run": "three runs", "before": before,
                                "after": dict(self.AGENT, peak_rss_kb=2340)}]}
        md = self.markdown(self.results(), history)
        self.assertNotIn("before and after\n", md)  # no patched build in this run
        cuts = table_rows(md, "### 2026-12-08: the footprint cuts")
        self.assertEqual(cuts[""], ["before", "after", "after / before"])
        self.assertEqual(cuts["Peak resident memory (kB)"], ["3,844", "2,340", "0.609"])
        self.assertEqual(cuts["Resident memory after 10 and after 1,000 cycles (kB)"],
                         ["3,728 → 3,728", "2,300 → 2,300", ""])
        # This run's figures stay the agent's as it is now.
        self.assertEqual(table_rows(md, "## Figures")["Peak resident memory (kB)"][0], "2,300")

    def test_quick_runs_and_a_busy_machine_are_marked(self):
        import report

        calm = self.results(load_average={"start": [0.3, 0.2, 0.1], "end": [0.9, 0.4, 0.2]})
        self.assertEqual(len(report.run_conditions(calm["settings"])), 1)  # the load, no warning
        self.assertNotIn("busy", self.markdown(calm))
        busy = self.results(reps=1, long_run_cycles=30,
                            load_average={"start": [0.5, 0.5, 0.5], "end": [3.7, 2.5, 2.0]})
        md = self.markdown(busy)
        self.assertIn("**A quick run** (1 run of each kind, a long run of 30 cycles)", md)
        self.assertIn("**The machine was busy**", md)
        # bench/bench.sh --quick: all it shortens is named; the full run's settings are no quick run.
        quick = self.results(reps=1, long_cycles=3, long_run_cycles=100, pause_scale=0.3,
                             mode_lanes=True)
        self.assertIn("**A quick run** (1 run of each kind, runs of 3 cycles, the agent builds' "
                      "and the floor's pauses × 0.3 (the simulator's sleep scale), a long run of "
                      "100 cycles)", self.markdown(quick))
        full = self.results(pause_scale=None, mode_lanes=False)
        self.assertNotIn("quick run", self.markdown(full))
        self.assertIn("a run of 4 cycles and one of 1, divided by 3", self.markdown(full))


class CheckRun(unittest.TestCase):
    """What the check run accepts of one cycle, with or without a sensor."""

    CYCLE = ["open /dev/i2c-0", "write 0x38 e1", "write 0x38 ac",
             "read 0x38 reg 00 -> 1c 73 33 33 94 7b"]

    def check(self, role, transcript, qos=1, payload=b'{"Humidity": 45.00, "Temperature": -5.25}'):
        import measure
        from broker import Message

        program = measure.Program(role, role, ["/bin/" + role], role)
        return measure.check_cycle(program, [Message(measure.TELEMETRY_TOPIC, payload, qos, 0)],
                                   transcript)

    def test_a_sensor_is_read_by_all_but_the_floor(self):
        import measure

        self.assertTrue(self.check("agent", self.CYCLE).startswith(b'{"Humidity"'))
        self.check("floor", ["# the simulator's note"])
        with self.assertRaisesRegex(measure.BenchError, "no measurement"):
            self.check("agent", self.CYCLE[:3])  # triggered, never read
        with self.assertRaisesRegex(measure.BenchError, "used the bus"):
            self.check("floor", self.CYCLE[:1])
        with self.assertRaisesRegex(measure.BenchError, "wrong publication"):
            self.check("floor", [], qos=0)
        with self.assertRaisesRegex(measure.BenchError, "wrong publication"):
            self.check("agent", self.CYCLE, payload=b'{"Humidity": nan, "Temperature": 0.00}')


class PythonAgentPublication(unittest.TestCase):
    """The acknowledgement wait: 1 s, then 10 s more, then a failure."""

    class Info:
        def __init__(self, acked_after):
            self.rc = 0
            self.waits = []
            self.acked_after = acked_after

        def wait_for_publish(self, timeout):
            self.waits.append(timeout)

        def is_published(self):
            return self.acked_after is not None and len(self.waits) >= self.acked_after

    def publish(self, acked_after):
        import python_agent

        info = self.Info(acked_after)

        class Client:
            def publish(self, topic, payload, qos):
                self.sent = (topic, payload, qos)
                return info

        client = Client()
        with unittest.mock.patch("builtins.print") as printed:
            ok = python_agent.publish(client, "{}")
        self.assertEqual(client.sent, ("v1/devices/me/telemetry", "{}", 1))
        return ok, info.waits, printed.call_args_list

    def test_waits(self):
        ok, waits, printed = self.publish(acked_after=1)
        self.assertEqual((ok, waits), (True, [1]))
        ok, waits, printed = self.publish(acked_after=2)
        self.assertEqual((ok, waits), (True, [1, 10]))
        self.assertIn("Published MQTT data", printed[-1].args[0])
        ok, waits, printed = self.publish(acked_after=None)
        self.assertEqual((ok, waits), (False, [1, 10]))
        self.assertIn("Failed to publish", printed[-1].args[0])


class PythonAgentConversion(unittest.TestCase):
    def test_frames(self):
        import python_agent

        class Bus:
            def __init__(self, frame):
                self.frame = [int(b, 16) for b in frame.split()]
                self.writes = []

            def write_byte(self, addr, value):
                self.writes.append((addr, value))

            def read_i2c_block_data(self, addr, register, length):
                return self.frame[:length]

        for frame, (humidity, temperature) in FRAMES.items():
            bus = Bus(frame)
            h, t = python_agent.read_sensor(bus)
            self.assertEqual(payload(h, t), payload(humidity, temperature), frame)
            self.assertEqual(bus.writes, [(0x38, 0xAC)])


class ShellAgent(unittest.TestCase):
    """The shell loop with stand-ins: its payloads and its orderly end."""

    def stand_in(self, folder, name, body):
        path = os.path.join(folder, name)
        with open(path, "w") as f:
            f.write("#!/bin/sh\n" + body)
        os.chmod(path, os.stat(path).st_mode | stat.S_IEXEC)

    def run_loop(self, frame):
        with tempfile.TemporaryDirectory() as d:
            sent = os.path.join(d, "sent")
            words = " ".join("0x" + b for b in frame.split())
            self.stand_in(d, "i2ctransfer", f'echo "{words}"\n')
            self.stand_in(d, "mosquitto_pub",
                          f'while [ $# -gt 0 ]; do [ "$1" = -m ] && echo "$2" >>{sent}; shift; done\n')
            self.stand_in(d, "stty", "exit 0\n")
            env = dict(os.environ, PATH=d + os.pathsep + os.environ["PATH"],
                       SERIAL_PORT=os.devnull)
            proc = subprocess.Popen(["/bin/sh", os.path.join(HERE, "shell_agent.sh")], env=env,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            deadline = time.monotonic() + 10
            while not os.path.exists(sent) and time.monotonic() < deadline:
                time.sleep(0.02)
            time.sleep(0.1)  # into the pause
            sent_at = time.monotonic()
            proc.send_signal(signal.SIGINT)
            out, err = proc.communicate(timeout=5)
            took = time.monotonic() - sent_at
            with open(sent) as f:
                return f.read().splitlines(), out, err, proc.returncode, took

    def test_payloads(self):
        for frame, (humidity, temperature) in FRAMES.items():
            published, out, err, status, took = self.run_loop(frame)
            self.assertEqual(published, [payload(humidity, temperature)], frame)
            self.assertIn(f"Payload: {payload(humidity, temperature)}\n".encode(), out)
            self.assertEqual(err, b"")
            # SIGINT in the 7 s pause: at once, in order.
            self.assertEqual(status, 0)
            self.assertLess(took, 1.0)
            self.assertTrue(out.endswith(b"Received termination signal. Cleaning up resources...\n"))


if __name__ == "__main__":
    unittest.main()
