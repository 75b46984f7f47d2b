#!/usr/bin/python3
"""Turns the benchmarks' JSON output into the performance report.

Reads the Google Benchmark JSON files given on the command line (each program states its
pairs, targets and labels in the run's context, see bench/ratio_reporter.h), takes the
median of the repetitions, and writes:
  <out>/report.md   the table: each figure as a ratio to its same-run baseline, the
                    absolute times, the target where one exists and whether it is met,
                    then the end-to-end figures (frames per second, processor time per
                    delivered frame) and the age of a frame at delivery (median and 95th
                    percentile against the target of one frame interval + 2 ms)
  <out>/chart.png   the ratios against their targets
and, with --readme, replaces the table in the README between its marker comments.

  bench_report.py --out bench/report [--readme README.md] build/.../*.json
"""

import argparse
import datetime
import json
import os
import re
import sys

BEGIN = "<!-- bench-report:begin -->"
END = "<!-- bench-report:end -->"


def load(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def pairs_of(data):
    """The pairs a program published, in its order: candidate, baseline, target, counter,
    labels, note."""
    pairs = []
    for key, value in data.get("context", {}).items():
        match = re.match(r"ratio (\d+) (\S+)$", key)
        if not match:
            continue
        fields = dict(part.split("=", 1) for part in value.split(";") if "=" in part)
        pairs.append({
            "order": int(match.group(1)),
            "candidate": match.group(2),
            "baseline": fields.get("baseline", ""),
            "target": float(fields.get("target", "0") or 0),
            "counter": fields.get("counter", ""),
            "labels": fields.get("labels", "").split("|") if fields.get("labels") else [],
            "note": fields.get("note", ""),
        })
    return sorted(pairs, key=lambda pair: pair["order"])


US_PER = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}

# Figures are processor time of the benchmark's thread, not elapsed time: on a machine that
# others share, elapsed time also counts the stretches the thread waited for a processor,
# which have nothing to do with the code measured. (The end-to-end figure is processor
# time of both processes by its own counters.)
TIME = "cpu_time"


def figures(data):
    """Per run name ("Name/arg/..."): median time in us (see TIME), its counters, the spread
    (coefficient of variation of that time), an error text if the run failed."""
    out = {}
    for b in data.get("benchmarks", []):
        name = b.get("run_name", b["name"])
        entry = out.setdefault(name, {"median": None, "cv": None, "runs": [], "error": None})
        if b.get("error_occurred"):
            entry["error"] = b.get("error_message", "failed")
            continue
        record = {
            "time_us": b[TIME] * US_PER.get(b.get("time_unit", "ns"), 1e-3),
            "counters": {k: v for k, v in b.items() if isinstance(v, (int, float)) and k not in (
                "real_time", "cpu_time", "iterations", "repetitions", "repetition_index", "threads",
                "family_index", "per_family_instance_index")},
        }
        if b.get("run_type") == "aggregate":
            if b.get("aggregate_name") == "median":
                entry["median"] = record
            elif b.get("aggregate_name") == "cv":
                # Fractions: the time's and each counter's.
                entry["cv"] = {"time": b[TIME], "counters": record["counters"]}
        else:
            entry["runs"].append(record)
    for entry in out.values():
        if entry["median"] is None and entry["runs"]:
            entry["median"] = entry["runs"][len(entry["runs"]) // 2]
    return out


def find(figs, name, index):
    prefix = "%s/%d/" % (name, index)
    for run, entry in figs.items():
        if run.startswith(prefix) or run == prefix[:-1]:
            return entry
    return None


def fmt_time(us):
    if us is None:
        return "—"
    if us >= 1000:
        return "%.2f ms" % (us / 1000)
    return "%.1f µs" % us


def collect(files):
    rows, pipeline, contexts = [], [], []
    for path in files:
        data = load(path)
        program = os.path.splitext(os.path.basename(path))[0]
        contexts.append((program, data.get("context", {})))
        figs = figures(data)
        for pair in pairs_of(data):
            for i, label in enumerate(pair["labels"]):
                cand, base = find(figs, pair["candidate"], i), find(figs, pair["baseline"], i)
                row = {"program": program, "candidate": pair["candidate"], "baseline": pair["baseline"],
                       "label": label, "target": pair["target"], "counter": pair["counter"], "ratio_min": None,
                       "cand_us": None, "base_us": None, "ratio": None, "error": None,
                       "cand_cv": None, "base_cv": None, "counters": {}, "note": pair["note"]}
                for what, entry in (("candidate", cand), ("baseline", base)):
                    if entry is None:
                        row["error"] = "%s not run" % what
                    elif entry["error"]:
                        row["error"] = "%s: %s" % (what, entry["error"])
                if row["error"] is None and cand["median"] and base["median"]:
                    m = cand["median"]
                    row["counters"] = m["counters"]
                    row["cand_us"] = m["counters"].get(pair["counter"]) if pair["counter"] else m["time_us"]
                    row["base_us"] = base["median"]["time_us"]
                    # The ratio of the fastest repetitions: load on the machine only ever adds
                    # time, so where the spread is large this is the steadier figure.
                    key = (lambda run: run["counters"].get(pair["counter"])) if pair["counter"] else (
                        lambda run: run["time_us"])
                    cand_best = [key(run) for run in cand["runs"] if key(run) is not None]
                    base_best = [run["time_us"] for run in base["runs"]]
                    if cand_best and base_best and min(base_best) > 0:
                        row["ratio_min"] = min(cand_best) / min(base_best)
                    if cand["cv"]:
                        row["cand_cv"] = (cand["cv"]["counters"].get(pair["counter"]) if pair["counter"]
                                          else cand["cv"]["time"])
                    if base["cv"]:
                        row["base_cv"] = base["cv"]["time"]
                    if row["cand_us"] is not None and row["base_us"] > 0:
                        row["ratio"] = row["cand_us"] / row["base_us"]
                rows.append(row)
                if pair["counter"]:
                    pipeline.append(row)
    return rows, pipeline, contexts


def verdict(row):
    if row["ratio"] is None:
        return "not measured"
    if row["target"] <= 0:
        return "no target"
    return "yes" if row["ratio"] <= row["target"] else "**no**"


def spread(cv):
    return "—" if cv is None else "%.0f%%" % (cv * 100)


def main_table(rows):
    lines = [
        "| Benchmark / baseline | Case | Candidate | Baseline | Spread | Ratio | Fastest | Target | Met |",
        "|---|---|---:|---:|---:|---:|---:|---:|---|",
    ]
    notes = []
    for r in rows:
        name = "%s / %s" % (r["candidate"], r["baseline"])
        if r["counter"]:
            # Counters named call_* are the wall-clock time of one call; the others are
            # processor time.
            what = "time of one call" if r["counter"].startswith("call_") else "processor time per frame"
            name = "%s (%s) / %s" % (r["candidate"], what, r["baseline"])
        if r["note"]:
            if r["note"] not in notes:
                notes.append(r["note"])
            name += " [%d]" % (notes.index(r["note"]) + 1)
        ratio = "—" if r["ratio"] is None else "%.2f" % r["ratio"]
        target = "≤ %.2f" % r["target"] if r["target"] > 0 else "—"
        met = verdict(r) if r["error"] is None else "failed: " + r["error"]
        fastest = "—" if r["ratio_min"] is None else "%.2f" % r["ratio_min"]
        lines.append("| %s | %s | %s | %s | %s / %s | %s | %s | %s | %s |" % (
            name, r["label"], fmt_time(r["cand_us"]), fmt_time(r["base_us"]), spread(r["cand_cv"]),
            spread(r["base_cv"]), ratio, fastest, target, met))
    if notes:
        lines.append("")
        lines.extend("[%d] %s." % (i + 1, note[0].upper() + note[1:]) for i, note in enumerate(notes))
    return "\n".join(lines)


def pipeline_table(rows):
    lines = [
        "| Size | Frames/s delivered | Frames/s written | Camera process | Producer process | Processor time per frame | Two memcpys (baseline) | Ratio |",
        "|---|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for r in rows:
        c = r["counters"]
        if r["ratio"] is None:
            lines.append("| %s | — | — | — | — | — | — | %s |" % (r["label"], r["error"] or "not measured"))
            continue
        # A figure a program does not measure (the PipeWire camera has no producer count and
        # one process) is a dash, not a zero.
        producer_fps = "%.1f" % c["producer_fps"] if "producer_fps" in c else "—"
        lines.append("| %s | %.1f | %s | %s | %s | %s | %s | %.1f |" % (
            r["label"], c.get("fps", 0), producer_fps, fmt_time(c.get("camera_cpu_us_per_frame")),
            fmt_time(c.get("producer_cpu_us_per_frame")), fmt_time(r["cand_us"]), fmt_time(r["base_us"]),
            r["ratio"]))
    return "\n".join(lines)


def latency_rows(files):
    """Per benchmark that reports a frame's age at delivery (counters age_median_us,
    age_p95_us, age_target_us), in the program's order: its label and the medians of those
    counters over the repetitions."""
    rows = []
    for path in files:
        for name, entry in figures(load(path)).items():
            if entry["error"]:
                rows.append({"name": name, "label": name, "error": entry["error"]})
                continue
            median = entry["median"]
            if not median or "age_median_us" not in median["counters"]:
                continue
            label = next((b.get("label") for b in load(path).get("benchmarks", [])
                          if b.get("run_name", b["name"]) == name and b.get("label")), name)
            rows.append({"name": name, "label": label, "error": None, "counters": median["counters"],
                         "runs": [run["counters"].get("age_median_us") for run in entry["runs"]]})
    return rows


def latency_table(rows):
    lines = [
        "| Case | Frames per run | Median age | 95th percentile | Medians of the runs | Target (median ≤) | Met |",
        "|---|---:|---:|---:|---|---:|---|",
    ]
    for r in rows:
        if r["error"]:
            lines.append("| %s | — | — | — | — | — | failed: %s |" % (r["label"], r["error"]))
            continue
        c = r["counters"]
        runs = ", ".join("%.1f" % (v / 1000) for v in r["runs"] if v is not None)
        met = "yes" if c["age_median_us"] <= c["age_target_us"] else "**no**"
        lines.append("| %s | %.0f | %s | %s | %s ms | %s | %s |" % (
            r["label"], c.get("frames", 0), fmt_time(c["age_median_us"]), fmt_time(c["age_p95_us"]), runs,
            fmt_time(c["age_target_us"]), met))
    return "\n".join(lines)


def chart(rows, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    shown = [r for r in rows if r["ratio"] is not None]
    names = ["%s%s  %s" % (r["candidate"], " CPU/frame" if r["counter"] else "", r["label"]) for r in shown]
    ratios = [r["ratio"] for r in shown]
    colours = []
    for r in shown:
        if r["target"] <= 0:
            colours.append("#7f8c8d")
        elif r["ratio"] <= r["target"]:
            colours.append("#2e8b57")
        else:
            colours.append("#c0392b")
    fig, ax = plt.subplots(figsize=(10, 0.42 * len(shown) + 1.6), dpi=110)
    y = list(range(len(shown)))[::-1]
    ax.barh(y, ratios, color=colours, height=0.6, zorder=2)
    for yi, r in zip(y, shown):
        ax.text(max(r["ratio"], r["target"]) * 1.04, yi, "%.2f" % r["ratio"], va="center", fontsize=9, zorder=3)
        if r["target"] > 0:
            ax.plot([r["target"], r["target"]], [yi - 0.42, yi + 0.42], color="black", linewidth=2.2, zorder=4)
    # A thin line between the programs.
    for i in range(1, len(shown)):
        if shown[i]["program"] != shown[i - 1]["program"]:
            ax.axhline((y[i] + y[i - 1]) / 2, color="#999999", linewidth=0.6, zorder=1)
    ax.set_yticks(y)
    ax.set_yticklabels(names, fontsize=9)
    ax.set_xscale("log")
    ax.axvline(1.0, color="#555555", linewidth=0.8, linestyle=":", zorder=1)
    top = max(ratios + [r["target"] for r in shown]) * 1.5
    ax.set_xlim(0.5, top)
    ticks = [t for t in (0.5, 1, 1.5, 2, 3, 5, 10, 20, 50, 100, 200, 500) if t <= top]
    ax.set_xticks(ticks)
    ax.set_xticklabels(["%g" % t for t in ticks])
    ax.grid(axis="x", color="#dddddd", zorder=0)
    ax.set_xlabel("ratio to the baseline measured in the same run (log scale; lower is better)")
    ax.set_title("Amberline benchmarks: ratio to baseline (black mark = target)")
    from matplotlib.patches import Patch
    from matplotlib.lines import Line2D
    ax.legend(handles=[Patch(color="#2e8b57", label="target met"), Patch(color="#c0392b", label="above target"),
                       Patch(color="#7f8c8d", label="no target"),
                       Line2D([0], [0], color="black", linewidth=2.2, label="target")],
              loc="lower right", fontsize=8, framealpha=0.9)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def machine_line(contexts):
    for _, c in contexts:
        if c:
            load = c.get("load_avg")
            load_text = ", load average at start %s" % ", ".join("%.1f" % v for v in load) if load else ""
            return "%s CPUs at %s MHz%s" % (c.get("num_cpus", "?"), c.get("mhz_per_cpu", "?"), load_text)
    return "unknown machine"


def replace_readme(readme, table, note):
    with open(readme, encoding="utf-8") as f:
        text = f.read()
    if BEGIN not in text or END not in text:
        sys.exit("bench_report.py: %s has no %s ... %s markers" % (readme, BEGIN, END))
    head, rest = text.split(BEGIN, 1)
    _, tail = rest.split(END, 1)
    with open(readme, "w", encoding="utf-8") as f:
        f.write(head + BEGIN + "\n" + note + "\n\n" + table + "\n" + END + tail)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--out", required=True)
    parser.add_argument("--readme")
    parser.add_argument("--repetitions", default="?")
    parser.add_argument("files", nargs="+")
    args = parser.parse_args()

    rows, pipeline, contexts = collect(args.files)
    latency = latency_rows(args.files)
    os.makedirs(args.out, exist_ok=True)
    chart(rows, os.path.join(args.out, "chart.png"))

    # When the benchmarks ran (the first program's start), not when this script ran.
    started = next((c.get("date") for _, c in contexts if c.get("date")), None)
    try:
        when = datetime.datetime.fromisoformat(started).strftime("%Y-%m-%d %H:%M") if started else "?"
    except ValueError:
        when = started
    table = main_table(rows)
    failed = [r for r in rows if r["target"] > 0 and r["ratio"] is not None and r["ratio"] > r["target"]]
    report = [
        "# Amberline performance report",
        "",
        "Made by `scripts/bench-report.sh` on %s: %s. Every figure is processor time (the "
        "benchmark thread's, or both processes' for the end-to-end figure), the median of %s "
        "repetitions; each ratio divides a figure by its baseline measured in the same run of "
        "the same program, so it is comparable between machines where absolute times are not. "
        "Lower is better; the target is the ratio not to exceed." % (when, machine_line(contexts), args.repetitions),
        "",
        "![ratios against targets](chart.png)",
        "",
        "## Ratios",
        "",
        table,
        "",
        "%d of %d figures with a target are above it (judged on the ratio of medians). Spread is "
        "the coefficient of variation over the repetitions (candidate / baseline): where it is "
        "large, or the load average exceeds the number of CPUs, ratios move between runs by about "
        "that much, so a figure within that distance of its target is not a clear pass or fail. "
        "Fastest is the ratio of the fastest repetition of each: load only ever adds time, so on a "
        "busy machine it is the steadier figure." % (
            len(failed), len([r for r in rows if r["target"] > 0 and r["ratio"] is not None])),
        "",
        "## End to end: producer → camera → renderer",
        "",
        "amberline-producer (its own process) writes a still picture at 100 frames a second; the "
        "camera (in the benchmark process) runs in a filter graph with the producer's size, so it "
        "copies each frame once, straight into the sample, and the host renderer takes it. The "
        "camera's worker starts at its default 40 ms interval; a quality message from downstream "
        "brings it to its 10 ms minimum before the measurement starts. Processor time is user + system time of both processes, all threads, "
        "over a 3-second window, divided by the frames the renderer received. The baseline is two "
        "memcpys of one frame, the least any road through a shared region costs (into it and out "
        "of it); it runs hot in the cache, the pipeline's copies do not.",
        "",
        pipeline_table(pipeline),
        "",
        "Frames per second are bounded by the camera's pacing: it sleeps its interval (10 ms) "
        "before each frame, so the frame's own time adds to it. Besides its copy, each process pays "
        "a fixed cost per frame (waking from its pacing sleep, the channel's mutex and event calls, "
        "the delivery to the renderer), which weighs most at the small sizes. The producer writes "
        "100 frames a second whatever the camera takes, so its time per delivered frame includes "
        "the frames it wrote between two deliveries.",
        "",
        "## Age of a frame at delivery",
        "",
        "A producer thread writes frames through the shared region at the camera's rate (every "
        "40 ms: 25 fps, or every 10 ms: the camera's fastest pace), each stamped in its first "
        "pixels with the machine-wide monotonic clock as it is handed to the region; the camera, "
        "connected at the producer's size and that interval, copies each frame into its sample; "
        "the renderer reads the stamp as the sample arrives. The age is the time between the two. "
        "Producer and camera are not synchronised, so a frame waits in the region for up to one "
        "interval: at equal rates that wait is set by the phase between the two clocks, which is "
        "fixed within a run and differs between runs (hence the spread of the runs' medians at "
        "40 ms); a frame the camera delivers twice counts twice, with its greater age. Median "
        "and 95th percentile over 4 seconds per run, the median of the runs' figures shown.",
        "",
        latency_table(latency),
        "",
        "## Per program",
        "",
        "Raw output: `json/<program>.json` next to this file (Google Benchmark JSON, every "
        "repetition and the aggregates).",
        "",
    ]
    with open(os.path.join(args.out, "report.md"), "w", encoding="utf-8") as f:
        f.write("\n".join(report))

    if args.readme:
        note = ("Last run (`scripts/bench-report.sh`, %s, %s; processor time, medians of %s repetitions; full report "
                "and chart in [bench/report/](bench/report/report.md)):" % (when, machine_line(contexts),
                                                                            args.repetitions))
        readme_table = table
        if latency:
            readme_table += "\n\nAge of a frame at delivery (producer → region → camera → renderer):\n\n" + \
                latency_table(latency)
        replace_readme(args.readme, readme_table, note)
    print(table)
    print()
    print(pipeline_table(pipeline))
    if latency:
        print()
        print(latency_table(latency))


if __name__ == "__main__":
    main()
