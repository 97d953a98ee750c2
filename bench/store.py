#!/usr/bin/python3
"""What the reading store costs and how fast a day's backlog goes out
(bench/bench-store.sh runs it): the agent built without a store and with a
day's (12,343 readings at 7 s), on the same simulated board and broker.

  store.py --plain AGENT --store AGENT --preload LIB --host HOST --out DIR [--reps N]

Per build: instructions per cycle (callgrind, (run of 4 cycles - run of 1) /
3, the simulator's share taken out) and system calls per cycle (strace -f
-c, the same arithmetic), connected and with nothing waiting; resident
memory (VmRSS, VmHWM) in the pause after cycle 2. Then the store build
started with a day's state file (12,343 readings, made here in the agent's
format): its resident memory with the store full, and how long, and in how
many messages, the backlog takes to reach the broker with the 7 s pauses.
Writes DIR/store.json and DIR/store.md."""

import argparse
import json
import os
import shutil
import signal
import subprocess
import struct
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "broker"))
from benchlib import median, parse_callgrind, parse_strace_summary, per_cycle, simulator_syscalls  # noqa: E402
from broker import Broker, Observer  # noqa: E402
from measure import Board, base_environment, read_status  # noqa: E402

DAY_READINGS = 12343  # 24 h at 7 s and about 0.18 s a cycle
PAUSE_S = 7.0
SIGNAL_DELAY_S = 3.5
INSTRUMENTED_DELAY_S = 4.5
PORT, OBSERVER_PORT = 1884, 1885

# The state file (src/store.cpp): header, then 16 bytes a reading, in this
# machine's byte order.
FILE_MAGIC = b"TAREADS\n"
HEADER = struct.Struct("=8sIIQ40sIIQQ")
READING = struct.Struct("=qff")
FNV_OFFSET, FNV_PRIME = 0xcbf29ce484222325, 0x100000001b3


def fnv1a(data, value=FNV_OFFSET):
    for byte in data:
        value = ((value ^ byte) * FNV_PRIME) & 0xFFFFFFFFFFFFFFFF
    return value


def day_state_file(path, host, client_id):
    """A day of stamped readings, the newest a minute old, as the agent saves them."""
    identity = fnv1a(f"tcp://{host}:{PORT}\n{client_id}".encode())
    now_ms = int(time.time() * 1000) - 60000
    records = b"".join(READING.pack(now_ms - (DAY_READINGS - 1 - i) * 7000, 40.0 + (i % 200) / 10,
                                    20.0 + (i % 100) / 10) for i in range(DAY_READINGS))
    header = HEADER.pack(FILE_MAGIC, 1, READING.size, identity, b"", DAY_READINGS, DAY_READINGS,
                         0, 0)
    checksum = fnv1a(records, fnv1a(header))
    with open(path, "wb") as f:
        f.write(HEADER.pack(FILE_MAGIC, 1, READING.size, identity, b"", DAY_READINGS,
                            DAY_READINGS, 0, checksum) + records)


class StoreBench:
    def __init__(self, args):
        self.args = args
        self.work = tempfile.mkdtemp(prefix="bench-store-", dir=args.out)
        self.broker = Broker(os.path.join(self.work, "broker"), PORT, OBSERVER_PORT,
                             host=args.host).start()
        self.observer = Observer(OBSERVER_PORT, host=args.host).start()

    def close(self):
        self.observer.stop()
        self.broker.stop()
        shutil.rmtree(self.work, ignore_errors=True)

    def run(self, agent, cycles, mode, state=None, until=None):
        """One run: SIGINT in the pause after the cycles' publications (or
        once until() holds). Returns its directory, the pid's last status and
        when the run began and ended (monotonic)."""
        run_dir = tempfile.mkdtemp(dir=self.work)
        board = Board(run_dir, self.args.preload, transcript=mode == "strace")
        env = base_environment()
        env.update(board.env)
        if state:
            env["STATE_DIRECTORY"] = state
        argv = [agent]
        delay = SIGNAL_DELAY_S
        if mode == "strace":
            argv = ["strace", "-f", "-c", "-U", "calls,name", "-o",
                    os.path.join(run_dir, "strace.txt"), "--"] + argv
            delay = INSTRUMENTED_DELAY_S
        elif mode == "callgrind":
            argv = ["valgrind", "-q", "--tool=callgrind",
                    "--callgrind-out-file=" + os.path.join(run_dir, "callgrind.out"), "--"] + argv
            delay = INSTRUMENTED_DELAY_S
        before = len(self.observer.messages())
        started = time.monotonic()
        with open(os.path.join(run_dir, "stdout"), "wb") as out, \
                open(os.path.join(run_dir, "stderr"), "wb") as err:
            proc = subprocess.Popen(argv, env=env, stdout=out, stderr=err,
                                    stdin=subprocess.DEVNULL, start_new_session=True)
        pid = proc.pid if mode != "strace" else None
        status = {}
        try:
            while True:
                if proc.poll() is not None:
                    raise RuntimeError(f"{agent} ended by itself; see {run_dir}")
                got = len(self.observer.messages()) - before
                done = until() if until else got >= cycles
                if done:
                    break
                if time.monotonic() - started > 300 + cycles * 20:
                    raise RuntimeError(f"{agent}: {got} of {cycles} cycles in time; see {run_dir}")
                time.sleep(0.01)
            ended = time.monotonic()
            if pid is None:
                pid = int(subprocess.run(["pgrep", "-P", str(proc.pid)], capture_output=True,
                                         text=True).stdout.split()[0])
            time.sleep(delay if not until else 1.0)
            status = read_status(pid)
            os.kill(pid, signal.SIGINT)
            if proc.wait(30) != 0:
                raise RuntimeError(f"{agent}: exit status {proc.returncode}; see {run_dir}")
        finally:
            if pid is not None and proc.poll() is None:
                os.kill(pid, signal.SIGKILL)  # the agent itself: strace would leave it running
            if proc.poll() is None:
                proc.kill()
                proc.wait()
            board.close()
        return run_dir, status, started, ended, board

    def counts(self, agent, state_for):
        """Instructions and system calls per cycle, connected, nothing waiting."""
        figures = {"instructions": [], "syscalls": [], "syscall_names": {}, "rss_kb": [],
                   "hwm_kb": []}
        for _ in range(self.args.reps):
            per_run = {}
            for cycles in (1, 4):
                run_dir, _, _, _, _ = self.run(agent, cycles, "callgrind", state_for())
                cg = parse_callgrind(open(os.path.join(run_dir, "callgrind.out")).read())
                per_run[("ir", cycles)] = cg["total"] - cg["into_sim"]
                run_dir, _, _, _, board = self.run(agent, cycles, "strace", state_for())
                total, calls = parse_strace_summary(open(os.path.join(run_dir, "strace.txt")).read())
                lines = open(os.path.join(run_dir, "i2c.log")).read().splitlines()
                per_run[("sc", cycles)] = (total - simulator_syscalls(lines), calls)
            figures["instructions"].append(per_cycle(per_run[("ir", 1)], per_run[("ir", 4)], 1, 4))
            figures["syscalls"].append(per_cycle(per_run[("sc", 1)][0], per_run[("sc", 4)][0], 1, 4))
            one, four = per_run[("sc", 1)][1], per_run[("sc", 4)][1]
            figures["syscall_names"] = {n: (four.get(n, 0) - one.get(n, 0)) / 3
                                        for n in sorted(set(one) | set(four))
                                        if four.get(n, 0) != one.get(n, 0)}
            _, status, _, _, _ = self.run(agent, 2, "plain", state_for())
            figures["rss_kb"].append(status["VmRSS"])
            figures["hwm_kb"].append(status["VmHWM"])
        return {k: (median(v) if isinstance(v, list) else v) for k, v in figures.items()} | {
            "runs": figures}

    def day_backlog(self):
        state = tempfile.mkdtemp(dir=self.work)
        day_state_file(os.path.join(state, "readings"), self.args.host, self.args.client_id)
        before = len(self.observer.messages())

        def stored(messages):
            return sum(m.payload.count(b'"ts": ') for m in messages if m.payload.startswith(b"["))

        run_dir, status, started, ended, _ = self.run(
            self.args.store, 0, "plain", state,
            until=lambda: stored(self.observer.messages()[before:]) >= DAY_READINGS)
        messages = [m for m in self.observer.messages()[before:] if m.payload.startswith(b"[")]
        cycles = sum(1 for m in self.observer.messages()[before:] if not m.payload.startswith(b"["))
        stdout = open(os.path.join(run_dir, "stdout"), "rb").read()
        return {"readings": stored(messages), "messages": len(messages),
                "largest_bytes": max(len(m.payload) for m in messages),
                "cycles": cycles, "seconds": round(ended - started, 1),
                "rss_kb": status["VmRSS"], "hwm_kb": status["VmHWM"],
                "restored_line": stdout.split(b"\r\n", 1)[0].decode(errors="replace")}


def report(results, path):
    plain, store, day = results["plain"], results["store"], results["day"]

    def pct(a, b):
        return f"{(b - a) / a * 100:+.2f} %"
    lines = [
        "# The reading store: its cost and a day's backlog",
        "",
        f"Measured {results['date']} by `bench/bench-store.sh` ({results['reps']} repetitions, "
        f"medians; x86-64 release builds, the simulated board, the local broker on "
        f"{results['host']}; load average {results['load'][0]:.1f} at the start, "
        f"{results['load'][1]:.1f} at the end).",
        "",
        "## Connected, nothing waiting: per cycle",
        "",
        "| figure | no store (default build) | store of a day (12,343) | difference |",
        "| --- | ---: | ---: | ---: |",
        f"| instructions per cycle | {plain['instructions']:,.0f} | {store['instructions']:,.0f} | "
        f"{pct(plain['instructions'], store['instructions'])} |",
        f"| system calls per cycle | {plain['syscalls']:.1f} | {store['syscalls']:.1f} | "
        f"{store['syscalls'] - plain['syscalls']:+.1f} |",
        f"| resident memory in the pause (VmRSS / VmHWM) | {plain['rss_kb']:,.0f} / "
        f"{plain['hwm_kb']:,.0f} kB | {store['rss_kb']:,.0f} / {store['hwm_kb']:,.0f} kB | "
        f"{store['rss_kb'] - plain['rss_kb']:+,.0f} kB |",
        "",
        "System calls per cycle by name, as strace counts them (the simulator's transcript and lock calls included), no store, then the store's build: "
        + ", ".join(f"{n} {v:g}" for n, v in plain["syscall_names"].items()) + "; "
        + ", ".join(f"{n} {v:g}" for n, v in store["syscall_names"].items()) + ".",
        "",
        "## A day's backlog",
        "",
        f"The store build started with a state file of {DAY_READINGS:,} readings (the agent's "
        f"format, made by `bench/store.py`), the broker up, the agent's own 7 s pauses:",
        "",
        f"- `{day['restored_line']}`",
        f"- delivered: {day['readings']:,} readings in {day['messages']} messages (the largest "
        f"{day['largest_bytes']:,} bytes of at most 65,536), over {day['cycles']} cycles, "
        f"{day['seconds']} s from the start to the last reading at the broker;",
        f"- resident memory with the store full, after the delivery: VmRSS {day['rss_kb']:,} kB, "
        f"VmHWM {day['hwm_kb']:,} kB (the store's array is {DAY_READINGS * 16:,} bytes).",
        "",
    ]
    with open(path, "w") as f:
        f.write("\n".join(lines))


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--plain", required=True)
    p.add_argument("--store", required=True)
    p.add_argument("--preload", required=True)
    p.add_argument("--host", required=True)
    p.add_argument("--client-id", default="quorvalMeshNode")
    p.add_argument("--out", required=True)
    p.add_argument("--reps", type=int, default=3)
    args = p.parse_args(argv)
    os.makedirs(args.out, exist_ok=True)
    bench = StoreBench(args)
    load = [os.getloadavg()[0]]
    try:
        empty = lambda: tempfile.mkdtemp(dir=bench.work)  # noqa: E731
        results = {"date": time.strftime("%Y-%m-%d"), "host": args.host, "reps": args.reps,
                   "plain": bench.counts(args.plain, lambda: None),
                   "store": bench.counts(args.store, empty),
                   "day": bench.day_backlog()}
    finally:
        bench.close()
    load.append(os.getloadavg()[0])
    results["load"] = load
    with open(os.path.join(args.out, "store.json"), "w") as f:
        json.dump(results, f, indent=1)
    report(results, os.path.join(args.out, "store.md"))
    print(open(os.path.join(args.out, "store.md")).read())


if __name__ == "__main__":
    main(sys.argv[1:])
