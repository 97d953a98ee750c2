#!/usr/bin/python3
"""Turns the benchmark's figures (results.json from measure.py) into
results.md and chart.png (gnuplot); results.md ends with the history of the
agent's measured changes (history.json, next to this file, or HISTORY_JSON).

    report.py RESULTS_JSON OUT_DIR [HISTORY_JSON]
"""

import argparse
import json
import os
import subprocess
import sys

import benchlib

HERE = os.path.dirname(os.path.abspath(__file__))
KIB_PER_MIB = 1024
# A 1-minute load average above this many per core makes the timings suspect.
BUSY_LOAD_PER_CPU = 0.5
TARGET_PEAK_MIB = 2.5
TARGET_PEAK_DECIMAL_KB = 2.5e6 / 1024  # 2.5 MB of 10^6 bytes, in kB (KiB)

ROWS = [
    # key, label, unit, decimals
    ("peak_rss_kb", "Peak resident memory", "kB", 0),
    ("steady_rss_kb", "Steady resident memory (in the pause)", "kB", 0),
    ("instructions_per_cycle", "Instructions per cycle", "", 0),
    ("cpu_ms_per_cycle", "CPU time per cycle", "ms", 3),
    ("syscalls_per_cycle", "System calls per cycle", "", 1),
    ("idle_wakeups_per_s", "Wake-ups per second while idle between cycles", "/s", 2),
    ("first_ack_ms", "Start to first acknowledged publication", "ms", 1),
    ("sigint_to_exit_ms", "SIGINT to exit", "ms", 1),
]
PROGRAM_NOTES = {
    "agent": " the agent as the sources have it, release build",
    "agent-tls": " the same built with `-DAGENT_TLS=ON` (see below)",
    "agent-patched": " the agent with [bench/agent-footprint.patch](../agent-footprint.patch)",
    "agent-before": " the agent before the sources' last change: the sources with "
                    "[bench/agent-before.patch](../agent-before.patch)",
    "python": " [python_agent.py](../python_agent.py)",
    "shell": " [shell_agent.sh](../shell_agent.sh)",
    "floor": " [floor.c](../floor.c), the agent's MQTT calls alone (Paho's synchronous client, "
             "the same options, publication and wait), a fixed payload, no sensor, no serial "
             "port, no console",
}
CHART_ROWS = ["peak_rss_kb", "steady_rss_kb", "instructions_per_cycle", "cpu_ms_per_cycle",
              "syscalls_per_cycle", "first_ack_ms", "sigint_to_exit_ms"]
CHART_LABELS = {
    "peak_rss_kb": "peak memory", "steady_rss_kb": "steady memory",
    "instructions_per_cycle": "instructions/cycle", "cpu_ms_per_cycle": "CPU time/cycle",
    "syscalls_per_cycle": "syscalls/cycle", "first_ack_ms": "start to 1st ack",
    "sigint_to_exit_ms": "SIGINT to exit",
}


# The TLS build beside the plain one: what TLS costs the agent.
TLS_ROWS = ["peak_rss_kb", "steady_rss_kb", "instructions_per_cycle", "cpu_ms_per_cycle",
            "syscalls_per_cycle", "first_ack_ms", "sigint_to_exit_ms"]
TLS_BUILD = "agent-tls"
# The agent before a change that is in the sources.
BEFORE_BUILD = "agent-before"


def fmt(value, decimals=0):
    if value is None:
        return "–"
    if value == float("inf"):
        return "∞"
    return f"{value:,.{decimals}f}"


def fmt_ratio(value):
    if value is None:
        return "– (0 / 0)"
    if value == float("inf"):
        return "∞"
    if value == 0:
        return "0"
    if value >= 100:
        return f"{value:,.0f}"
    return f"{value:.3g}"


def mark(ok):
    return "met" if ok else "**missed**"


def targets(agent, python):
    """(target, agent's figure, met) rows for one agent build."""
    f, p = agent["figures"], python["figures"]
    peak = f["peak_rss_kb"]
    rows = [
        ("Peak resident memory at most 2.5 MB",
         f"{fmt(peak)} kB = {peak / KIB_PER_MIB:.2f} MiB = {peak * 1024 / 1e6:.2f} MB",
         peak <= TARGET_PEAK_MIB * KIB_PER_MIB and peak <= TARGET_PEAK_DECIMAL_KB),
        ("Peak resident memory at most 1/8 of the Python agent's",
         f"{fmt_ratio(benchlib.ratio(peak, p['peak_rss_kb']))} (1/8 = 0.125)",
         peak * 8 <= p["peak_rss_kb"]),
        ("Instructions per cycle at most half the Python agent's",
         f"{fmt_ratio(benchlib.ratio(f['instructions_per_cycle'], p['instructions_per_cycle']))}",
         f["instructions_per_cycle"] * 2 <= p["instructions_per_cycle"]),
        ("At most 12 system calls per cycle", fmt(f["syscalls_per_cycle"], 1),
         f["syscalls_per_cycle"] <= 12),
        ("No wake-up between cycles", f"{fmt(f['idle_wakeups_per_s'], 2)} per second",
         f["idle_wakeups_per_s"] == 0),
    ]
    if "rss_long_growth_kb" in f:
        first, last = f["long_cycles"]
        rows.append((f"No memory growth over {last:,} cycles",
                     f"{fmt(f['rss_long_first_kb'])} kB after {first}, "
                     f"{fmt(f['rss_long_last_kb'])} kB after {last:,}: "
                     f"{f['rss_long_growth_kb']:+,} kB", f["rss_long_growth_kb"] <= 0))
    return rows


def runs_phrase(reps):
    """How a figure comes from the repetitions."""
    return f"median of {reps} runs" if reps > 1 else "a single run"


def cast(progs):
    """(the agent, [the alternatives], the floor or None, [other agent builds]):
    the first agent build is the agent as the sources have it; the others are
    its TLS build and builds with agent-footprint.patch."""
    agents = [n for n, p in progs.items() if p["role"] == "agent"]
    alternatives = [n for n, p in progs.items() if p["role"] == "alternative"]
    floor = next((n for n, p in progs.items() if p["role"] == "floor"), None)
    return agents[0], alternatives, floor, agents[1:]


def short_label(program):
    return program["label"].split(" (")[0]


def row_label(label, unit):
    return f"{label} ({unit})" if unit and unit != "/s" else label


def long_run_text(figures):
    if "rss_long_growth_kb" not in figures:
        return ""
    return f"{fmt(figures['rss_long_first_kb'])} → {fmt(figures['rss_long_last_kb'])}"


def long_run_label(figures_list):
    """"after 10 and after 1,000 cycles", from the first figures that have a long run."""
    for f in figures_list:
        if "long_cycles" in f:
            first, last = f["long_cycles"]
            return f"Resident memory after {first} and after {last:,} cycles (kB)"
    return None


def comparison(base, other, titles, keys=None, difference=False):
    """A table of two sets of figures side by side and other / base (with
    difference, other − base as well), one row per figure of keys (all, and
    the long run's memory, by default). titles: the column titles."""
    lines = ["| | " + " | ".join(titles) + " |", "|---|" + "---:|" * len(titles)]
    for key, label, unit, decimals in ROWS:
        if keys is not None and key not in keys:
            continue
        b, a = base.get(key), other.get(key)
        cells = [fmt(b, decimals), fmt(a, decimals)]
        if difference:
            diff = None if a is None or b is None else a - b
            cells.append(("+" if diff is not None and diff > 0 else "") + fmt(diff, decimals))
        cells.append(fmt_ratio(benchlib.ratio(a, b)))
        lines.append(f"| {row_label(label, unit)} | " + " | ".join(cells) + " |")
    label = long_run_label([base, other]) if keys is None else None
    if label:
        cells = [long_run_text(base), long_run_text(other)] + [""] * (len(titles) - 2)
        lines.append(f"| {label} | " + " | ".join(cells) + " |")
    return lines


def variant_section(progs, agent, n):
    """The TLS build or a patched build beside the agent."""
    if n == TLS_BUILD:
        return ["## MQTT over TLS: the TLS build beside the plain build\n",
                "`agent (TLS)` is the agent built with `-DAGENT_TLS=ON` (Paho's TLS client, "
                "OpenSSL 3; the broker's TLS listener on port 8883). Its CA file is what a "
                "board's would be, the system's CA bundle (`/etc/ssl/certs/ca-certificates.crt`), "
                "with the CA made for the run, which signs the broker's certificate, added at its "
                "end.\n"] + \
            comparison(progs[agent]["figures"], progs[n]["figures"],
                       ["agent", "agent (TLS)", "TLS − plain", "TLS / plain"], TLS_ROWS,
                       difference=True) + [""]
    if n == BEFORE_BUILD:
        return [f"## {progs[n]['label']}: before and after\n",
                "The agent before the change (the sources with "
                "[bench/agent-before.patch](../agent-before.patch)) and as the sources have it, "
                "in this run:\n"] + \
            comparison(progs[n]["figures"], progs[agent]["figures"],
                       ["before", "after", "after / before"]) + [""]
    return [f"## {progs[n]['label']}: before and after\n",
            "`agent` without and with [bench/agent-footprint.patch](../agent-footprint.patch), "
            "in this run:\n"] + \
        comparison(progs[agent]["figures"], progs[n]["figures"],
                   ["before", "after", "after / before"]) + [""]


def run_conditions(s):
    """Sentences on how far the run's timings can be trusted: a quick run, a
    busy machine."""
    notes = []
    pause_scale = s.get("pause_scale")
    if s["reps"] < 3 or s["long_run_cycles"] < 1000 or s["long_cycles"] < 4 or pause_scale:
        how = [f"{s['reps']} run{'s' if s['reps'] != 1 else ''} of each kind"]
        if s["long_cycles"] < 4:
            how.append(f"runs of {s['long_cycles']} cycles")
        if pause_scale:
            how.append(f"the agent builds' and the floor's pauses × {pause_scale:g} (the "
                       f"simulator's sleep scale)")
        how.append(f"a long run of {s['long_run_cycles']:,} cycles")
        notes.append(f"**A quick run** ({', '.join(how)}): a look at the figures, not a "
                     f"measurement to compare.")
    load = s.get("load_average")
    if load:
        worst = max(load["start"][0], load.get("end", load["start"])[0])
        text = (f"Load average (1 min) {load['start'][0]:.2f} at the start"
                + (f", {load['end'][0]:.2f} at the end" if "end" in load else "")
                + f", on {s['cpus']} cores.")
        if worst > BUSY_LOAD_PER_CPU * s["cpus"]:
            text += (" **The machine was busy**: timings (CPU time, start to first "
                     "acknowledged publication, SIGINT to exit) are distorted; instruction and "
                     "system call counts and memory are not.")
        notes.append(text)
    return notes


def markdown(results, history=None):
    s = results["settings"]
    progs = results["programs"]
    agent, alternatives, floor, variants = cast(progs)
    compared = alternatives + ([floor] if floor else [])
    columns = [agent] + compared
    out = []
    w = out.append
    w("# Footprint and cost per cycle: the agent and what users would run instead\n")
    w(f"Measured by `bench/bench.sh` on {s['date']}: {s['machine']}, {s['cpus']} cores, Linux "
      f"{s['kernel']}, in {s['duration_s'] // 60} min {s['duration_s'] % 60} s. Every program ran "
      f"on the same simulated board (AHT10 on I2C bus 0, a pseudo-terminal as UART 0) and "
      f"published to the same local broker ({s['broker']}). Each figure is "
      f"{'the ' if s['reps'] > 1 else 'from '}{runs_phrase(s['reps'])}; per-cycle figures are "
      f"the difference between a run of "
      f"{s['long_cycles']} cycles and one of {s['short_cycles']}, divided by "
      f"{s['long_cycles'] - s['short_cycles']}, so that start-up and shutdown cancel out. "
      f"What is measured and how: [bench/README.md](../README.md).\n")
    for note in run_conditions(s):
        w(note + "\n")
    w("Programs:\n")
    for n, p in progs.items():
        w(f"- **{p['label']}**:" + PROGRAM_NOTES.get(n, "")
          + (f"; MQTT client id `{p['client_id']}`" if p["client_id"] else ""))
    w("")

    w("## Figures\n")
    w("| | " + " | ".join(progs[n]["label"] for n in columns) + " |")
    w("|---|" + "---:|" * len(columns))
    for key, label, unit, decimals in ROWS:
        cells = [fmt(progs[n]["figures"].get(key), decimals) for n in columns]
        w(f"| {row_label(label, unit)} | " + " | ".join(cells) + " |")
    label = long_run_label([progs[n]["figures"] for n in columns])
    if label:
        w(f"| {label} | " + " | ".join(long_run_text(progs[n]["figures"]) for n in columns)
          + " |")
    w("")

    w("## Ratios: agent / alternative" + (", agent / floor" if floor else "") + "\n")
    w("Below 1 the agent costs less."
      + (" Against the floor, what is above 1 is the agent's own share: what it costs beyond "
         "the MQTT calls any agent on the same client makes." if floor else "") + "\n")
    w("| | " + " | ".join(f"agent / {short_label(progs[b])}" for b in compared) + " |")
    w("|---|" + "---:|" * len(compared))
    for key, label, _, _ in ROWS:
        cells = [fmt_ratio(benchlib.ratio(progs[agent]["figures"].get(key),
                                          progs[b]["figures"].get(key))) for b in compared]
        w(f"| {label} | " + " | ".join(cells) + " |")
    w("")

    # The TLS build is one a board may carry: it is held to the targets too.
    judged = [agent] + [n for n in variants if n == TLS_BUILD]
    w("## Targets (x86-64, this machine)\n")
    w("| Target | " + " | ".join(progs[n]["label"] for n in judged) + " |")
    w("|---|" + "---|" * len(judged))
    verdicts = [targets(progs[n], progs["python"]) for n in judged]
    for i, (name, _, _) in enumerate(verdicts[0]):
        w(f"| {name} | " + " | ".join(f"{rows[i][1]}: {mark(rows[i][2])}" for rows in verdicts)
          + " |")
    w("")
    w("![chart](chart.png)\n")

    for n in variants:
        out.extend(variant_section(progs, agent, n))

    if history and history.get("changes"):
        w("## History\n")
        w("Changes to the agent measured before and after, with the figures of the run that "
          "measured them (from [bench/history.json](../history.json)); the tables above are "
          "the agent as it is now.\n")
        for change in history["changes"]:
            w(f"### {change['date']}: {change['change']}\n")
            w(f"{change['run']}.\n")
            out.extend(comparison(change["before"], change["after"],
                                  ["before", "after", "after / before"]))
            w("")

    w("## Spread and raw counts\n")
    w("Per-cycle values of each repetition (before the median), and the raw counts before the "
      "simulator's own share was taken out (see the README):\n")
    w("| | " + " | ".join(progs[n]["label"] for n in progs) + " |")
    w("|---|" + "---|" * len(progs))
    for key, label in (("instructions_per_cycle", "Instructions per cycle"),
                       ("raw_instructions_per_cycle", "… as counted, simulator included"),
                       ("cpu_ms_per_cycle", "CPU time per cycle (ms)"),
                       ("syscalls_per_cycle", "System calls per cycle"),
                       ("raw_syscalls_per_cycle", "… as counted, simulator included")):
        cells = []
        for n in progs:
            values = progs[n]["samples"].get(key, [])
            decimals = 3 if "cpu" in key else (0 if "instr" in key else 1)
            cells.append(", ".join(fmt(v, decimals) for v in values))
        w(f"| {label} | " + " | ".join(cells) + " |")
    c = results.get("calibration", {})
    w(f"\nLoading the simulator's library costs a process {c.get('preload_syscalls')} system "
      f"calls and {fmt(c.get('preload_instructions'))} instructions (measured with `/bin/true`).")
    payloads = results.get("first_payloads", {})
    w("First payload of each program (same simulated reading): " +
      ", ".join(f"{progs[n]['label']} `{p}`" for n, p in payloads.items() if n != floor) +
      (f"; the floor publishes `{payloads[floor]}` every cycle" if floor in payloads else "")
      + ".\n")
    return "\n".join(out)


BAR_COLOURS = {"python": "#3b75af", "shell": "#ef8636", "floor": "#7f7f7f"}


def gnuplot_text(text):
    """A title for gnuplot's enhanced text mode: "_" would make a subscript."""
    return text.replace("_", "\\_")


def chart(results, out_dir):
    progs = results["programs"]
    agent, alternatives, floor, variants = cast(progs)
    compared = alternatives + ([floor] if floor else [])
    data = os.path.join(out_dir, ".chart-ratios.dat")
    with open(data, "w") as f:
        for key in CHART_ROWS:
            ratios = [benchlib.ratio(progs[agent]["figures"][key], progs[b]["figures"][key])
                      for b in compared]
            f.write(f'"{CHART_LABELS[key]}" ' + " ".join(str(r) if r else "NaN" for r in ratios)
                    + "\n")
    rss = os.path.join(out_dir, ".chart-rss.dat")
    series = []
    with open(rss, "w") as f:
        for n in [agent] + variants + ([floor] if floor else []):
            samples = progs[n]["samples"].get("rss_long")
            if samples:
                f.write(f'# {n}\n' + "".join(f"{c} {kb / KIB_PER_MIB:.4f}\n" for c, kb in samples)
                        + "\n\n")
                series.append(gnuplot_text(progs[n]["label"]))
    wake = ", ".join(f"{short_label(progs[n])} {progs[n]['figures']['idle_wakeups_per_s']:.2g}/s"
                     for n in [agent] + compared)
    bars = ", \\\n     ".join(
        f"'{data}' using {i + 2}{':xtic(1)' if i == 0 else ''} "
        f"title '/ {gnuplot_text(progs[b]['label'])}' "
        f"lc rgb '{BAR_COLOURS.get(b, '#2ca02c')}'" for i, b in enumerate(compared))
    plot_rss = " , ".join(f"'{rss}' index {i} using 1:2 with linespoints lw 2 pt 7 title '{t}'"
                          for i, t in enumerate(series))
    script = f"""
set terminal pngcairo size 1400,620 font 'DejaVu Sans,11'
set output '{os.path.join(out_dir, 'chart.png')}'
set multiplot layout 1,2 title "The agent on the simulated board, x86-64 ({runs_phrase(results['settings']['reps'])})" font ',13'
set size 0.64,0.92
set origin 0,0
set title "Cost ratio agent / other program (log scale, below 1: the agent costs less)"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set logscale y
set yrange [0.003:30]
set ytics ("1/100" 0.01, "1/10" 0.1, "1" 1, "10" 10)
set grid ytics
set xtics rotate by -20 nomirror
set key top right
set xlabel "idle wake-ups per second: {wake}" offset 0,-0.5
plot {bars}, \\
     1 with lines lc rgb 'black' dt 2 notitle
set size 0.36,0.92
set origin 0.64,0
unset logscale y
set style data linespoints
set xtics norotate autofreq
set ytics autofreq
set yrange [0:*]
set title "Resident memory over a long run (sleep scaled)"
set xlabel "cycle"
set ylabel "MiB"
set key bottom right
plot {plot_rss if plot_rss else "NaN notitle"}, 2.5 with lines lc rgb 'red' dt 2 title '2.5 MiB target'
unset multiplot
"""
    subprocess.run(["gnuplot"], input=script, text=True, check=True)
    os.remove(data)
    os.remove(rss)


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("results", metavar="RESULTS_JSON")
    p.add_argument("out_dir", metavar="OUT_DIR")
    p.add_argument("history", metavar="HISTORY_JSON", nargs="?", default=os.path.join(HERE, "history.json"))
    args = p.parse_args(argv)
    with open(args.results) as f:
        results = json.load(f)
    with open(args.history) as f:
        history = json.load(f)
    os.makedirs(args.out_dir, exist_ok=True)
    with open(os.path.join(args.out_dir, "results.md"), "w") as f:
        f.write(markdown(results, history))
    chart(results, args.out_dir)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
