#!/usr/bin/python3
"""Turns the benchmark's figures (results.json from measure.py) into
results.md and chart.png (gnuplot).

    report.py RESULTS_JSON OUT_DIR
"""

import json
import os
import subprocess
import sys

import benchlib

KIB_PER_MIB = 1024
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


def markdown(results):
    s = results["settings"]
    progs = results["programs"]
    agents = [n for n, p in progs.items() if p["is_agent"]]
    alternatives = [n for n, p in progs.items() if not p["is_agent"]]
    out = []
    w = out.append
    w("# Footprint and cost per cycle: the agent and what users would run instead\n")
    w(f"Measured by `bench/run.sh` on {s['date']}: {s['machine']}, {s['cpus']} cores, Linux "
      f"{s['kernel']}, in {s['duration_s'] // 60} min {s['duration_s'] % 60} s. Every program ran "
      f"on the same simulated board (AHT10 on I2C bus 0, a pseudo-terminal as UART 0) and "
      f"published to the same local broker ({s['broker']}). Each figure is the median of "
      f"{s['reps']} runs; per-cycle figures are the difference between a run of "
      f"{s['long_cycles']} cycles and one of {s['short_cycles']}, divided by "
      f"{s['long_cycles'] - s['short_cycles']}, so that start-up and shutdown cancel out. "
      f"What is measured and how: [bench/README.md](../README.md).\n")
    w("Programs:\n")
    for n, p in progs.items():
        w(f"- **{p['label']}**" + (f": MQTT client id `{p['client_id']}`" if p["client_id"] else ""))
    if "agent-patched" in progs:
        w("\n`agent (patched)` is the agent built with "
          "[bench/agent-footprint.patch](../agent-footprint.patch) applied to `src/` and "
          "`CMakeLists.txt`: the before and after of the cuts.")
    w("")

    w("## Figures\n")
    w("| | " + " | ".join(progs[n]["label"] for n in progs) + " |")
    w("|---|" + "---:|" * len(progs))
    for key, label, unit, decimals in ROWS:
        cells = [fmt(progs[n]["figures"].get(key), decimals) for n in progs]
        w(f"| {label}{' (' + unit + ')' if unit and unit != '/s' else ''} | " + " | ".join(cells)
          + " |")
    for n in agents:
        f = progs[n]["figures"]
        if "rss_long_growth_kb" in f:
            first, last = f["long_cycles"]
            w(f"| Resident memory after {first} and after {last:,} cycles, {progs[n]['label']} "
              f"(kB) | " + " | ".join(
                  f"{fmt(f['rss_long_first_kb'])} → {fmt(f['rss_long_last_kb'])}" if m == n else ""
                  for m in progs) + " |")
    w("")

    out.extend(tls_section(progs))

    w("## Ratios: agent / alternative\n")
    w("Below 1 the agent costs less.\n")
    header = []
    for a in agents:
        for b in alternatives:
            header.append(f"{progs[a]['label']} / {progs[b]['label'].split(' (')[0]}")
    w("| | " + " | ".join(header) + " |")
    w("|---|" + "---:|" * len(header))
    for key, label, _, _ in ROWS:
        cells = []
        for a in agents:
            for b in alternatives:
                cells.append(fmt_ratio(benchlib.ratio(progs[a]["figures"].get(key),
                                                      progs[b]["figures"].get(key))))
        w(f"| {label} | " + " | ".join(cells) + " |")
    w("")

    w("## Targets (x86-64, this machine)\n")
    w("| Target | " + " | ".join(progs[a]["label"] for a in agents) + " |")
    w("|---|" + "---|" * len(agents))
    per_agent = [targets(progs[a], progs["python"]) for a in agents]
    for i, (name, _, _) in enumerate(per_agent[0]):
        w(f"| {name} | " + " | ".join(f"{rows[i][1]}: {mark(rows[i][2])}" for rows in per_agent)
          + " |")
    w("")
    w("![chart](chart.png)\n")

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
    w("First payload of each program (same simulated reading): " +
      ", ".join(f"{progs[n]['label']} `{p}`" for n, p in results.get("first_payloads", {}).items())
      + ".\n")
    return "\n".join(out)


def tls_section(progs):
    """The TLS build's figures beside the plain build's, when both ran."""
    if "agent" not in progs or "agent-tls" not in progs:
        return []
    plain, tls = progs["agent"]["figures"], progs["agent-tls"]["figures"]
    out = ["## MQTT over TLS: the TLS build beside the plain build\n",
           "`agent (TLS)` is the agent built with `-DAGENT_TLS=ON` (Paho's TLS client, OpenSSL 3; "
           "the broker's TLS listener on port 8883). Its CA file is what a board's would be, the "
           "system's CA bundle (`/etc/ssl/certs/ca-certificates.crt`), with the CA made for the run, "
           "which signs the broker's certificate, added at its end.\n",
           "| | agent | agent (TLS) | TLS − plain | TLS / plain |", "|---|---:|---:|---:|---:|"]
    for key, label, unit, decimals in ROWS:
        if key not in TLS_ROWS:
            continue
        a, b = plain.get(key), tls.get(key)
        diff = None if a is None or b is None else b - a
        sign = "+" if diff is not None and diff > 0 else ""
        out.append(f"| {label}{' (' + unit + ')' if unit else ''} | {fmt(a, decimals)} | "
                   f"{fmt(b, decimals)} | {sign}{fmt(diff, decimals)} | "
                   f"{fmt_ratio(benchlib.ratio(b, a))} |")
    out.append("")
    return out


def chart(results, out_dir):
    progs = results["programs"]
    agents = [n for n, p in progs.items() if p["is_agent"]]
    final = [a for a in agents if a != "agent-tls"][-1]  # the patched build when there is one
    data = os.path.join(out_dir, ".chart-ratios.dat")
    with open(data, "w") as f:
        for key in CHART_ROWS:
            r_py = benchlib.ratio(progs[final]["figures"][key], progs["python"]["figures"][key])
            r_sh = benchlib.ratio(progs[final]["figures"][key], progs["shell"]["figures"][key])
            f.write(f'"{CHART_LABELS[key]}" {r_py if r_py else "NaN"} {r_sh if r_sh else "NaN"}\n')
    rss = os.path.join(out_dir, ".chart-rss.dat")
    series = []
    with open(rss, "w") as f:
        for a in agents:
            samples = progs[a]["samples"].get("rss_long")
            if samples:
                f.write(f'# {a}\n' + "".join(f"{c} {kb / KIB_PER_MIB:.4f}\n" for c, kb in samples)
                        + "\n\n")
                series.append(progs[a]["label"])
    wake = ", ".join(f"{progs[n]['label'].split(' (')[0] if not progs[n]['is_agent'] else progs[n]['label']} "
                     f"{progs[n]['figures']['idle_wakeups_per_s']:.2g}/s" for n in progs)
    plot_rss = " , ".join(f"'{rss}' index {i} using 1:2 with linespoints lw 2 pt 7 title '{t}'"
                          for i, t in enumerate(series))
    script = f"""
set terminal pngcairo size 1400,620 font 'DejaVu Sans,11'
set output '{os.path.join(out_dir, 'chart.png')}'
set multiplot layout 1,2 title "{progs[final]['label']} on the simulated board, x86-64 (median of {results['settings']['reps']} runs)" font ',13'
set size 0.64,0.92
set origin 0,0
set title "Cost ratio {progs[final]['label']} / alternative (log scale, below 1: the agent costs less)"
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
plot '{data}' using 2:xtic(1) title '/ Python (paho-mqtt, smbus2)' lc rgb '#3b75af', \\
     '' using 3 title '/ shell loop (mosquitto\\_pub)' lc rgb '#ef8636', \\
     1 with lines lc rgb 'black' dt 2 notitle
set size 0.36,0.92
set origin 0.64,0
unset logscale y
set style data linespoints
set xtics norotate autofreq
set ytics autofreq
set yrange [0:*]
set title "Agent resident memory over a long run (sleep scaled)"
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
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    with open(argv[0]) as f:
        results = json.load(f)
    os.makedirs(argv[1], exist_ok=True)
    with open(os.path.join(argv[1], "results.md"), "w") as f:
        f.write(markdown(results))
    chart(results, argv[1])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
