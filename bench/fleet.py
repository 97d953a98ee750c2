#!/usr/bin/python3
"""Fleet figure: N agents side by side on one broker, against one agent alone.

    fleet.py --fleet DIR --preload LIB --plugin SO --work DIR --out FILE.json
             [--count N] [--window S] [--sleep-scale F] [--no-python]

DIR is a build's fleet (AGENT_FLEET_SIZE >= N: devices.csv, tokens,
NAME/telemetry-agent, built for BENCH_HOST). Each phase starts its programs at
once on simulated boards of their own (a pseudo-terminal each, the
simulator's library), waits until every one has published twice, then
measures over the window: each program's CPU time (/proc/PID/task/*/schedstat,
nanoseconds) per cycle it published (the broker's log), its resident memory,
and the broker's CPU time per message received. Phases: the agent alone and N
agents with their pause scaled by F (more cycles in the window), N agents
unscaled, and the Python agent (bench/python_agent.py, whose sleep the
simulator cannot scale) alone and N times, each with its own token and client
id. See bench/README.md.
"""

import argparse
import csv
import json
import os
import signal
import statistics
import subprocess
import sys
import time

import measure
from broker import Broker

HERE = os.path.dirname(os.path.abspath(__file__))
RAMP_TIMEOUT_S = 180
RAMP_PUBLICATIONS = 2
STOP_TIMEOUT_S = 30


def cpu_ns(pid):
    total = 0
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                total += int(f.read().split()[0])
        except OSError:
            pass
    return total


class Phase:
    def __init__(self, bench, label, kind, devices, sleep_scale):
        self.bench, self.label, self.kind, self.devices = bench, label, kind, devices
        self.sleep_scale = sleep_scale
        self.procs = []

    def start(self):
        self.earlier = {d["client_id"]: len(self.bench.broker_log.publications(d["client_id"])) for d in self.devices}
        for device in self.devices:
            d = os.path.join(self.bench.work, self.label, device["name"])
            os.makedirs(d)
            board = measure.Board(d, self.bench.args.preload, sleep_scale=self.sleep_scale)
            env = dict(measure.base_environment(), **board.env)
            if self.kind == "agent":
                argv = [os.path.join(self.bench.args.fleet, device["name"], "telemetry-agent")]
            else:
                argv = [measure.PYTHON, os.path.join(HERE, "python_agent.py")]
                env.update(measure.alternative_env(board), ACCESS_TOKEN=device["token"],
                           CLIENT_ID=device["client_id"])
            with open(os.path.join(d, "stdout"), "wb") as out, open(os.path.join(d, "stderr"), "wb") as err:
                proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                        start_new_session=True)
            self.procs.append((device, board, proc))

    def published(self):
        """Publications of each program's client id in this phase."""
        return {d["client_id"]: len(self.bench.broker_log.publications(d["client_id"])) - self.earlier[d["client_id"]]
                for d, _, _ in self.procs}

    def ramp(self):
        """Waits until every program has published twice in this phase (the
        client ids are the same in every phase)."""
        deadline = time.monotonic() + RAMP_TIMEOUT_S
        while min(self.published().values()) < RAMP_PUBLICATIONS:
            if time.monotonic() > deadline:
                raise measure.BenchError(f"{self.label}: not every program published within {RAMP_TIMEOUT_S} s")
            for device, _, proc in self.procs:
                if proc.poll() is not None:
                    raise measure.BenchError(f"{self.label}: {device['name']} ended with {proc.returncode}")
            time.sleep(0.5)

    def measure(self, window_s):
        broker_pid = self.bench.broker_pid
        before = ({d["client_id"]: cpu_ns(p.pid) for d, _, p in self.procs}, self.published(),
                  cpu_ns(broker_pid), time.monotonic())
        time.sleep(window_s)
        after = ({d["client_id"]: cpu_ns(p.pid) for d, _, p in self.procs}, self.published(),
                 cpu_ns(broker_pid), time.monotonic())
        rss = [measure.read_status(p.pid) for _, _, p in self.procs]
        per_cycle_ms, cycles = [], 0
        for client in before[0]:
            n = after[1][client] - before[1][client]
            cycles += n
            if n:
                per_cycle_ms.append((after[0][client] - before[0][client]) / n / 1e6)
        seconds = after[3] - before[3]
        return {
            "label": self.label, "kind": self.kind, "count": len(self.procs),
            "sleep_scale": self.sleep_scale or 1, "window_s": round(seconds, 1),
            "messages_per_s": round(cycles / seconds, 1),
            "cycles_per_program": int(statistics.median(after[1][c] - before[1][c] for c in before[1])),
            "cpu_per_cycle_ms": summary(per_cycle_ms, 3),
            "rss_kb": summary([r["VmRSS"] for r in rss], 0),
            "peak_rss_kb": summary([r["VmHWM"] for r in rss], 0),
            "broker_cpu_per_message_us": round((after[2] - before[2]) / max(cycles, 1) / 1e3, 1),
            "broker_cpu_share": round((after[2] - before[2]) / 1e9 / seconds, 4),
            "broker_rss_kb": measure.read_status(broker_pid)["VmRSS"],
        }

    def stop(self):
        """SIGINT to every program; the number that ended with status 0 within
        STOP_TIMEOUT_S (the others are killed)."""
        for _, _, proc in self.procs:
            if proc.poll() is None:
                proc.send_signal(signal.SIGINT)
        deadline = time.monotonic() + STOP_TIMEOUT_S
        statuses = []
        for _, board, proc in self.procs:
            try:
                statuses.append(proc.wait(max(0.1, deadline - time.monotonic())))
            except subprocess.TimeoutExpired:
                proc.kill()
                statuses.append(proc.wait())
            board.close()
        return sum(s == 0 for s in statuses)


def summary(values, digits):
    values = sorted(values)
    rounded = (lambda v: int(round(v))) if digits == 0 else (lambda v: round(v, digits))
    return {"median": rounded(statistics.median(values)), "min": rounded(values[0]), "max": rounded(values[-1])}


class Bench:
    def __init__(self, args):
        self.args = args
        self.work = os.path.abspath(args.work)
        with open(os.path.join(args.fleet, "devices.csv"), newline="") as f:
            self.devices = list(csv.DictReader(f))[:args.count]
        if len(self.devices) < args.count:
            raise measure.BenchError(f"{args.fleet} has {len(self.devices)} boards, not {args.count}")

    def start_broker(self):
        state = os.path.join(self.work, "broker")
        os.makedirs(state)
        os.chmod(state, 0o755)
        registry = os.path.join(self.work, "tokens")
        with open(registry, "w") as f:
            f.write("".join(d["token"] + "\n" for d in self.devices))
        self.broker = Broker(state, host=measure.BROKER_HOST, port=measure.BROKER_PORT,
                             observer_port=measure.OBSERVER_PORT, plugin=os.path.abspath(self.args.plugin),
                             tokens=registry).start()
        with open(os.path.join(state, "mosquitto.pid")) as f:
            self.broker_pid = int(f.read())
        self.broker_log = measure.BrokerLog(os.path.join(state, "mosquitto.log"))
        self.broker_log.start()

    def run(self, label, kind, count, sleep_scale, window_s):
        measure.log(f"{label}: {count} x {kind}, sleep scale {sleep_scale or 1}")
        phase = Phase(self, label, kind, self.devices[:count], sleep_scale)
        idle_rss = measure.read_status(self.broker_pid)["VmRSS"]
        try:
            phase.start()
            phase.ramp()
            result = phase.measure(window_s)
        finally:
            ended_well = phase.stop()
        result["broker_idle_rss_kb"] = idle_rss
        result["ended_with_0"] = ended_well
        measure.log(f"  {json.dumps(result)}")
        return result


# On the wire per message, for the estimate: PUBLISH (2 + 2 + 23 topic + 2 id
# + 43 payload = 72 bytes) and PUBACK (4), each with TCP/IPv4 headers (52 with
# timestamps), and the two acknowledging segments.
WIRE_BYTES_PER_MESSAGE = 72 + 4 + 4 * 52
PLATFORM_BOARDS = 10_000


def report(results, path):
    by = {r["label"]: r for r in results["phases"]}
    n = results["settings"]["count"]
    rows = []
    for r in results["phases"]:
        pause = 7 * r["sleep_scale"]
        rows.append(f"| {r['label']} | {r['count']} | {pause:g} s | {r['messages_per_s']} | "
                    f"{r['cycles_per_program']} | {r['rss_kb']['median']:,} ({r['rss_kb']['min']:,}-"
                    f"{r['rss_kb']['max']:,}) | {r['peak_rss_kb']['max']:,} | "
                    f"{r['cpu_per_cycle_ms']['median']} ({r['cpu_per_cycle_ms']['min']}-"
                    f"{r['cpu_per_cycle_ms']['max']}) | {r['broker_cpu_per_message_us']} | "
                    f"{r['broker_rss_kb']:,} | {r['ended_with_0']}/{r['count']} | {r['load_average']} |")

    def ratio(key, a, b):
        return by[a][key]["median"] / by[b][key]["median"]

    many = by[f"agent-{n}"]
    # The first phase with N connections: the broker's memory had not yet grown for them.
    scaled = by[f"agent-{n}-scaled"]
    per_message_us = scaled["broker_cpu_per_message_us"]
    per_connection_kb = (scaled["broker_rss_kb"] - scaled["broker_idle_rss_kb"]) / n
    rate = PLATFORM_BOARDS / (7 + 0.1)
    lines = [
        f"# Fleet: {n} agents side by side",
        "",
        f"`bench/bench-fleet.sh`, {results['settings']['date']}, {results['settings']['cpus']} CPUs, broker"
        f" {results['settings']['broker']} (mosquitto with the token plugin and `log_type all`)."
        " The load average (1 minute) at the end of each phase is in the last column.",
        "",
        "| phase | programs | pause | messages/s | cycles measured (median) | resident kB, median (min-max)"
        " | peak kB, max | CPU ms per cycle, median (min-max) | broker CPU µs per message | broker kB"
        " | ended with 0 | load |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
        *rows,
        "",
        f"- Resident memory of one agent among {n}: {ratio('rss_kb', f'agent-{n}', 'agent-1'):.2f} x"
        f" its size alone; CPU per cycle {ratio('cpu_per_cycle_ms', f'agent-{n}', 'agent-1'):.2f} x"
        f" (scaled pauses: {ratio('cpu_per_cycle_ms', f'agent-{n}-scaled', 'agent-1-scaled'):.2f} x).",
    ]
    if f"python-{n}" in by:
        lines.append(
            f"- The Python agent at N = {n}: {by[f'python-{n}']['rss_kb']['median']:,} kB and"
            f" {by[f'python-{n}']['cpu_per_cycle_ms']['median']} ms per cycle each, against the agent's"
            f" {many['rss_kb']['median']:,} kB and {many['cpu_per_cycle_ms']['median']} ms;"
            f" {n} of them hold {by[f'python-{n}']['rss_kb']['median'] * n / 1024:,.0f} MB,"
            f" {n} agents {many['rss_kb']['median'] * n / 1024:,.0f} MB.")
    lines += [
        f"- The broker: {per_message_us} µs of CPU per message at {scaled['messages_per_s']} messages/s"
        " (at lower rates its own periodic work weighs on each message), about"
        f" {per_connection_kb:.1f} kB of resident memory per connected agent.",
        "",
        f"## On paper: {PLATFORM_BOARDS:,} boards on the IoT platform's clustered endpoint",
        "",
        f"- Messages: one per board per cycle of 7 s plus about 0.1 s of work, {rate:,.0f} messages/s in"
        " steady state, each a QoS 1 PUBLISH answered by a PUBACK. At the measured cost of this"
        f" broker (logging every packet) that is {rate * per_message_us / 1e6:.2f} CPU seconds per"
        " second: a fraction of one core, spread over the cluster's nodes.",
        f"- Connections: {PLATFORM_BOARDS:,} long-lived TCP sessions, one per client id (the"
        " takeover test shows what two boards with one id do to each other). With a publication"
        " every 7 s inside the 20 s keep-alive, no PINGREQ is ever needed. At this broker's"
        f" {per_connection_kb:.1f} kB per session that is {per_connection_kb * PLATFORM_BOARDS / 1024:,.0f}"
        " MB of broker memory.",
        f"- Traffic: about {WIRE_BYTES_PER_MESSAGE} bytes on the wire per message with TCP/IP"
        f" headers, {rate * WIRE_BYTES_PER_MESSAGE / 1024:,.0f} KiB/s into the endpoint.",
        f"- After an outage every board connects again in its next cycle: {PLATFORM_BOARDS:,}"
        f" connects (with token checks) within about 7 s, {rate:,.0f} per second, before"
        " publications resume at the steady rate.",
        "- Each board's own cost does not grow with the fleet: the table's per-agent figures at"
        f" N = {n} are those of one agent alone.",
    ]
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--fleet")
    p.add_argument("--preload")
    p.add_argument("--plugin")
    p.add_argument("--work")
    p.add_argument("--out", required=True)
    p.add_argument("--count", type=int, default=200)
    p.add_argument("--window", type=float, default=45.0, help="seconds measured per phase (default 45)")
    p.add_argument("--sleep-scale", type=float, default=0.1,
                   help="the agents' pause factor in the scaled phases (default 0.1)")
    p.add_argument("--no-python", action="store_true", help="leave the Python agent out")
    p.add_argument("--report", help="write the tables of an --out file to this Markdown file and stop")
    args = p.parse_args(argv)
    # Started in the background by a shell, this process may have SIGINT
    # ignored, and the programs would inherit that: each must get its own.
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    if args.report:
        with open(args.out) as f:
            report(json.load(f), args.report)
        return
    missing = [a for a in ("fleet", "preload", "plugin", "work") if getattr(args, a) is None]
    if missing:
        p.error("missing " + ", ".join("--" + a for a in missing))
    subprocess.run(["rm", "-rf", args.work], check=True)
    os.makedirs(args.work)
    bench = Bench(args)
    bench.start_broker()
    n, scale = args.count, args.sleep_scale
    phases = [("agent-1-scaled", "agent", 1, scale), (f"agent-{n}-scaled", "agent", n, scale),
              ("agent-1", "agent", 1, None), (f"agent-{n}", "agent", n, None)]
    if not args.no_python:
        phases += [("python-1", "python", 1, None), (f"python-{n}", "python", n, None)]
    results = {"settings": {"count": n, "sleep_scale": scale, "window_s": args.window,
                            "broker": f"{measure.BROKER_HOST}:{measure.BROKER_PORT}", "cpus": os.cpu_count(),
                            "date": time.strftime("%Y-%m-%d")}, "phases": []}
    try:
        for phase in phases:
            results["phases"].append(bench.run(*phase, args.window))
            with open("/proc/loadavg") as f:
                results["phases"][-1]["load_average"] = f.read().split()[0]
    finally:
        bench.broker_log.stopping.set()
        bench.broker.stop()
    with open(args.out, "w") as f:
        json.dump(results, f, indent=1)
    measure.log(f"figures in {args.out}")


if __name__ == "__main__":
    try:
        main(sys.argv[1:])
    except measure.BenchError as e:
        print(f"fleet.py: {e}", file=sys.stderr)
        sys.exit(1)
