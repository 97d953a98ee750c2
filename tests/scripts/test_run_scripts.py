#!/usr/bin/python3
"""scripts/run.sh and scripts/fleet.sh as a person runs them: what they are
given checked before anything starts, the agent's lines in the order it
wrote them, a few runs' state kept and none of a run that started nothing,
their own build folders (build/'s cache as it was), Ctrl-C stopping all.

They build in build-run/ and build-fleet/ and start their brokers on
AGENT_TEST_NET's .1 (default 127.0.0.1), as scripts/test.sh sets it, before
the suites that use that address run.
"""

import fcntl
import glob
import hashlib
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

REPO = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
sys.path.insert(0, os.path.join(REPO, "broker"))
HOST = os.environ.get("AGENT_TEST_NET", "127.0.0") + ".1"
os.environ["E2E_HOST"] = HOST
from broker import Observer  # noqa: E402

RUN = os.path.join(REPO, "scripts", "run.sh")
FLEET = os.path.join(REPO, "scripts", "fleet.sh")
OBSERVER_PORT = 1885
STAMPED = re.compile(r"^\d\d:\d\d:\d\d (\S+) \| (.*)$")
CONNECTED = re.compile(r"New client connected from \S+ as (\S+) \(p\d, c\d, k\d+, u'")
NOTICE = "Received termination signal. Cleaning up resources..."


def published(humidity, temperature):
    payload = f'{{"Humidity": {humidity:.2f}, "Temperature": {temperature:.2f}}}'
    return [f"Published MQTT data - Topic: v1/devices/me/telemetry, Payload: {payload}",
            f"Data published to MQTT - Topic: v1/devices/me/telemetry, Payload: {payload}"]


def lines_of(output, source):
    return [m.group(2) for m in map(STAMPED.match, output.splitlines()) if m and m.group(1) == source]


def broker_listening():
    try:
        socket.create_connection((HOST, OBSERVER_PORT), timeout=1).close()
        return True
    except OSError:
        return False


def runs(folder):
    return sorted(os.path.basename(d) for d in glob.glob(os.path.join(REPO, folder, "runs", "*")))


# A terminal's shell starts its foreground job with SIGINT and SIGQUIT at
# their defaults, even where this test runs in the background of a script
# (which starts it with them ignored, and a shell cannot trap a signal
# ignored at its start): handled here, they are the defaults after exec.
signal.signal(signal.SIGINT, signal.default_int_handler)
signal.signal(signal.SIGQUIT, signal.SIG_DFL)


class ScriptCase(unittest.TestCase):
    def start(self, command, cwd=REPO):
        """Starts a script as a terminal would its foreground job: a process
        group of its own, which Ctrl-C (SIGINT to the group) reaches whole.
        One still running at the end gets SIGTERM first, with which fleet.sh
        stops its boards (sessions of their own), then SIGKILL."""
        proc = subprocess.Popen(command, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True, start_new_session=True)

        def stop():
            if proc.poll() is not None:
                return
            os.killpg(proc.pid, signal.SIGTERM)
            try:
                proc.communicate(timeout=30)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.communicate()
        self.addCleanup(stop)
        return proc

    def wait_for_observer(self, proc, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and proc.poll() is None:
            try:
                observer = Observer(OBSERVER_PORT, host=HOST).start()
                self.addCleanup(observer.stop)
                return observer
            except OSError:
                time.sleep(0.2)
        self.fail(f"the broker never came up: {proc.stdout.read() if proc.poll() is not None else ''}")

    def assertRefused(self, command, message):
        """A refusal before anything starts: exit status 2, the usage, no
        broker, no run's state."""
        before = (runs("build-run"), runs("build-fleet"))
        done = subprocess.run(command, cwd=REPO, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              timeout=60)
        self.assertEqual(done.returncode, 2, done.stdout + done.stderr)
        self.assertRegex(done.stderr, message)
        self.assertIn("\nusage: ", done.stderr)
        self.assertEqual((runs("build-run"), runs("build-fleet")), before)
        self.assertFalse(broker_listening())


class RunScript(ScriptCase):
    def test_run_sh_shows_the_agent_s_lines_in_order_and_keeps_the_last_runs(self):
        with tempfile.TemporaryDirectory() as tmp:
            bad = os.path.join(tmp, "bad.txt")
            with open(bad, "w") as f:
                f.write("nack 3\n45 20\n120 20\n")
            for args, message in ((["extra"], r"unexpected argument 'extra'"),
                                  (["--", "/bin/true"], r"no '--': run.sh runs the agent it builds"),
                                  (["--no-such-option"], r"unrecognized arguments: --no-such-option"),
                                  (["--script", bad], r"bad.txt:1: nack and absent take.*\n.*bad.txt:3: out of range"),
                                  (["--state-dir", tmp], r"no --state-dir")):
                with self.subTest(args=args):
                    self.assertRefused([RUN, "--host", HOST, *args], message)

        # Older runs' state: the last ones stay, one in use stays, others go.
        parent = os.path.join(REPO, "build-run", "runs")
        old = [f"2000010{i}-000000.test" for i in range(1, 6)]
        for name in old:
            os.makedirs(os.path.join(parent, name), exist_ok=True)
        self.addCleanup(lambda: [subprocess.run(["rm", "-rf", os.path.join(parent, n)]) for n in old])
        in_use = open(os.path.join(parent, old[0], ".in-use"), "w")
        self.addCleanup(in_use.close)
        fcntl.flock(in_use, fcntl.LOCK_EX)
        earlier = runs("build-run")

        # Readings and sensor faults in turn: every recovery line comes right
        # after the two lines of its cycle's publication, one on standard
        # error and two on standard output, written in that order.
        cycles = 8
        with tempfile.NamedTemporaryFile("w", suffix=".txt") as script:
            for i in range(cycles):
                script.write(f"{40 + i} {20 + i}\nnack\n")
            script.write(f"{40 + cycles} {20 + cycles}\n")
            script.flush()
            run = self.start([RUN, "--host", HOST, "--script", script.name, "--sleep-scale", "0.03"])
            self.wait_for_observer(run, 240).wait_for(cycles + 1, 60)
            time.sleep(0.5)
            os.killpg(run.pid, signal.SIGINT)  # Ctrl-C
            output = run.communicate(timeout=30)[0]
        self.assertEqual(run.returncode, 0, output)
        board = lines_of(output, "board")
        failed = ["Failed to read sensor data",
                  "Reason: no answer from the sensor at 0x38 on I2C bus 0 (check its wiring and power)"]
        recovered = ["Recovered: the sensor at 0x38 answers again"]
        expected = published(40, 20) + failed
        for i in range(1, cycles):
            expected += published(40 + i, 20 + i) + recovered + failed
        expected += published(40 + cycles, 20 + cycles) + recovered
        self.assertEqual(board[:len(expected)], expected, output)
        self.assertEqual(board[-1], NOTICE)
        self.assertRegex(output, r"run.sh: the agent exited with status 0\.\n")
        self.assertEqual(len(lines_of(output, "broker")), len([b for b in board if b.startswith("Published")]))

        # Its state named and kept, with the last runs' before it; none
        # left running.
        state = re.search(r"bus transcript and serial report: (\S+)", output).group(1)
        self.assertTrue(os.path.isfile(os.path.join(state, "board", "serial.json")))
        self.assertEqual(runs("build-run"), sorted({os.path.basename(state), old[0]} | set(earlier[-2:])))
        self.assertFalse(broker_listening())

        # A run that started nothing (its broker's port taken) leaves no state.
        before = runs("build-run")
        with socket.create_server((HOST, 1884)):
            done = subprocess.run([RUN, "--host", HOST], cwd=REPO, stdin=subprocess.DEVNULL, capture_output=True,
                                  text=True, timeout=120)
        self.assertEqual(done.returncode, 1, done.stderr)
        self.assertIn("the local broker did not start", done.stderr)
        self.assertEqual(runs("build-run"), before)


class BrokerView(unittest.TestCase):
    def test_the_broker_s_view_shows_each_publication_and_what_a_stamped_one_holds(self):
        # One line a publication; the plugin's words on a payload only where
        # they say more than a reading stamped on arrival; a denial not at
        # all; a device list's names first.
        at = "2026-12-09T17:42:11: "
        log_lines = [
            "token_auth: board001 published a reading without ts (stamped on arrival)",
            "Received PUBLISH from board001 (d0, q1, r0, m1, 'v1/devices/me/telemetry', ... (41 bytes))",
            "token_auth: board001 published 3 timestamped readings (an array) measured "
            "2026-12-09T08:00:00.512Z to 2026-12-09T08:00:14.512Z",
            "Received PUBLISH from board001 (d0, q1, r0, m2, 'v1/devices/me/telemetry', ... (240 bytes))",
            "token_auth: denied access 2 to 'v1/other'",
            "token_auth: board002 published 7 bytes that are not telemetry",
        ]
        with tempfile.TemporaryDirectory() as d:
            log, names = os.path.join(d, "mosquitto.log"), os.path.join(d, "devices.csv")
            with open(log, "w") as f:
                f.write("".join(at + line + "\n" for line in log_lines))
            with open(names, "w") as f:
                f.write("board-001,token1,board001\n")
            view = subprocess.run(["bash", "-c", '. "$0"; broker_events "$1" "$2"; sleep 1; broker_events_stop',
                                   os.path.join(REPO, "scripts", "view.sh"), log, names],
                                  capture_output=True, text=True, timeout=30)
        self.assertEqual([lines_of(line, "broker") for line in view.stdout.splitlines()], [
            ["received from board-001 (board001) on v1/devices/me/telemetry, QoS 1, 41 bytes"],
            ["board-001 (board001) published 3 timestamped readings (an array) measured "
             "2026-12-09T08:00:00.512Z to 2026-12-09T08:00:14.512Z"],
            ["received from board-001 (board001) on v1/devices/me/telemetry, QoS 1, 240 bytes"],
            ["board002 published 7 bytes that are not telemetry"]], view.stdout + view.stderr)


class FleetScript(ScriptCase):
    BOARDS = 3
    CYCLES = 2
    SLEEP_SCALE = 0.2

    def test_fleet_sh_runs_the_boards_and_stops_them_in_order(self):
        self.assertRefused([FLEET, "--host", HOST, "2", "extra"], r"unexpected argument 'extra'")
        cache = os.path.join(REPO, "build", "CMakeCache.txt")
        before = hashlib.sha256(open(cache, "rb").read()).hexdigest() if os.path.exists(cache) else None

        # The example sensor script that ships with the simulator, as the
        # README gives it (relative to the current folder).
        fleet = self.start([FLEET, "--host", HOST, str(self.BOARDS), "--sleep-scale", str(self.SLEEP_SCALE),
                            "--script", "sim/readings.txt"])
        observer = self.wait_for_observer(fleet, 240)
        self.assertGreaterEqual(len(observer.wait_for(self.BOARDS * self.CYCLES, 30)), self.BOARDS * self.CYCLES)
        os.kill(fleet.pid, signal.SIGINT)  # as Ctrl-C reaches it: the boards have sessions of their own
        output = fleet.communicate(timeout=20)[0]
        self.assertEqual(fleet.returncode, 0, output)

        names = [f"board-{i:03d}" for i in range(1, self.BOARDS + 1)]
        for name in names:
            lines = lines_of(output, name)
            self.assertEqual(lines[:2], published(45, -5.25), output)
            self.assertEqual(lines[-1], NOTICE)
        self.assertIn(f"fleet.sh: {self.BOARDS} of {self.BOARDS} boards exited with status 0", output)
        state = re.search(r"serial reports: (\S+)", output).group(1)
        self.assertEqual(os.path.dirname(state), os.path.join(REPO, "build-fleet", "runs"))
        with open(os.path.join(state, "broker", "mosquitto.log")) as f:
            self.assertEqual(sorted(CONNECTED.findall(f.read())), [n.replace("-", "") for n in names])
        # The broker is gone with the boards; the test command's build as it was.
        self.assertFalse(broker_listening())
        if before:
            self.assertEqual(hashlib.sha256(open(cache, "rb").read()).hexdigest(), before)


if __name__ == "__main__":
    unittest.main(verbosity=2)
