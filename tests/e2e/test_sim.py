"""The board simulator (sim/), driven through the real MRAA library.

Needs the simulator built: libboardsim.so and mraa-probe in $SIM_BUILD_DIR
(default build/sim of this repository).
"""

import fcntl
import json
import os
import select
import signal
import socket
import subprocess
import tempfile
import termios
import textwrap
import time
import unittest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.environ.get("SIM_BUILD_DIR") or os.path.join(REPO, "build", "sim")
BOARD_SIM = os.path.join(REPO, "sim", "board-sim")
PROBE = os.path.join(BUILD, "mraa-probe")
SENSOR = ["i2c", "0", "address", "0x38", "write", "0xe1"]
WAIT = ["usleep", "80000"]  # longer than the sensor's 75 ms conversion
MEASURE = ["write", "0xac", *WAIT, "read", "0", "6"]


def setUpModule():
    for path in (PROBE, os.path.join(BUILD, "libboardsim.so")):
        if not os.path.exists(path):
            raise RuntimeError(f"{path} missing: build sim/ first (or set SIM_BUILD_DIR)")


class SimCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="test-sim-")
        self.state = self.tmp.name
        self.env = dict(os.environ, SIM_BUILD_DIR=BUILD)

    def tearDown(self):
        self.tmp.cleanup()

    def command(self, options, agent):
        return [BOARD_SIM, "--state-dir", self.state, *options, "--", *agent]

    def run_sim(self, options, agent, timeout=20):
        return subprocess.run(self.command(options, agent), env=self.env, capture_output=True,
                              timeout=timeout)

    def run_probe(self, ops, *options):
        return self.run_sim(list(options), [PROBE, *ops])

    def start(self, options, agent, **kw):
        """Starts board-sim and waits until the agent says it is pausing."""
        kw.setdefault("stdout", subprocess.PIPE)
        proc = subprocess.Popen(self.command(options, agent), env=self.env, **kw)
        self.addCleanup(self._stop, proc)
        if kw["stdout"] == subprocess.PIPE:
            seen = b""
            while b"pausing" not in seen:
                line = proc.stdout.readline()
                self.assertTrue(line, f"agent ended early: {seen!r}")
                seen += line
        return proc

    @staticmethod
    def _stop(proc):
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        if proc.stdout:
            proc.stdout.close()

    def script(self, text):
        path = os.path.join(self.state, "script.txt")
        with open(path, "w") as f:
            f.write(textwrap.dedent(text))
        return path

    def transcript(self):
        with open(os.path.join(self.state, "i2c.log")) as f:
            return f.read()

    def report(self):
        with open(os.path.join(self.state, "serial.json")) as f:
            return json.load(f)


class SensorTest(SimCase):
    def test_script_entries_reach_mraa_byte_for_byte(self):
        script = self.script("""\
            # humidity temperature, raw frames and faults, one per trigger
            45.0 -5.25
            frame 00 ff 0x80 1 94 7B
            nack
            absent
            nack trigger
            absent read
            50 29.99992
            """)
        r = self.run_probe(SENSOR + MEASURE * 8 + ["i2c-stop"], "--script", script)
        self.assertEqual(r.returncode, 0, r.stderr)
        reads = [line for line in r.stdout.decode().splitlines() if line.startswith("read")]
        self.assertEqual(reads, [
            "read 6: 1c 73 33 33 94 7b",
            "read 6: 00 ff 80 01 94 7b",
            "read -1",
            "read -1",
            "read 6: 00 ff 80 01 94 7b",  # the trigger alone failed: the measurement before
            "read -1",
            "read 6: 1c 80 00 06 66 66",
            "read 6: 1c 80 00 06 66 66",  # past the end the last entry repeats
        ])
        self.assertEqual(self.transcript(), textwrap.dedent("""\
            open /dev/i2c-0
            funcs
            address 0x38
            write 0x38 e1
            write 0x38 ac
            read 0x38 reg 00 -> 1c 73 33 33 94 7b
            write 0x38 ac
            read 0x38 reg 00 -> 00 ff 80 01 94 7b
            write 0x38 ac -> nack
            read 0x38 reg 00 -> nack
            write 0x38 ac -> absent
            read 0x38 reg 00 -> absent
            write 0x38 ac -> nack
            read 0x38 reg 00 -> 00 ff 80 01 94 7b
            write 0x38 ac
            read 0x38 reg 00 -> absent
            write 0x38 ac
            read 0x38 reg 00 -> 1c 80 00 06 66 66
            write 0x38 ac
            read 0x38 reg 00 -> 1c 80 00 06 66 66
            close
            """))
        self.assertEqual(r.stderr, b"")

    def test_no_device_and_wrong_address_fail(self):
        script = self.script("45 20\n")
        r = self.run_probe(SENSOR + MEASURE, "--no-device", "--script", script)
        self.assertEqual(r.stdout.decode().split("\n")[2:6],
                         ["write 99", "write 99", "usleep 80000", "read -1"])
        self.assertIn("write 0x38 e1 -> absent\nwrite 0x38 ac -> absent\n"
                      "read 0x38 reg 00 -> absent\n", self.transcript())

        r = self.run_probe(["i2c", "0", "address", "0x39"] + MEASURE, "--script", script)
        self.assertIn("read -1", r.stdout.decode())
        self.assertIn("write 0x39 ac -> absent\n", self.transcript())

    def test_bus_node_decides_whether_the_bus_opens(self):
        script = self.script("45 20\n")
        r = self.run_probe(SENSOR + MEASURE, "--bus-node", os.devnull, "--script", script)
        self.assertEqual(r.stdout.decode().split("\n")[0], "i2c ok")
        self.assertIn("read 6: 1c 73 33 35 99 9a", r.stdout.decode())

        # A node that cannot be opened fails the bus as the real one would.
        node = os.path.join(self.state, "no-such-node")
        r = self.run_probe(SENSOR, "--bus-node", node, "--script", script)
        self.assertEqual(r.stdout.decode().split("\n")[0], "i2c null")
        self.assertEqual(self.transcript(), "open /dev/i2c-0 -> error\n")

    def test_drifting_climate_is_plausible_and_repeatable(self):
        def frames(seed):
            r = self.run_probe(SENSOR + MEASURE * 20, "--seed", str(seed))
            return [bytes.fromhex(line.split(":")[1]) for line in r.stdout.decode().splitlines()
                    if line.startswith("read 6:")]

        first = frames(1)
        self.assertEqual(len(first), 20)
        self.assertEqual(first, frames(1))
        self.assertNotEqual(first, frames(2))
        self.assertGreater(len(set(first)), 10)
        for f in first:
            humidity = ((f[1] << 12) | (f[2] << 4) | (f[3] >> 4)) / 2**20 * 100
            temperature = (((f[3] & 0xF) << 16) | (f[4] << 8) | f[5]) / 2**20 * 200 - 50
            self.assertTrue(30 < humidity < 60 and 18 < temperature < 26, (humidity, temperature))

    def test_bad_script_is_refused_before_the_agent_runs(self):
        for text, why in (("45 20\nframe 1c 73 33\n", ":2: a frame has six bytes"),
                          ("nack 3\n", ":1: nack and absent take trigger, read or nothing"),
                          ("120 20\n", ":1: out of range"),
                          ("frame 1c 73 33 33 94 7g\n", ":1: frame bytes are hexadecimal"),
                          ("0x10 20\n", ":1: expected")):
            with self.subTest(text=text):
                r = self.run_probe(["exit", "0"], "--script", self.script(text))
                self.assertEqual(r.returncode, 2)
                self.assertIn(why, r.stderr.decode())
                self.assertFalse(os.path.exists(os.path.join(self.state, "agent.pid")))
        # Every bad line at once, each named, and nothing started.
        r = self.run_probe(["exit", "0"], "--script", self.script("nack 3\n45 20\n120 20\nframe 1c\n"))
        self.assertEqual(r.returncode, 2)
        self.assertRegex(r.stderr.decode(), r":1: nack and absent take.*\n.*:3: out of range.*\n"
                                            r".*:4: a frame has six bytes.*\n.*refused: 3 bad lines\n")
        self.assertFalse(os.path.exists(os.path.join(self.state, "agent.pid")))

    def test_conversion_takes_the_datasheet_time(self):
        # Read at once, the sensor answers busy with the measurement before
        # (zeros before the first); after the conversion time, the new one.
        script = self.script("frame 1c 73 33 33 94 7b\nframe 18 80 00 06 66 66\nnack\n45 -5.25\n")
        early = ["write", "0xac", "read", "0", "6"]
        r = self.run_probe(SENSOR + early + WAIT + ["read", "0", "6"] + early + WAIT +
                           ["read", "0", "6"] + early + early, "--script", script)
        self.assertEqual(r.returncode, 0, r.stderr)
        reads = [line for line in r.stdout.decode().splitlines() if line.startswith("read")]
        self.assertEqual(reads, [
            "read 6: 9c 00 00 00 00 00", "read 6: 1c 73 33 33 94 7b",
            "read 6: 9c 73 33 33 94 7b", "read 6: 18 80 00 06 66 66",
            "read -1",                    # a failing device converts nothing
            "read 6: 98 80 00 06 66 66",  # and keeps what it had
        ])
        self.assertIn("write 0x38 ac\nread 0x38 reg 00 -> 9c 00 00 00 00 00 (busy)\n"
                      "read 0x38 reg 00 -> 1c 73 33 33 94 7b\n", self.transcript())

        # The time is configurable, 0 is the instant sensor.
        r = self.run_probe(SENSOR + early, "--conversion-ms", "0", "--script", script)
        self.assertIn("read 6: 1c 73 33 33 94 7b", r.stdout.decode())
        self.assertNotIn("(busy)", self.transcript())
        slow = ["write", "0xac", *WAIT, "read", "0", "6", "usleep", "200000", "read", "0", "6"]
        r = self.run_probe(SENSOR + slow, "--conversion-ms", "250", "--script", script)
        self.assertEqual([line for line in r.stdout.decode().splitlines()
                          if line.startswith("read")],
                         ["read 6: 9c 00 00 00 00 00", "read 6: 1c 73 33 33 94 7b"])
        r = self.run_probe(["exit", "0"], "--conversion-ms", "-1")
        self.assertEqual(r.returncode, 2)

    def test_calls_smbus2_makes(self):
        # What the smbus2 package does underneath: I2C_FUNCS, I2C_SLAVE,
        # I2C_SMBUS byte write and I2C block read, I2C_RDWR.
        client = textwrap.dedent("""\
            import ctypes as C, errno, fcntl, os, time
            class Data(C.Union):
                _fields_ = [("byte", C.c_uint8), ("word", C.c_uint16), ("block", C.c_uint8 * 34)]
            class Smbus(C.Structure):
                _fields_ = [("read_write", C.c_uint8), ("command", C.c_uint8),
                            ("size", C.c_uint32), ("data", C.POINTER(Data))]
            class Msg(C.Structure):
                _fields_ = [("addr", C.c_uint16), ("flags", C.c_uint16), ("len", C.c_uint16),
                            ("buf", C.POINTER(C.c_uint8))]
            class Rdwr(C.Structure):
                _fields_ = [("msgs", C.POINTER(Msg)), ("nmsgs", C.c_uint32)]
            def rdwr(*msgs):
                return fcntl.ioctl(fd, 0x0707, Rdwr((Msg * len(msgs))(*msgs), len(msgs)))
            fd = os.open("/dev/i2c-0", os.O_RDWR)
            funcs = C.c_ulong()
            fcntl.ioctl(fd, 0x0705, funcs)
            print(hex(funcs.value & 0x1))
            fcntl.ioctl(fd, 0x0703, 0x38)
            fcntl.ioctl(fd, 0x0720, Smbus(0, 0xAC, 1, None))
            time.sleep(0.08)
            d = Data()
            d.block[0] = 6
            fcntl.ioctl(fd, 0x0720, Smbus(1, 0x00, 8, C.pointer(d)))
            print(bytes(d.block[1:7]).hex())
            print(rdwr(Msg(0x38, 0, 3, (C.c_uint8 * 3)(0xAC, 0x33, 0x00))))
            time.sleep(0.08)
            buf = (C.c_uint8 * 6)()
            rdwr(Msg(0x38, 1, 6, buf))
            print(bytes(buf).hex())
            try:
                rdwr(Msg(0x39, 1, 6, buf))
            except OSError as e:
                print(errno.errorcode[e.errno])
            os.close(fd)
            """)
        script = self.script("frame 1c 73 33 33 94 7b\nframe 18 80 00 06 66 66\n")
        r = self.run_sim(["--script", script], ["/usr/bin/python3", "-c", client])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.decode().split(), ["0x1", "1c733333947b", "1", "188000066666",
                                                     "ENXIO"])
        self.assertEqual(self.transcript(), textwrap.dedent("""\
            open /dev/i2c-0
            funcs
            address 0x38
            write 0x38 ac
            read 0x38 reg 00 -> 1c 73 33 33 94 7b
            write 0x38 ac 33 00
            read 0x38 -> 18 80 00 06 66 66
            read 0x39 -> absent
            close
            """))


class EventLogTest(SimCase):
    def test_bus_serial_port_and_network_in_one_timed_order(self):
        with socket.create_server(("127.0.0.1", 0)) as listener:
            port = listener.getsockname()[1]
            client = textwrap.dedent(f"""\
                import os, socket
                socket.create_connection(("127.0.0.1", {port})).close()
                os.execv({PROBE!r}, [{PROBE!r}, "i2c", "0", "address", "0x38", *{MEASURE!r},
                                     "uart", "0", "baud", "115200", "i2c-stop", "uart-stop"])
                """)
            r = self.run_sim([], ["/usr/bin/python3", "-c", client])
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(os.path.join(self.state, "events.log")) as f:
            events = [line.split(" ", 2) for line in f.read().splitlines()]
        times = [float(e[0]) for e in events]
        self.assertEqual(times, sorted(times))
        self.assertEqual([(e[1], e[2].split(" -> ")[0]) for e in events
                          if not e[2].startswith("tcsetattr")],
                         [("net", f"connect 127.0.0.1:{port}"), ("net", "close"),
                          ("i2c", "open /dev/i2c-0"), ("i2c", "funcs"), ("i2c", "address 0x38"),
                          ("i2c", "write 0x38 ac"), ("i2c", "read 0x38 reg 00"),
                          ("uart", "open"), ("i2c", "close"), ("uart", "close")])
        settings = [i for i, e in enumerate(events) if e[2].startswith("tcsetattr")]
        opened = next(i for i, e in enumerate(events) if e[1:] == ["uart", "open"])
        self.assertTrue(settings and all(opened < i for i in settings), events)
        self.assertGreaterEqual(times[6] - times[5], 0.080)  # the probe's usleep


class SerialTest(SimCase):
    UART = ["uart", "0", "baud", "115200", "mode", "8", "N", "1", "flow", "0", "0"]

    def test_report_shows_what_the_agent_configured(self):
        r = self.run_probe(self.UART + ["uart-stop"])
        self.assertEqual(r.returncode, 0, r.stderr)
        report = self.report()
        self.assertTrue(report.pop("path").startswith("/dev/pts/"))
        self.assertEqual(report, {
            "opened": True, "closed": True, "speed": 115200, "input_speed": 115200,
            "data_bits": 8, "parity": "none", "stop_bits": 1, "rtscts": False,
            "xonxoff": False, "sent_hex": "13", "hung_up": False})

        r = self.run_probe(["uart", "0", "baud", "9600", "mode", "7", "E", "2", "flow", "0", "1"])
        report = self.report()
        self.assertEqual((report["speed"], report["data_bits"], report["parity"],
                          report["stop_bits"], report["rtscts"], report["closed"]),
                         (9600, 7, "even", 2, True, False))

        self.run_probe(["exit", "0"])
        self.assertEqual((self.report()["opened"], self.report()["sent_hex"]), (False, ""))

    def test_hang_up(self):
        # As a service manager starts it (its own session, no controlling
        # terminal), the agent takes the port as its controlling terminal:
        # the hang-up sends it SIGHUP.
        proc = self.start(["--new-session"], [PROBE, *self.UART, "pause"])
        proc.send_signal(signal.SIGUSR1)
        self.assertEqual(proc.wait(timeout=10), -signal.SIGHUP)
        report = self.report()
        self.assertEqual((report["hung_up"], report["speed"], report["sent_hex"]),
                         (True, 115200, "13"))

        # In board-sim's own session the agent is not the session leader.
        proc = self.start([], [PROBE, *self.UART, "pause"])
        proc.send_signal(signal.SIGUSR1)
        time.sleep(0.5)
        self.assertIsNone(proc.poll())
        proc.terminate()
        self.assertEqual(proc.wait(timeout=10), -signal.SIGTERM)
        self.assertTrue(self.report()["hung_up"])


class ProcessTest(SimCase):
    def test_output_and_exit_status_are_the_agent_s(self):
        r = self.run_probe(["i2c", "0", "address", "0x38", "exit", "3"])
        self.assertEqual((r.returncode, r.stdout, r.stderr), (3, b"i2c ok\naddress 0\n", b""))
        self.assertEqual(self.run_probe(["raise", "9"]).returncode, -signal.SIGKILL)
        # An agent that cannot start, or a stray word before "--", is refused
        # before anything is made: no state folder.
        state = os.path.join(self.state, "not-made")
        plain_file = os.path.join(self.state, "not-a-program")
        with open(plain_file, "w"):
            os.chmod(plain_file, 0o644)
        for options, agent, status, message in (
                ([], "/nonexistent/agent", 127, b"cannot run /nonexistent/agent: No such file"),
                ([], plain_file, 126, b"cannot run " + plain_file.encode() + b": Permission denied"),
                (["extra"], PROBE, 2, b"unexpected argument 'extra' (options come before")):
            r = subprocess.run([BOARD_SIM, "--state-dir", state, *options, "--", agent], env=self.env,
                               capture_output=True, timeout=20)
            self.assertEqual(r.returncode, status, r.stderr)
            self.assertIn(message, r.stderr)
            self.assertFalse(os.path.exists(state))

        # Without --state-dir the launcher names the folder it made on stderr.
        r = subprocess.run([BOARD_SIM, "--", PROBE, "exit", "0"], env=self.env,
                           capture_output=True, timeout=20)
        state = r.stderr.decode().removeprefix("board-sim: state in ").strip()
        self.addCleanup(subprocess.run, ["rm", "-rf", state])
        self.assertTrue(os.path.isfile(os.path.join(state, "serial.json")), r.stderr)

    def test_closed_standard_descriptors_stay_closed_for_the_agent(self):
        out = os.path.join(self.state, "closed.txt")
        script = 'for f in 0 1 2; do [ -e /proc/$$/fd/$f ] || echo "$f" >>"$0"; done'
        r = subprocess.run(self.command([], ["/bin/sh", "-c", script, out]), env=self.env,
                           stdout=subprocess.DEVNULL, timeout=20,
                           preexec_fn=lambda: (os.close(0), os.close(2)))
        self.assertEqual(r.returncode, 0)
        with open(out) as f:
            self.assertEqual(f.read().split(), ["0", "2"])

    def test_signals_are_forwarded(self):
        proc = self.start([], [PROBE, "on-sigint", "7", "pause"])
        with open(os.path.join(self.state, "agent.pid")) as f:
            pid = int(f.read())
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            self.assertIn(b"mraa-probe", f.read())
        proc.send_signal(signal.SIGINT)
        self.assertEqual(proc.wait(timeout=10), 7)
        self.assertEqual(proc.stdout.read(), b"sigint\n")

        proc = self.start([], [PROBE, "pause"])
        proc.terminate()
        self.assertEqual(proc.wait(timeout=10), -signal.SIGTERM)

    def test_interrupt_from_terminal_reaches_agent_once(self):
        master, slave = os.openpty()
        self.addCleanup(os.close, master)
        proc = self.start([], [PROBE, "catch-sigint", "pause", "pause"], stdin=slave,
                          stdout=slave, stderr=slave, start_new_session=True,
                          preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0))
        os.close(slave)
        seen = b""
        while b"pausing" not in seen:
            self.assertTrue(select.select([master], [], [], 10)[0], seen)
            seen += os.read(master, 1024)
        os.write(master, b"\x03")  # ^C: the kernel signals the whole foreground group
        deadline = time.monotonic() + 1
        while time.monotonic() < deadline:
            if select.select([master], [], [], 0.1)[0]:
                seen += os.read(master, 1024)
        self.assertEqual(seen.count(b"sigint"), 1, seen)
        self.assertIsNone(proc.poll())

    def test_sleep_scale(self):
        r = self.run_probe(["sleep", "7"], "--sleep-scale", "0.1")
        left, took = r.stdout.decode().split()[3], float(r.stdout.decode().split()[5])
        self.assertEqual(left, "0")
        self.assertTrue(0.65 <= took < 1.5, took)
        with open(os.path.join(self.state, "events.log")) as f:
            self.assertEqual([line.split(" ", 1)[1] for line in f], ["pause 7.000 s\n"])

        r = self.run_probe(["sleep", "1"])  # untouched by default
        self.assertTrue(0.95 <= float(r.stdout.decode().split()[5]) < 1.5, r.stdout)

        # A signal still cuts a scaled sleep short; the rest is in agent seconds.
        proc = self.start(["--sleep-scale", "0.5"],
                          [PROBE, "catch-sigint", "pause", "sleep", "10"])
        time.sleep(0.1)
        proc.send_signal(signal.SIGINT)  # ends the pause
        time.sleep(1.0)
        proc.send_signal(signal.SIGINT)  # cuts the sleep (5 s scaled) after ~1 s
        out = proc.communicate(timeout=10)[0].decode().split()
        self.assertEqual(proc.returncode, 0)
        self.assertTrue(7 <= int(out[out.index("left") + 1]) <= 9, out)
        self.assertLess(float(out[out.index("after") + 1]), 1.5)


if __name__ == "__main__":
    unittest.main()
