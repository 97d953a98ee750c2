"""The arithmetic and the parsers of the benchmark, kept apart from the runs
so that they can be tested on their own (test_benchlib.py)."""

import re
import statistics

# ---- strace -c -U calls,name ----


def parse_strace_summary(text):
    """The table strace -c -U calls,name writes: (total calls, {syscall: calls})."""
    calls = {}
    total = None
    for line in text.splitlines():
        fields = line.split()
        if len(fields) != 2 or not fields[0].isdigit():
            continue  # header, rulers, blank lines
        count, name = int(fields[0]), fields[1]
        if name == "total":
            total = count
        else:
            calls[name] = calls.get(name, 0) + count
    if total is None:
        raise ValueError("no 'total' line in the strace summary")
    if total != sum(calls.values()):
        raise ValueError(f"strace summary: total {total} but the lines add up to "
                         f"{sum(calls.values())}")
    return total, calls


# ---- the simulator's own system calls ----
#
# libboardsim answers the I2C device interface inside the process. For every
# bus operation it takes its lock with every signal blocked (two
# rt_sigprocmask), checks the descriptor (one fstat) and, with a transcript,
# appends one line to it (openat, write, close). A real bus would have cost
# one system call: the ioctl, which the simulator does not make; the open and
# the close it does make (memfd_create stands in for the open).

SIM_LOCK_SYSCALLS = 3          # rt_sigprocmask x2, newfstatat
SIM_TRANSCRIPT_SYSCALLS = 3    # openat, write, close of the transcript


def simulator_syscalls(transcript_lines):
    """System calls the simulator adds to a run, from that run's transcript
    (one line per bus operation; "# " lines are the simulator's notes)."""
    extra = 0
    for line in transcript_lines:
        if not line.strip():
            continue
        if line.startswith("#"):
            extra += SIM_TRANSCRIPT_SYSCALLS
        elif line.startswith("open ") or line == "close":
            extra += SIM_LOCK_SYSCALLS + SIM_TRANSCRIPT_SYSCALLS
        else:  # an ioctl: answered without the ioctl itself
            extra += SIM_LOCK_SYSCALLS + SIM_TRANSCRIPT_SYSCALLS - 1
    return extra


def bus_opens(transcript_lines):
    """How many times the bus was opened: once per process that used it."""
    return sum(1 for line in transcript_lines if line.startswith("open "))


# ---- callgrind output ----

_NAME = re.compile(r"\((\d+)\)(?: (.*))?$")


def _resolve(value, table):
    """A callgrind name with its optional compression: "(3) name" or "(3)"."""
    m = _NAME.match(value)
    if not m:
        return value
    ident, name = m.groups()
    if name is not None:
        table[ident] = name
        return name
    return table.get(ident, value)


def parse_callgrind(text, sim_object="libboardsim"):
    """Totals of one callgrind output file (first event, Ir by default):
    {"total": all instructions, "into_sim": inclusive cost of the calls made
    from outside the simulator's library into it, "sim_loaded": whether the
    library appears at all}."""
    objects, files, fns = {}, {}, {}
    current_ob = None
    callee_ob = None
    pending_call = False
    total = None
    into_sim = 0
    sim_loaded = False

    def is_sim(ob):
        return ob is not None and sim_object in ob

    for line in text.splitlines():
        if pending_call:
            # The line after calls= holds the call's inclusive cost.
            fields = line.split()
            cost = int(fields[1]) if len(fields) > 1 else 0
            target = callee_ob if callee_ob is not None else current_ob
            if is_sim(target) and not is_sim(current_ob):
                into_sim += cost
            pending_call = False
            callee_ob = None
            continue
        if line.startswith("ob="):
            current_ob = _resolve(line[3:], objects)
            sim_loaded = sim_loaded or is_sim(current_ob)
        elif line.startswith("cob="):
            callee_ob = _resolve(line[4:], objects)
            sim_loaded = sim_loaded or is_sim(callee_ob)
        elif line.startswith(("fl=", "fi=", "fe=", "cfi=", "cfl=")):
            _resolve(line.split("=", 1)[1], files)
        elif line.startswith(("fn=", "cfn=")):
            _resolve(line.split("=", 1)[1], fns)
        elif line.startswith("calls="):
            pending_call = True
        elif line.startswith("summary:") or (line.startswith("totals:") and total is None):
            total = int(line.split()[1])
    if total is None:
        raise ValueError("no summary or totals line in the callgrind output")
    return {"total": total, "into_sim": into_sim, "sim_loaded": sim_loaded}


# ---- perf stat -I ----


def parse_perf_intervals(text):
    """perf stat -e task-clock -I MS -x, output: [(seconds since start at the
    end of the interval, CPU nanoseconds in it)]."""
    intervals = []
    for line in text.splitlines():
        fields = line.strip().split(",")
        if len(fields) < 5 or fields[3] != "task-clock":
            continue
        ns = int(float(fields[4])) if fields[4].replace(".", "", 1).isdigit() else 0
        intervals.append((float(fields[0]), ns))
    if not intervals:
        raise ValueError("no task-clock intervals in the perf output")
    return intervals


def cpu_between(intervals, start, end):
    """CPU seconds of the intervals that ended after start and no later than
    end (both in seconds since perf started). The bounds are meant to lie in
    idle pauses, where the 0.1 s granularity of the intervals does not matter."""
    return sum(ns for t, ns in intervals if start < t <= end) / 1e9


# ---- per-cycle arithmetic ----


def per_cycle(short_value, long_value, short_cycles, long_cycles):
    """What one cycle costs, from two runs of different lengths: start-up and
    shutdown are in both and cancel out."""
    if long_cycles <= short_cycles:
        raise ValueError("the long run must have more cycles than the short one")
    return (long_value - short_value) / (long_cycles - short_cycles)


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def ratio(agent, alternative):
    """agent / alternative; None when it means nothing (missing, or 0 / 0)."""
    if agent is None or alternative is None:
        return None
    if alternative == 0:
        return None if agent == 0 else float("inf")
    return agent / alternative


def wakeups_between(before, after):
    """Times the group's threads ran between two snapshots: switches of the
    threads seen in both, plus every switch of a thread that appeared (a new
    process or thread is activity too; at least one each)."""
    n = 0
    for key, count in after.items():
        if key in before:
            n += count - before[key]
        else:
            n += max(count, 1)
    n += sum(1 for key in before if key not in after)  # a thread that ended ran to end
    return n


def tree_peak_kb(own_hwm_kb, waited_maxrss_kb, has_children):
    """Peak resident memory of a process and the children it runs one at a
    time. wait4() reports the larger of the process's own peak and its
    largest child's, so the two together are at most own + that."""
    if not has_children:
        return max(own_hwm_kb, waited_maxrss_kb)
    return own_hwm_kb + waited_maxrss_kb
