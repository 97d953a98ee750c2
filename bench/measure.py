#!/usr/bin/python3
"""Runs the agent and the alternatives on the simulated board against the
local broker and writes every figure to a JSON file (report.py turns it into
the table and the chart). bench/bench.sh is the command that calls this; see
bench/README.md for what is measured and how.

    measure.py --agent NAME=BINARY [--agent NAME=BINARY] [--floor BINARY] --preload LIB
               --plugin SO --work DIR --out FILE [--reps N] [--long-cycles N]
               [--sleep-scale F] [--run-cycles N] [--pause-scale F] [--no-shell] [--mode-lanes]
               [--tls-ca DIR]

The broker listens on BENCH_HOST (default 127.0.0.3), the address the agents
are built for.
"""

import argparse
import json
import os
import re
import resource
import shutil
import signal
import subprocess
import sys
import threading
import time

import benchlib

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(REPO, "broker"))
from broker import TELEMETRY_TOPIC, Broker, Observer  # noqa: E402

# The bench agent is built for it (bench/bench.sh: --host, or BENCH_HOST); the
# tests use 127.0.0.1.
BROKER_HOST = os.environ.get("BENCH_HOST", "127.0.0.3")
BROKER_PORT = 1884
OBSERVER_PORT = 1885
BROKER_TLS_PORT = 8883  # with --tls-ca: the TLS agent's
PYTHON = "/usr/bin/python3"
SHELL = "/bin/sh"

SHORT_CYCLES = 1
LONG_CYCLES = 4  # --run-cycles sets another (at least IDLE_WINDOW_CYCLE + 1)
PAUSE_S = 7.0
# SIGINT goes this long after the broker received a cycle's publication:
# inside the 7 s pause, whatever the program still does after the
# acknowledgement (valgrind makes that slow). This and the windows below
# shrink with the pause when the simulator scales it (--pause-scale).
SIGNAL_DELAY_S = 3.5
SIGNAL_DELAY_INSTRUMENTED_S = 4.5
# Wake-ups are counted over this part of the pause after the second cycle.
IDLE_WINDOW_S = (1.0, 6.0)
IDLE_WINDOW_CYCLE = 2
# CPU time per cycle is counted between this point of the pause after the
# first cycle and the same point after the last (before SIGINT).
CPU_WINDOW_OFFSET_S = 3.0
LONG_RUN_PROBES = (10, 100, 250, 500, 750, 1000)

PAYLOAD = re.compile(rb'\{"Humidity": (\d{1,3}\.\d\d), "Temperature": (-?\d{1,3}\.\d\d)\}')
NOTICE = b"Received termination signal. Cleaning up resources..."


class BenchError(Exception):
    pass


def log(text):
    print(f"[{time.strftime('%H:%M:%S')}] {text}", flush=True)


# ---- the broker's log: who published when ----


class BrokerLog(threading.Thread):
    """Follows mosquitto's log (log_type all) and records, per client id, when
    each PUBLISH arrived and when each client connected."""

    PUBLISH = re.compile(r"Received PUBLISH from (\S+) ")
    CONNECTED = re.compile(r"New client connected from \S+ as (\S+) ")

    def __init__(self, path):
        super().__init__(daemon=True)
        self.path = path
        self.lock = threading.Lock()
        self.published = {}
        self.connected = []  # (time, client id)
        self.stopping = threading.Event()

    def run(self):
        with open(self.path, "rb") as f:
            partial = b""
            while not self.stopping.is_set():
                chunk = f.read()
                if not chunk:
                    time.sleep(0.01)
                    continue
                now = time.monotonic()
                lines = (partial + chunk).split(b"\n")
                partial = lines.pop()
                with self.lock:
                    for raw in lines:
                        line = raw.decode(errors="replace")
                        m = self.PUBLISH.search(line)
                        if m:
                            self.published.setdefault(m.group(1), []).append(now)
                        m = self.CONNECTED.search(line)
                        if m:
                            self.connected.append((now, m.group(1)))

    def publications(self, client):
        with self.lock:
            if client is None:
                return sorted(t for times in self.published.values() for t in times)
            return list(self.published.get(client, []))

    def publishers_since(self, since):
        with self.lock:
            return {c for c, times in self.published.items() if any(t >= since for t in times)}


class TimedObserver(Observer):
    """The project's observer, with the arrival time of every message."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.times = []

    def _on_publish(self, first, body):
        arrived = time.monotonic()
        super()._on_publish(first, body)
        with self._cond:
            self.times.append(arrived)

    def since(self, t):
        with self._cond:
            return [(when, msg) for when, msg in zip(self.times, self._messages) if when >= t]


# ---- /proc ----


def read_status(pid):
    values = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                values[key] = int(rest.split()[0])
    return values


def mapping_rss_kb(pid, name_part):
    """Resident kB of the mappings of pid whose file name contains name_part."""
    total, inside = 0, False
    with open(f"/proc/{pid}/smaps") as f:
        for line in f:
            first = line.split(None, 1)[0]
            if "-" in first and not first.endswith(":"):
                inside = name_part in line
            elif inside and first == "Rss:":
                total += int(line.split()[1])
    return total


def group_pids(pgid, leave_out=()):
    """Processes of a process group (the program and what it started), but
    those in leave_out (the launcher)."""
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        fields = stat[stat.rindex(")") + 2:].split()
        if int(fields[2]) == pgid and fields[0] != "Z" and int(entry) not in leave_out:
            pids.append(int(entry))
    return pids


def context_switches(pgid, leave_out=()):
    """{(pid, tid): voluntary + involuntary switches} over the group's threads."""
    counts = {}
    for pid in group_pids(pgid, leave_out):
        try:
            tids = os.listdir(f"/proc/{pid}/task")
        except OSError:
            continue
        for tid in tids:
            try:
                with open(f"/proc/{pid}/task/{tid}/status") as f:
                    n = 0
                    for line in f:
                        if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                            n += int(line.split()[1])
                counts[(pid, int(tid))] = n
            except OSError:
                continue
    return counts


def group_rss_kb(pgid, leave_out=()):
    total = 0
    for pid in group_pids(pgid, leave_out):
        try:
            total += read_status(pid).get("VmRSS", 0)
        except OSError:
            pass
    return total


def child_pid(parent, program, timeout=10.0):
    """The child of parent (spawn or strace) that runs program: strace also
    starts short-lived children of its own to probe the kernel."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with open(f"/proc/{parent}/task/{parent}/children") as f:
                children = f.read().split()
        except OSError:
            children = []
        for child in children:
            try:
                with open(f"/proc/{child}/cmdline", "rb") as f:
                    argv0 = f.read().split(b"\0", 1)[0].decode()
            except OSError:
                continue
            if argv0 == program:
                return int(child)
        time.sleep(0.002)
    raise BenchError(f"pid {parent} did not start {program}")


# ---- the simulated board ----


class Board:
    """What board-sim sets up, without its launcher (the program is started
    by spawn, or by strace or valgrind): a pseudo-terminal as UART 0, the MRAA
    platform file and the simulator's library with its settings."""

    def __init__(self, run_dir, preload, transcript=False, sleep_scale=None):
        self.master, self.slave = os.openpty()
        self.uart = os.ttyname(self.slave)
        platform = {
            "version": "1.1.0",
            "platform": [{"id": 1, "name": "bench-board", "pin_count": 1, "i2c_count": 1,
                          "uart_count": 1}],
            "layout": [{"label": "NC", "invalid": True}],
            "GPIO": [],
            "I2C": [{"index": 0, "bus": 0, "default": True}],
            "UART": [{"index": 0, "chipID": 0, "rawpin": 0, "path": self.uart, "default": True}],
        }
        self.platform = os.path.join(run_dir, "platform.json")
        with open(self.platform, "w") as f:
            json.dump(platform, f)
        self.transcript = os.path.join(run_dir, "i2c.log") if transcript else None
        self.env = {
            "LD_PRELOAD": preload,
            "MRAA_JSON_PLATFORM": self.platform,
            "BOARDSIM_I2C_DEV": "/dev/i2c-0",
            "BOARDSIM_SEED": "1",
        }
        if self.transcript:
            open(self.transcript, "w").close()
            self.env["BOARDSIM_TRANSCRIPT"] = self.transcript
        if sleep_scale:
            self.env["BOARDSIM_SLEEP_SCALE"] = repr(sleep_scale)

    def transcript_lines(self):
        if not self.transcript:
            return []
        with open(self.transcript) as f:
            return f.read().splitlines()

    def close(self):
        os.close(self.master)
        os.close(self.slave)


# ---- the programs ----


class Program:
    """role: "agent" (a build of the agent), "alternative" (configured through
    alternative_env) or "floor" (bench/floor.c: the agent's Paho calls alone,
    no sensor, silent but for failures)."""

    def __init__(self, name, label, argv, role, env=None, has_children=False, client_id=None):
        self.name = name
        self.label = label
        self.argv = argv
        self.role = role
        self.env = env or {}
        self.has_children = has_children
        self.client_id = client_id  # learnt in the check run

    @property
    def reads_sensor(self):
        return self.role != "floor"

    @property
    def prints_notice(self):
        return self.role != "floor"

    @property
    def pause_scalable(self):
        """Its pause (sleep(), or the agent's sem_clockwait()) the simulator can scale; Python's
        time.sleep and the shell's sleep process it cannot."""
        return self.role != "alternative"


def base_environment():
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("LD_PRELOAD", "BOARDSIM_", "MRAA_", "MQTT_C_CLIENT_", "PYTHON"))}
    env["LC_ALL"] = "C"
    return env


def alternative_env(board):
    return {"BROKER_HOST": BROKER_HOST, "BROKER_PORT": str(BROKER_PORT), "SERIAL_PORT": board.uart}


# ---- the check run ----

TRIGGER = re.compile(r"write 0x38 ac|0x38 .*reg ac")
FRAME_READ = re.compile(r"read 0x38 .*-> (\w\w ){5}\w\w$")


def check_cycle(program, messages, transcript):
    """What the check run requires of a program's one cycle, from what reached
    the observer and the bus transcript: one publication with QoS 1 on the
    telemetry topic, a payload like the agent's, and a measurement on the bus
    (the trigger, then a 6-byte read) or, from the floor, which has no sensor,
    no bus operation at all. Returns the payload."""
    if len(messages) != 1:
        raise BenchError(f"check of {program.name}: {len(messages)} messages reached the observer")
    msg = messages[0]
    if msg.topic != TELEMETRY_TOPIC or msg.qos != 1 or not PAYLOAD.fullmatch(msg.payload):
        raise BenchError(f"check of {program.name}: wrong publication {msg}")
    if program.reads_sensor:
        if not any(TRIGGER.search(line) for line in transcript) or \
                not any(FRAME_READ.search(line) for line in transcript):
            raise BenchError(f"check of {program.name}: no measurement on the bus: {transcript}")
    else:
        bus = [line for line in transcript if line.strip() and not line.startswith("#")]
        if bus:
            raise BenchError(f"check of {program.name}: it has no sensor but used the bus: {bus}")
    return msg.payload


# ---- one run ----


class Run:
    """One run of a program for a number of cycles, ended with SIGINT in the
    pause after the last one. mode: plain, strace or callgrind."""

    def __init__(self, bench, program, cycles, mode, run_dir, transcript=False, sleep_scale=None,
                 probes=(), idle_window=False, signal_delay=None, client=None):
        self.bench = bench
        self.program = program
        self.cycles = cycles
        self.mode = mode
        self.dir = run_dir
        self.transcript = transcript
        self.sleep_scale = sleep_scale
        self.probes = sorted(probes)
        self.idle_window = idle_window
        self.client = client if client is not None else program.client_id
        # The points in the pause move with it when the simulator scales it.
        self.scale = sleep_scale or 1.0
        if signal_delay is None:
            signal_delay = self.scale * (SIGNAL_DELAY_S if mode == "plain"
                                         else SIGNAL_DELAY_INSTRUMENTED_S)
        self.signal_delay = signal_delay
        self.result = {"program": program.name, "mode": mode, "cycles": cycles}
        self.report = os.path.join(run_dir, "spawn.report")
        self.perf_file = os.path.join(run_dir, "perf.txt")

    def command(self):
        argv = list(self.program.argv)
        if self.mode == "strace":
            return ["strace", "-f", "-c", "-U", "calls,name",
                    "-o", os.path.join(self.dir, "strace.txt"), "--"] + argv
        if self.mode == "callgrind":
            return ["valgrind", "-q", "--tool=callgrind", "--trace-children=yes",
                    "--callgrind-out-file=" + os.path.join(self.dir, "callgrind.out.%p.%n"),
                    "--"] + argv
        # perf counts the CPU time of the program and all it starts, read
        # every 0.1 s; spawn reports wait4's figures.
        return ["perf", "stat", "-e", "task-clock", "-I", "100", "-x,", "-o", self.perf_file,
                "--", self.bench.spawn, self.report] + argv

    def execute(self):
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        board = Board(self.dir, self.bench.preload, self.transcript, self.sleep_scale)
        try:
            return self._execute(board)
        finally:
            board.close()

    def _execute(self, board):
        env = base_environment()
        env.update(board.env)
        if self.program.role == "alternative":
            env.update(alternative_env(board))
        env.update(self.program.env)
        published_before = len(self.bench.broker_log.publications(self.client))
        stdout = open(os.path.join(self.dir, "stdout"), "wb")
        stderr = open(os.path.join(self.dir, "stderr"), "wb")
        started = time.monotonic()
        proc = subprocess.Popen(self.command(), env=env, stdin=subprocess.DEVNULL, stdout=stdout,
                                stderr=stderr, start_new_session=True)
        stdout.close()
        stderr.close()
        self.result["started"] = started
        if self.mode == "plain":
            launchers = [proc.pid, child_pid(proc.pid, self.bench.spawn)]
            pid = child_pid(launchers[1], self.program.argv[0])
        elif self.mode == "strace":
            launchers = [proc.pid]
            pid = child_pid(proc.pid, self.program.argv[0])
        else:
            launchers = []
            pid = proc.pid
        pause = PAUSE_S * self.scale
        idle_from, idle_to = (self.scale * t for t in IDLE_WINDOW_S)
        deadline = started + 120 + self.cycles * (pause + 1) * (2 if self.mode != "plain" else 1.5)
        probes = list(self.probes)
        idle = None
        if self.idle_window and self.cycles > IDLE_WINDOW_CYCLE:
            idle = {"from": None, "to": None}
        rss_samples = []
        try:
            while True:
                if proc.poll() is not None:
                    raise BenchError(f"{self.program.name} ended by itself (status "
                                     f"{proc.returncode}) after "
                                     f"{len(self.bench.broker_log.publications(self.client)) - published_before}"
                                     f" publications; see {self.dir}")
                now = time.monotonic()
                if now > deadline:
                    raise BenchError(f"{self.program.name} did not complete {self.cycles} cycles "
                                     f"in time; see {self.dir}")
                times = self.bench.broker_log.publications(self.client)[published_before:]
                while probes and len(times) >= probes[0]:
                    status = read_status(pid)
                    rss_samples.append({"cycle": len(times), "rss_kb": status["VmRSS"],
                                        "hwm_kb": status["VmHWM"]})
                    probes.pop(0)
                if idle is not None and len(times) >= IDLE_WINDOW_CYCLE:
                    t = times[IDLE_WINDOW_CYCLE - 1]
                    if idle["from"] is None and now >= t + idle_from:
                        if len(times) > IDLE_WINDOW_CYCLE:
                            raise BenchError("the idle window was missed")
                        idle["from"] = (now, context_switches(proc.pid, launchers))
                    elif idle["from"] is not None and idle["to"] is None and \
                            now >= t + idle_to:
                        idle["to"] = (now, context_switches(proc.pid, launchers))
                        idle["rss_kb"] = group_rss_kb(proc.pid, launchers)
                        if len(times) > IDLE_WINDOW_CYCLE:
                            raise BenchError("the idle window ran into the next cycle")
                if len(times) >= self.cycles and now >= times[self.cycles - 1] + self.signal_delay \
                        and not probes and (idle is None or idle["to"] is not None):
                    break
                time.sleep(0.005)

            status = read_status(pid)
            own_hwm = status["VmHWM"]
            sim_rss = mapping_rss_kb(pid, "libboardsim")
            signalled = time.monotonic()
            os.kill(pid, signal.SIGINT)
            wstatus, usage = self._wait(proc)
        finally:
            if proc.returncode is None:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
            # Nothing of the run may outlive it (the shell's pause, say).
            for leftover in group_pids(proc.pid):
                try:
                    os.kill(leftover, signal.SIGKILL)
                except ProcessLookupError:
                    pass
        if usage is None:
            raise BenchError(f"{self.program.name} did not end within 60 s of SIGINT; see {self.dir}")
        exit_code = os.waitstatus_to_exitcode(wstatus)
        times = self.bench.broker_log.publications(self.client)[published_before:]
        spawned = None
        if self.mode == "plain":
            with open(self.report) as f:
                start_ns, end_ns, utime_us, stime_us, maxrss_kb, status = map(int, f.read().split())
            spawned = {"start": start_ns / 1e9, "end": end_ns / 1e9,
                       "cpu_s": (utime_us + stime_us) / 1e6, "maxrss_kb": maxrss_kb}
            exit_code = os.waitstatus_to_exitcode(status)
        if exit_code != 0:
            raise BenchError(f"{self.program.name} exited with {exit_code} after SIGINT; see {self.dir}")
        if len(times) != self.cycles and not (self.signal_delay == 0 and len(times) > self.cycles):
            raise BenchError(f"{self.program.name}: {len(times)} publications, {self.cycles} expected "
                             f"(SIGINT outside the pause?); see {self.dir}")
        with open(os.path.join(self.dir, "stdout"), "rb") as f:
            out = f.read()
        if self.program.prints_notice and NOTICE not in out:
            raise BenchError(f"{self.program.name} printed no shutdown notice; see {self.dir}")

        r = self.result
        r.update({
            "publications": [t - started for t in times],
            "own_hwm_kb": own_hwm,
            "sim_rss_kb": sim_rss,
            "rss_samples": rss_samples,
            "stdout_lines": out.count(b"\n"),
        })
        if spawned:
            # Times from spawn, next to the program: from just before its fork,
            # and until its exit was seen.
            started = spawned["start"]
            r.update({
                "sigint_to_exit_s": spawned["end"] - signalled,
                "cpu_s": spawned["cpu_s"],
                "maxrss_kb": spawned["maxrss_kb"],
                # The simulator's own library is not part of what a board carries.
                "peak_rss_kb": benchlib.tree_peak_kb(own_hwm, spawned["maxrss_kb"],
                                                     self.program.has_children) - sim_rss,
            })
        cpu_offset = self.scale * CPU_WINDOW_OFFSET_S
        if self.mode == "plain" and self.cycles > 1 and self.signal_delay > cpu_offset:
            # CPU time from the pause after the first cycle to the pause after
            # the last: whole cycles, without start-up and shutdown.
            with open(self.perf_file) as f:
                intervals = benchlib.parse_perf_intervals(f.read())
            t_first = times[0] + cpu_offset - self.result["started"]
            t_last = times[-1] + cpu_offset - self.result["started"]
            r["cpu_window_s"] = benchlib.cpu_between(intervals, t_first, t_last)
            r["cpu_s_per_cycle"] = r["cpu_window_s"] / (len(times) - 1)
        if idle is not None:
            (t0, before), (t1, after) = idle["from"], idle["to"]
            r["idle_window_s"] = t1 - t0
            r["idle_wakeups"] = benchlib.wakeups_between(before, after)
            r["steady_rss_kb"] = idle["rss_kb"] - sim_rss
        if self.mode == "plain":
            first = self.bench.observer.since(started)
            r["first_ack_s"] = first[0][0] - started if first else None
        lines = board.transcript_lines() if self.transcript else []
        r["transcript"] = lines
        if self.mode == "strace":
            with open(os.path.join(self.dir, "strace.txt")) as f:
                total, calls = benchlib.parse_strace_summary(f.read())
            r["syscalls_raw"] = total
            r["syscalls_by_name"] = calls
            r["sim_syscalls"] = benchlib.simulator_syscalls(lines) + \
                benchlib.bus_opens(lines) * self.bench.calibration["preload_syscalls"]
            r["syscalls"] = total - r["sim_syscalls"]
        if self.mode == "callgrind":
            parts = [benchlib.parse_callgrind(open(os.path.join(self.dir, n)).read())
                     for n in sorted(os.listdir(self.dir)) if n.startswith("callgrind.out.")]
            if not parts:
                raise BenchError(f"no callgrind output in {self.dir}")
            total = sum(p["total"] for p in parts)
            into_sim = sum(p["into_sim"] for p in parts)
            loads = sum(1 for p in parts if p["sim_loaded"])
            r["instructions_raw"] = total
            r["processes"] = len(parts)
            r["sim_instructions"] = into_sim + loads * self.bench.calibration["preload_instructions"]
            r["instructions"] = total - r["sim_instructions"]
        return r

    @staticmethod
    def _wait(proc, timeout=60.0):
        """wait4 on proc; the group is killed if it has not ended by timeout
        (then the result is None)."""
        timer = threading.Timer(timeout, lambda: os.killpg(proc.pid, signal.SIGKILL))
        timer.start()
        try:
            _, wstatus, usage = os.wait4(proc.pid, 0)
        finally:
            timer.cancel()
        proc.returncode = os.waitstatus_to_exitcode(wstatus)
        if os.WIFSIGNALED(wstatus) and os.WTERMSIG(wstatus) == signal.SIGKILL:
            return None, None
        return wstatus, usage


# ---- the bench ----


class Bench:
    def __init__(self, args):
        self.args = args
        self.preload = os.path.abspath(args.preload)
        self.spawn = os.path.abspath(args.spawn)
        self.work = os.path.abspath(args.work)
        self.runs_dir = os.path.join(self.work, "runs")
        self.long = args.run_cycles
        self.programs = []
        self.agent_names = []
        for entry in args.agent:
            name, _, binary = entry.partition("=")
            variant = name.split("-", 1)[-1]
            label = "agent" if name == "agent" else \
                f"agent ({'TLS' if variant == 'tls' else variant})"
            self.programs.append(Program(name, label, [os.path.abspath(binary)], "agent"))
            self.agent_names.append(name)
        self.programs.append(Program("python", "Python (paho-mqtt, smbus2)",
                                     [PYTHON, os.path.join(HERE, "python_agent.py")],
                                     "alternative"))
        if not args.no_shell:
            self.programs.append(Program("shell", "shell loop (mosquitto_pub, i2ctransfer)",
                                         [SHELL, os.path.join(HERE, "shell_agent.sh")],
                                         "alternative",
                                         # One i2ctransfer triggers and reads at once (the
                                         # simulated sensor lives in its process): the
                                         # instant sensor, or it would read busy.
                                         env={"BOARDSIM_CONVERSION_MS": "0"}, has_children=True))
        if args.floor:
            # On the simulated board like the others, so that it is measured
            # the same way (and the long run's sleep scale applies to it).
            self.programs.append(Program("floor", "floor (Paho calls only)",
                                         [os.path.abspath(args.floor)], "floor"))
        self.broker = None
        self.broker_log = None
        self.observer = None
        self.calibration = {}
        self.results = {"runs": [], "programs": {}, "settings": {}}

    def program(self, name):
        return next(p for p in self.programs if p.name == name)

    # -- set-up --

    def start(self):
        shutil.rmtree(self.runs_dir, ignore_errors=True)
        os.makedirs(self.runs_dir)
        state = os.path.join(self.work, "broker")
        shutil.rmtree(state, ignore_errors=True)
        os.makedirs(state)
        os.chmod(state, 0o755)
        tls = {"tls_port": BROKER_TLS_PORT, "tls_ca": os.path.abspath(self.args.tls_ca)} \
            if self.args.tls_ca else {}
        self.broker = Broker(state, host=BROKER_HOST, port=BROKER_PORT,
                             observer_port=OBSERVER_PORT, plugin=os.path.abspath(self.args.plugin),
                             **tls)
        self.broker.start()
        self.broker_log = BrokerLog(os.path.join(state, "mosquitto.log"))
        self.broker_log.start()
        self.observer = TimedObserver(host=BROKER_HOST, port=OBSERVER_PORT, topic=TELEMETRY_TOPIC)
        self.observer.start()

    def stop(self):
        if self.observer:
            self.observer.stop()
        if self.broker_log:
            self.broker_log.stopping.set()
        if self.broker:
            self.broker.stop()

    def calibrate(self):
        """What loading the simulator's library costs a process that would not
        otherwise have it (the shell loop's i2ctransfer, once per cycle)."""
        d = os.path.join(self.runs_dir, "calibration")
        os.makedirs(d)
        true = shutil.which("true") or "/bin/true"
        env = base_environment()
        counts = {}
        for preloaded in (False, True):
            e = dict(env, LD_PRELOAD=self.preload) if preloaded else env
            out = os.path.join(d, f"strace-{preloaded}.txt")
            subprocess.run(["strace", "-f", "-c", "-U", "calls,name", "-o", out, true], env=e,
                           check=True)
            syscalls = benchlib.parse_strace_summary(open(out).read())[0]
            cg = os.path.join(d, f"callgrind-{preloaded}.out")
            subprocess.run(["valgrind", "-q", "--tool=callgrind", f"--callgrind-out-file={cg}", true],
                           env=e, check=True)
            counts[preloaded] = (syscalls, benchlib.parse_callgrind(open(cg).read())["total"])
        self.calibration = {
            "preload_syscalls": counts[True][0] - counts[False][0],
            "preload_instructions": counts[True][1] - counts[False][1],
        }
        self.results["calibration"] = self.calibration
        log(f"simulator library load: {self.calibration['preload_syscalls']} system calls, "
            f"{self.calibration['preload_instructions']} instructions per process")

    def run(self, program, cycles, mode, tag, **kw):
        d = os.path.join(self.runs_dir, program.name, f"{mode}-{cycles}-{tag}")
        if program.pause_scalable and "sleep_scale" not in kw:
            kw["sleep_scale"] = self.args.pause_scale
        result = Run(self, program, cycles, mode, d, **kw).execute()
        result["tag"] = tag
        self.results["runs"].append(result)
        return result

    # -- phases --

    def check(self):
        """One cycle of each program, alone, with the bus transcript: it must
        publish the payload with QoS 1 from a real measurement and end in
        order. Learns each program's MQTT client id."""
        first_payloads = {}
        for program in self.programs:
            seen_before = len(self.observer.messages())
            started = time.monotonic()
            r = self.run(program, 1, "plain", "check", transcript=True, client=None)
            publishers = self.broker_log.publishers_since(started)
            if len(publishers) != 1:
                raise BenchError(f"check of {program.name}: publishers {publishers}")
            program.client_id = publishers.pop()
            first_payloads[program.name] = check_cycle(
                program, self.observer.messages()[seen_before:], r["transcript"])
            log(f"check {program.name}: client id {program.client_id}, "
                f"payload {first_payloads[program.name].decode()}")
        # The floor's payload is fixed: it read nothing.
        values = {p.name: tuple(float(v) for v in PAYLOAD.fullmatch(first_payloads[p.name]).groups())
                  for p in self.programs if p.reads_sensor}
        reference = values[self.agent_names[0]]
        for name, v in values.items():
            if any(abs(a - b) > 0.0101 for a, b in zip(v, reference)):
                raise BenchError(f"{name} turned the same first measurement into {v}, the agent "
                                 f"into {reference}")
        self.results["first_payloads"] = {k: v.decode() for k, v in first_payloads.items()}

    def plain_runs(self):
        """Timing and memory, one program at a time."""
        for rep in range(self.args.reps):
            for program in self.programs:
                self.run(program, SHORT_CYCLES, "plain", f"r{rep}")
                self.run(program, self.long, "plain", f"r{rep}", idle_window=True)
                log(f"plain runs {program.name} rep {rep + 1}/{self.args.reps} done")

    def instrumented_runs(self):
        """strace and callgrind runs (insensitive to timing), one lane per
        program so that they overlap; the agents share one lane (one MQTT
        client id), which also does their long runs. The floor's lane does the
        floor's long run. With --mode-lanes an alternative's callgrind runs go
        in a lane of their own, under a client id of their own."""
        errors = []

        def lane(programs, long_runs, modes=("strace", "callgrind")):
            try:
                for rep in range(self.args.reps):
                    for program in programs:
                        for mode in modes:
                            transcript = mode == "strace"
                            self.run(program, SHORT_CYCLES, mode, f"r{rep}", transcript=transcript)
                            self.run(program, self.long, mode, f"r{rep}", transcript=transcript)
                        log(f"{' and '.join(modes)} runs {program.name} rep "
                            f"{rep + 1}/{self.args.reps} done")
                for program in long_runs:
                    probes = [c for c in LONG_RUN_PROBES if c < self.args.long_cycles] + \
                        [self.args.long_cycles]
                    self.run(program, self.args.long_cycles, "plain", "long",
                             sleep_scale=self.args.sleep_scale, probes=probes, signal_delay=0)
                    log(f"{self.args.long_cycles}-cycle run {program.name} done")
            except Exception as e:  # noqa: BLE001 - reported by the main thread
                errors.append(e)

        agents = [self.program(n) for n in self.agent_names]
        lanes = [threading.Thread(target=lane, args=(agents, agents))]
        for program in self.programs:
            if program.role == "alternative" and self.args.mode_lanes:
                client = f"{program.client_id}-callgrind"
                twin = Program(program.name, program.label, program.argv, program.role,
                               env=dict(program.env, CLIENT_ID=client),
                               has_children=program.has_children, client_id=client)
                lanes.append(threading.Thread(target=lane, args=([program], [], ("strace",))))
                lanes.append(threading.Thread(target=lane, args=([twin], [], ("callgrind",))))
            elif program.role == "alternative":
                lanes.append(threading.Thread(target=lane, args=([program], [])))
            elif program.role == "floor":
                lanes.append(threading.Thread(target=lane, args=([program], [program])))
        for t in lanes:
            t.start()
        for t in lanes:
            t.join()
        if errors:
            raise errors[0]

    # -- figures --

    def summarise(self):
        runs = self.results["runs"]
        for program in self.programs:
            mine = [r for r in runs if r["program"] == program.name and r["tag"] != "check"]

            def pick(mode, cycles, tag_prefix="r"):
                return {r["tag"]: r for r in mine
                        if r["mode"] == mode and r["cycles"] == cycles and
                        r["tag"].startswith(tag_prefix)}

            def cycle_cost(mode, key):
                short, long_ = pick(mode, SHORT_CYCLES), pick(mode, self.long)
                values = [benchlib.per_cycle(short[t][key], long_[t][key], SHORT_CYCLES,
                                             self.long) for t in short if t in long_]
                return benchlib.median(values), values

            plain_long = list(pick("plain", self.long).values())
            plain_all = plain_long + list(pick("plain", SHORT_CYCLES).values())
            figures = {}
            figures["peak_rss_kb"] = benchlib.median([r["peak_rss_kb"] for r in plain_long])
            figures["steady_rss_kb"] = benchlib.median([r["steady_rss_kb"] for r in plain_long])
            figures["instructions_per_cycle"], ins = cycle_cost("callgrind", "instructions")
            cpu = [r["cpu_s_per_cycle"] for r in plain_long]
            figures["cpu_ms_per_cycle"] = 1000 * benchlib.median(cpu)
            figures["syscalls_per_cycle"], sc = cycle_cost("strace", "syscalls")
            figures["idle_wakeups_per_s"] = benchlib.median(
                [r["idle_wakeups"] / r["idle_window_s"] for r in plain_long])
            figures["first_ack_ms"] = 1000 * benchlib.median([r["first_ack_s"] for r in plain_all])
            figures["sigint_to_exit_ms"] = 1000 * benchlib.median(
                [r["sigint_to_exit_s"] for r in plain_all])
            samples = {"instructions_per_cycle": ins, "cpu_ms_per_cycle": [v * 1000 for v in cpu],
                       "syscalls_per_cycle": sc,
                       "raw_syscalls_per_cycle": cycle_cost("strace", "syscalls_raw")[1],
                       "raw_instructions_per_cycle": cycle_cost("callgrind", "instructions_raw")[1]}
            long_run = [r for r in mine if r["tag"] == "long"]
            if long_run:
                # Without the simulator's own library, like the other memory figures.
                sim = long_run[0]["sim_rss_kb"]
                s = [(x["cycle"], x["rss_kb"] - sim) for x in long_run[0]["rss_samples"]]
                figures["rss_long_first_kb"] = s[0][1]
                figures["rss_long_last_kb"] = s[-1][1]
                figures["rss_long_growth_kb"] = s[-1][1] - s[0][1]
                figures["long_cycles"] = (s[0][0], s[-1][0])
                samples["rss_long"] = s
            self.results["programs"][program.name] = {
                "label": program.label, "client_id": program.client_id, "figures": figures,
                "samples": samples, "role": program.role,
            }


def resummarise(args):
    """Recomputes the figures of an earlier results file from its runs."""
    with open(args.out) as f:
        saved = json.load(f)
    args.run_cycles = saved["settings"]["long_cycles"]
    args.no_shell = "shell" not in saved["programs"]
    args.mode_lanes = saved["settings"].get("mode_lanes", False)
    bench = Bench(args)
    bench.results = saved
    for program in bench.programs:
        program.client_id = saved["programs"][program.name]["client_id"]
    bench.summarise()
    with open(args.out, "w") as f:
        json.dump(bench.results, f, indent=1)
    log(f"figures recomputed in {args.out}")


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--agent", action="append", required=True,
                   help="NAME=BINARY of an agent build (the first is the reference)")
    p.add_argument("--floor", help="the floor program built from floor.c (measured when given)")
    p.add_argument("--preload", required=True, help="the simulator's libboardsim.so")
    p.add_argument("--plugin", required=True, help="the broker's token_auth.so")
    p.add_argument("--spawn", required=True, help="the spawn program built from spawn.c")
    p.add_argument("--work", required=True, help="folder for the runs (emptied)")
    p.add_argument("--out", required=True, help="JSON file for the figures")
    p.add_argument("--reps", type=int, default=3, help="runs of each kind (default 3)")
    p.add_argument("--long-cycles", type=int, default=1000,
                   help="cycles of the agent's long run (default 1000)")
    p.add_argument("--sleep-scale", type=float, default=0.001,
                   help="the simulator's pause factor in the long run (default 0.001)")
    p.add_argument("--run-cycles", type=int, default=LONG_CYCLES,
                   help=f"cycles of the multi-cycle runs (default {LONG_CYCLES}, at least "
                   f"{IDLE_WINDOW_CYCLE + 1})")
    p.add_argument("--pause-scale", type=float,
                   help="the simulator's pause factor in every other run of the agent builds "
                   "and the floor (default: none, 7 s pauses); the signal and the windows in "
                   "the pause scale with it")
    p.add_argument("--no-shell", action="store_true", help="leave out the shell loop")
    p.add_argument("--mode-lanes", action="store_true",
                   help="the alternatives' callgrind runs beside their strace runs, under "
                   "a client id of their own (CLIENT_ID=ID-callgrind)")
    p.add_argument("--tls-ca", help="folder of the CA (ca.crt, ca.key) that signs the broker's "
                   "TLS certificate: the broker then also serves MQTT over TLS on "
                   f"{BROKER_TLS_PORT}")
    p.add_argument("--summarise-only", action="store_true",
                   help="measure nothing: recompute the figures from the runs in --out")
    args = p.parse_args(argv)
    if args.run_cycles <= IDLE_WINDOW_CYCLE:
        p.error(f"--run-cycles must be at least {IDLE_WINDOW_CYCLE + 1}")
    if args.pause_scale is not None and not 0 < args.pause_scale <= 1:
        p.error("--pause-scale must be in (0, 1]")
    if args.summarise_only:
        resummarise(args)
        return

    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
    bench = Bench(args)
    began = time.monotonic()
    bench.results["settings"] = {
        "reps": args.reps, "short_cycles": SHORT_CYCLES, "long_cycles": args.run_cycles,
        "long_run_cycles": args.long_cycles, "sleep_scale": args.sleep_scale,
        "pause_scale": args.pause_scale, "mode_lanes": args.mode_lanes,
        "broker": f"{BROKER_HOST}:{BROKER_PORT}", "idle_window_s": IDLE_WINDOW_S,
        "machine": os.uname().machine, "kernel": os.uname().release, "cpus": os.cpu_count(),
        "date": time.strftime("%Y-%m-%d"),
        # Other work on the machine shows in the timings (not in the counts).
        "load_average": {"start": os.getloadavg()},
    }
    try:
        bench.start()
        bench.calibrate()
        log("check: one cycle of each program")
        bench.check()
        log("plain runs: time, memory, CPU, wake-ups")
        bench.plain_runs()
        log("strace and callgrind runs; the long runs")
        bench.instrumented_runs()
        bench.summarise()
    finally:
        bench.stop()
    bench.results["settings"]["duration_s"] = round(time.monotonic() - began)
    bench.results["settings"]["load_average"]["end"] = os.getloadavg()
    for r in bench.results["runs"]:
        r.pop("transcript", None)
    with open(args.out, "w") as f:
        json.dump(bench.results, f, indent=1)
    log(f"figures in {args.out} ({bench.results['settings']['duration_s']} s)")


if __name__ == "__main__":
    try:
        main(sys.argv[1:])
    except BenchError as e:
        print(f"measure.py: {e}", file=sys.stderr)
        sys.exit(1)
