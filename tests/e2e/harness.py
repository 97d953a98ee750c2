"""Runs the real agent binary on the simulated board against the local broker.

Every test gets a fresh broker, observer and board. The agent under test comes
from the environment that ctest sets:
  AGENT_BIN       the agent binary (default build/telemetry-agent)
  SIM_PRELOAD     the simulator's preload library (default: board-sim's own)
  AGENT_QEMU=1    run an ARM agent under qemu-arm
  E2E_SLOWDOWN    factor for the time bounds of start-up and shutdown (emulation)
  E2E_HOST        the loopback address the agent was built to reach (default
                  127.0.0.1), so that builds can be tested side by side
  E2E_AGENT_PORT  the broker port the agent was built to reach (default 1884)
  E2E_TLS=1       the agent speaks MQTT over TLS: the broker then serves TLS on
                  the agent's port, with a certificate signed by a CA that is
                  made for every run in
  E2E_CA_FILE     the CA file the TLS agent was built to trust
"""

import collections
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

# The local device endpoint's helper lives with the endpoint (ctest puts that
# folder on PYTHONPATH, for the suites that import it first).
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "broker"))
from broker import TELEMETRY_TOPIC, Broker, Observer, make_ca  # noqa: E402
from faultproxy import FaultProxy  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.normpath(os.path.join(HERE, "..", ".."))
AGENT = os.environ.get("AGENT_BIN", os.path.join(REPO, "build", "telemetry-agent"))
BOARD_SIM = os.path.join(REPO, "sim", "board-sim")
SIM_PRELOAD = os.environ.get("SIM_PRELOAD")
QEMU = os.environ.get("AGENT_QEMU") == "1"
SLOWDOWN = float(os.environ.get("E2E_SLOWDOWN", "1"))
HOST = os.environ.get("E2E_HOST", "127.0.0.1")
# The agent under test is built with AddressSanitizer.
SANITIZED = os.environ.get("E2E_SANITIZED") == "1"
# The broker host compiled into the agent under test ("localhost" for the
# build the run command uses).
AGENT_HOST = os.environ.get("E2E_AGENT_HOST", HOST)

AGENT_PORT = int(os.environ.get("E2E_AGENT_PORT", "1884"))  # compiled into the agent
TLS = os.environ.get("E2E_TLS") == "1"
CA_FILE = os.environ.get("E2E_CA_FILE")
OBSERVER_PORT = 1885
BROKER_BEHIND_PROXY_PORT = 18840
# With TLS, the broker's plain device listener, which the agent does not use.
PLAIN_PORT = 1884

PAUSE_S = 7.0
# How long after SIGINT the agent may take to end.
SHUTDOWN_BOUND_S = 1.0 * SLOWDOWN
# From the broker's receipt of a message until the agent surely has the
# acknowledgement and is in its pause.
ACK_SETTLE_S = 1.0 * SLOWDOWN
# Slack on measured periods: scheduling, the 100 ms steps of Paho's waits.
PERIOD_SLACK_S = 0.6 * SLOWDOWN

# Sensor frames and the payloads they give.
FRAME_A = "frame 1C 73 33 33 94 7B"
PAYLOAD_A = b'{"Humidity": 45.00, "Temperature": -5.25}'
FRAME_B = "frame 18 80 00 06 66 66"
PAYLOAD_B = b'{"Humidity": 50.00, "Temperature": 30.00}'
FRAME_MIN = "frame 00 00 00 00 00 00"
PAYLOAD_MIN = b'{"Humidity": 0.00, "Temperature": -50.00}'
FRAME_MAX = "frame FF FF FF FF FF FF"
PAYLOAD_MAX = b'{"Humidity": 100.00, "Temperature": 150.00}'

NOTICE = b"\nReceived termination signal. Cleaning up resources...\n"
CONNECT_FAILURE = b"Failed to connect to MQTT server\n"
SENSOR_FAILURE = b"Failed to read sensor data\n"


def published(payload):
    """The two stdout lines of a cycle whose publication was acknowledged."""
    return (b"Published MQTT data - Topic: v1/devices/me/telemetry, Payload: " + payload +
            b"\r\n" + progress(payload))


def progress(payload):
    return b"Data published to MQTT - Topic: v1/devices/me/telemetry, Payload: " + payload + b"\r\n"


def publish_failure(code):
    return b"Failed to publish file data. Return code: %d\n" % code


# The broker as the agent's reason lines name it.
PEER = "%s:%d" % (AGENT_HOST, AGENT_PORT)


def reason(text):
    """The line that follows a failure line when its reason is new."""
    return b"Reason: " + text.encode() + b"\n"


def recovered(text):
    """The line that ends an outage."""
    return b"Recovered: " + text.encode() + b"\n"


REFUSED = reason(f"nothing accepts connections at {PEER} (connection refused)")
LOST = reason(f"the session with the broker at {PEER} was lost")
NO_ACK = reason(f"the broker at {PEER} did not acknowledge within 11 s (the 1 s and 10 s waits)")
NO_SENSOR = reason("no answer from the sensor at 0x38 on I2C bus 0 (check its wiring and power)")
BROKER_BACK = recovered(f"the broker at {PEER} acknowledges publications again")
SENSOR_BACK = recovered("the sensor at 0x38 answers again")


# What the broker's log says of a device's connect: protocol 3.1.1, clean
# session, keep-alive 20 s and the token as user name (a password would have
# been refused by the endpoint).
CONNECT_RE = re.compile(r"^\S+ New client connected from \S+ as (.*)\.$", re.M)
AGENT_SESSION = "quorvalMeshNode (p2, c1, k20, u'Tz8LwQ3nVb6RkY1mHc5J')"

# One line of the simulator's event log: CLOCK_MONOTONIC seconds (as
# time.monotonic()), i2c / uart / net, what happened.
Event = collections.namedtuple("Event", "time subject what")


def bus_setup():
    return "open /dev/i2c-0\nfuncs\naddress 0x38\nwrite 0x38 e1\n"


def bus_measurement(frame_bytes):
    return f"write 0x38 ac\nread 0x38 reg 00 -> {frame_bytes}\n"


class Agent:
    """One run of the agent under board-sim; its stdout and stderr go to files.
    sim_options: more board-sim options; with --new-session the agent (or the
    --shell that runs it) leads a process group of its own. binary: another
    board's agent (default AGENT_BIN)."""

    def __init__(self, state_dir, script=None, no_device=False, args=(), sim_options=(),
                 console=None, closed_fds=(), cwd=None, wrapper=(), binary=AGENT, env=None):
        self.state_dir = state_dir
        self.binary = binary
        self.args = list(args)
        self.script = script
        self.no_device = no_device
        self.sim_options = list(sim_options)
        self.own_group = "--new-session" in self.sim_options
        self.console = console  # a file descriptor for stdout and stderr, else files
        self.closed_fds = tuple(closed_fds)  # standard descriptors the agent starts without
        self.cwd = cwd
        self.wrapper = list(wrapper)  # a command that runs board-sim as "$@"
        self.env = env  # more environment variables (board-sim passes them on)
        self.proc = None
        self.pid = None
        self.interrupted = None  # when interrupt_and_wait sent SIGINT

    def start(self):
        cmd = [BOARD_SIM, "--state-dir", self.state_dir]
        if self.script is not None:
            path = os.path.join(self.state_dir, "script.txt")
            with open(path, "w") as f:
                f.write("\n".join(self.script) + "\n")
            cmd += ["--script", path]
        if self.no_device:
            cmd.append("--no-device")
        if SIM_PRELOAD:
            cmd += ["--preload", SIM_PRELOAD]
        if QEMU:
            cmd.append("--qemu")
        cmd = self.wrapper + cmd + self.sim_options + ["--", self.binary] + self.args
        closed = self.closed_fds
        with open(self._path("stdout"), "wb") as out, open(self._path("stderr"), "wb") as err:
            self.proc = subprocess.Popen(
                cmd, stdin=subprocess.DEVNULL, stdout=self.console or out,
                stderr=self.console or err, cwd=self.cwd,
                env={**os.environ, **self.env} if self.env else None,
                preexec_fn=(lambda: [os.close(fd) for fd in closed]) if closed else None)
        self.pid = self._wait_for_pid()
        return self

    # The time returned is read just before the signal goes: read after it,
    # a test preempted between the two could see the agent's answer first.
    def signal(self, sig):
        """Sends sig to the agent itself; returns when it was sent."""
        sent = time.monotonic()
        os.kill(self.pid, sig)
        return sent

    def signal_group(self, sig):
        """Sends sig to every process of the agent's own group (--new-session),
        as a service manager stops a unit; returns when it was sent."""
        assert self.own_group
        sent = time.monotonic()
        os.killpg(self.pid, sig)
        return sent

    def wait_until_stopped(self, timeout=5.0):
        """Waits until the agent is stopped (SIGSTOP): its state T in /proc."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with open(f"/proc/{self.pid}/stat") as f:
                if f.read().rsplit(")", 1)[1].split()[0] in ("T", "t"):
                    return
            time.sleep(0.001)
        raise AssertionError("the agent did not stop")

    def wait(self, timeout):
        """The exit status as board-sim passes it on (-N: killed by signal N)."""
        return self.proc.wait(timeout)

    def interrupt_and_wait(self, testcase, group=False):
        """SIGINT (to the whole group with group=True), then checks the orderly
        end: exit 0 within the bound."""
        sent = self.signal_group(signal.SIGINT) if group else self.signal(signal.SIGINT)
        self.interrupted = sent
        status = self.wait(10 * SLOWDOWN)
        took = time.monotonic() - sent
        testcase.assertEqual(status, 0)
        testcase.assertLess(took, SHUTDOWN_BOUND_S, "SIGINT to exit took %.2f s" % took)
        return took

    def kill(self):
        if self.own_group and self.pid:
            # The whole group: a child of a --shell may outlive the shell.
            try:
                os.killpg(self.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        if self.proc and self.proc.poll() is None:
            try:
                os.kill(self.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.proc.wait(10)

    def stdout(self):
        return self._read("stdout")

    def stderr(self):
        return self._read("stderr")

    def wait_for_stderr(self, data, timeout):
        """Waits until stderr holds data (stderr is unbuffered); returns when it did."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if data in self.stderr():
                return time.monotonic()
            time.sleep(0.02)
        raise AssertionError(f"stderr never held {data!r}: {self.stderr()!r}")

    def transcript(self):
        return self._read("i2c.log").decode()

    def events(self):
        """The simulator's event log, in order."""
        events = []
        for line in self._read("events.log").decode().splitlines():
            stamp, subject, what = line.split(" ", 2)
            events.append(Event(float(stamp), subject, what))
        return events

    def resident_kb(self):
        """VmRSS of the agent's process (the emulator's, under qemu)."""
        with open(f"/proc/{self.pid}/status") as f:
            return int(re.search(r"^VmRSS:\s+(\d+) kB", f.read(), re.M).group(1))

    def serial(self):
        with open(self._path("serial.json")) as f:
            return json.load(f)

    def _path(self, name):
        return os.path.join(self.state_dir, name)

    def _read(self, name):
        try:
            with open(self._path(name), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return b""

    def _wait_for_pid(self):
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                with open(self._path("agent.pid")) as f:
                    text = f.read().strip()
                if text:
                    return int(text)
            except FileNotFoundError:
                pass
            if self.proc.poll() is not None:
                raise AssertionError("board-sim ended at once: %r" % self.stderr())
            time.sleep(0.01)
        raise AssertionError("board-sim wrote no agent.pid")


_trusted_ca_dir = None


def trusted_ca_dir():
    """The folder of the CA the TLS agent trusts (CA_FILE): a new CA, once per run."""
    global _trusted_ca_dir
    if _trusted_ca_dir is None:
        assert CA_FILE and os.path.basename(CA_FILE) == "ca.crt", CA_FILE
        make_ca(os.path.dirname(CA_FILE))
        _trusted_ca_dir = os.path.dirname(CA_FILE)
    return _trusted_ca_dir


class AgentTestCase(unittest.TestCase):
    """A fresh broker (with an observer) and board per test. With proxy=True the
    agent reaches the broker through a fault proxy on the agent's port; with
    record_wire=True as well, the proxy keeps the bytes it forwards."""

    proxy = False
    record_wire = False
    token = None

    def setUp(self):
        started = time.monotonic()
        self.addCleanup(lambda: print("%s: %.1f s" % (self.id(), time.monotonic() - started),
                                      file=sys.stderr))
        self.dir = tempfile.mkdtemp(prefix="e2e-agent-")
        os.chmod(self.dir, 0o755)  # mosquitto reads its TLS certificate as its own user
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.broker = None
        self.observer = None
        self.fault_proxy = None
        self.agents = []
        self.addCleanup(self._stop_all)

    def start_broker(self, token=None, tokens=None, trusted_ca=True, tls_name=None,
                     tls_expired=False, ipv6_loopback=False):
        """The broker, on the port the agent reaches (or behind the proxy). token: the
        one device token (default the agent's); tokens: a token registry file in its
        place. With TLS, its certificate is signed by the CA the agent trusts
        (trusted_ca=False: by one of its own), for the agent's host (or tls_name),
        expired with tls_expired. ipv6_loopback: the agent's port listens on ::1 as well."""
        port = BROKER_BEHIND_PROXY_PORT if self.proxy else AGENT_PORT
        options = {"token": token} if token else {}
        if tokens:
            options["tokens"] = tokens
        if TLS:
            options.update(port=PLAIN_PORT, tls_port=port, tls_name=tls_name,
                           tls_expired=tls_expired, tls_ca=trusted_ca_dir() if trusted_ca else None)
        else:
            options.update(port=port, ipv6_loopback=ipv6_loopback)
        self.broker = Broker(os.path.join(self.dir, "broker"), observer_port=OBSERVER_PORT,
                             host=HOST, **options).start()
        self.observer = Observer(port=OBSERVER_PORT, host=HOST).start()
        if self.proxy and self.fault_proxy is None:
            self.fault_proxy = FaultProxy(AGENT_PORT, BROKER_BEHIND_PROXY_PORT, host=HOST,
                                          record=self.record_wire).start()

    def stop_broker(self):
        self.observer.stop()
        self.broker.stop()

    def broker_pid(self):
        with open(os.path.join(self.dir, "broker", "mosquitto.pid")) as f:
            return int(f.read())

    def start_agent(self, script=None, no_device=False, args=(), sim_options=(), **options):
        """options: those of Agent (console, closed_fds, cwd, wrapper, binary, env)."""
        state = os.path.join(self.dir, "board%d" % len(self.agents))
        os.makedirs(state)
        agent = Agent(state, script=script, no_device=no_device, args=args,
                      sim_options=sim_options, **options).start()
        self.agents.append(agent)
        return agent

    def wait_for_messages(self, count, timeout):
        """Waits for the observer's count-th message; returns (messages, arrival time)."""
        messages = self.observer.wait_for(count, timeout)
        arrived = time.monotonic()
        self.assertGreaterEqual(len(messages), count,
                                "the broker received %d of %d messages" % (len(messages), count))
        return messages, arrived

    def assertTelemetry(self, messages, payloads):
        """Exactly these payloads, on the telemetry topic, QoS 1, not retained."""
        self.assertEqual([(m.topic, m.payload, m.qos, m.retain) for m in messages],
                         [(TELEMETRY_TOPIC, p, 1, False) for p in payloads])

    def device_sessions(self):
        """The devices' connects in the broker's log so far (the observer's left out)."""
        return [s for s in CONNECT_RE.findall(self.broker.log()) if not s.startswith("observer-")]

    def assertSessions(self, sessions):
        """The broker's log shows exactly these connects of devices (client id and options)."""
        self.assertEqual(self.device_sessions(), sessions, self.broker.log())

    def assertGaveUp(self, agent, why):
        """The agent could not connect at start: exit 255 with the failure line and
        its reason (bytes, or a compiled pattern of the reason line), before it
        touched the sensor or the serial port."""
        self.assertEqual(agent.wait(40 * SLOWDOWN), 255)
        if isinstance(why, bytes):
            self.assertEqual(agent.stderr(), CONNECT_FAILURE + why)
        else:
            self.assertTrue(agent.stderr().startswith(CONNECT_FAILURE), agent.stderr())
            self.assertRegex(agent.stderr()[len(CONNECT_FAILURE):], why)
        self.assertEqual(agent.stdout(), b"")
        self.assertEqual(agent.transcript(), "")
        self.assertFalse(agent.serial()["opened"])

    def assertAbout(self, measured, expected, slack=PERIOD_SLACK_S):
        self.assertLess(abs(measured - expected), slack,
                        "%.2f s where about %.2f s was expected" % (measured, expected))

    def _stop_all(self):
        for agent in self.agents:
            agent.kill()
        if self.fault_proxy:
            self.fault_proxy.stop()
        if self.observer:
            self.observer.stop()
        if self.broker:
            self.broker.stop()
