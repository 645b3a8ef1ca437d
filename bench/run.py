"""Runs every benchmark scenario, prints its table and the targets, and writes
bench/results/RESULTS.md, results.json and results.png.

    python bench/run.py [--quick] [--only lock,build,batch,sweep,faults]
"""

import argparse
import json
import os
import platform
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from common import Table  # noqa: E402


def machine():
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    mem = ""
    try:
        with open("/proc/meminfo") as f:
            kib = int(f.readline().split()[1])
            mem = f", {kib / 2**20:.0f} GiB"
    except (OSError, ValueError, IndexError):
        pass
    return (f"{cpu}, {os.cpu_count()} cores{mem}; Linux {platform.release()}; "
            f"CPython {platform.python_version()}")


def load():
    try:
        return " / ".join(f"{x:.2f}" for x in os.getloadavg())
    except OSError:
        return "unknown"


def chart(path, results, batch_data):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(3, 2, figsize=(13, 13))
    fig.suptitle("tavrix.async_ against its peers (lower is better)")

    def bars(ax, ns, title, unit):
        labels = list(ns)
        colours = ["tab:blue" if not any(w in l for w in ("hand", "pure", "wrapt", "threading", "obj.", "held", "type", "bare", "floor"))
                   else "tab:gray" for l in labels]
        ax.barh(labels[::-1], [ns[l] for l in labels][::-1], color=colours[::-1])
        ax.set_title(title)
        ax.set_xlabel(unit)
        ax.tick_params(axis="y", labelsize=8)

    def lines(ax, sizes, series, title, unit):
        for label, (xs, ys, bold) in series.items():
            ax.plot(xs, ys, marker="o", label=label, linewidth=2.5 if bold else 1.2)
        ax.set_xscale("log", base=2)
        ax.set_xticks(sizes)
        ax.set_xticklabels([str(n) for n in sizes])
        ax.set_xlabel("children per batch (N)")
        ax.set_ylabel(unit)
        ax.set_title(title)
        ax.legend(fontsize=8)
        ax.grid(alpha=0.3)

    if "Locked method call" in results:
        bars(axes[0][0], results["Locked method call"], "Locked method call", "ns per call")
    else:
        axes[0][0].axis("off")
    if "Lockable.acquire/release" in results:
        bars(axes[0][1], results["Lockable.acquire/release"], "acquire + release", "ns per pair")
    else:
        axes[0][1].axis("off")
    from bench_batch import PEERS, SWEEP

    for ax, target, title in ((axes[1][0], "noop", "Batch wall time, no-op target"),
                              (axes[1][1], "sleep", "Batch wall time, 0.5 s sleeping target")):
        sizes = sorted(key[1] for key in batch_data if isinstance(key, tuple) and key[0] == target)
        if not sizes:
            ax.axis("off")
            continue
        series = {}
        for peer, label in PEERS.items():
            rows = [(n, batch_data[(target, n)][peer]) for n in sizes]
            points = [(n, r["wall"]) for n, r in rows if "wall" in r]
            series[label] = ([x for x, _ in points], [y for _, y in points], peer == "pcall")
        lines(ax, sizes, series, title, "seconds")
    sweep = batch_data.get("sweep")
    for ax, key, title in ((axes[2][0], "beyond", "Per child beyond the poll, no-op target"),
                           (axes[2][1], "cpu", "CPU per child (parent and children), no-op target")):
        if not sweep:
            ax.axis("off")
            continue
        sizes = sorted(sweep)
        series = {}
        for variant, label in SWEEP.items():
            points = [(n, sweep[n][variant][key] / n * 1e3) for n in sizes if key in sweep[n][variant]]
            series[label] = ([x for x, _ in points], [y for _, y in points], variant.startswith("pcall"))
        lines(ax, sizes, series, title, "ms per child")
    fig.tight_layout()
    fig.savefig(path, dpi=90)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="fewer repetitions (a smoke run)")
    parser.add_argument("--only", default="lock,build,batch,sweep,faults")
    opts = parser.parse_args()
    only = set(opts.only.split(","))
    out_dir = os.path.join(HERE, "results")
    os.makedirs(out_dir, exist_ok=True)

    started = time.time()
    host = machine()
    load_start = load()
    print(f"Machine: {host}; load average {load_start} (1, 5, 15 min)\n")
    sections, targets, raw_results, batch_data, instruction_counts = [], [], {}, {}, {}

    def take(entries):
        for table, tg, ns in entries:
            print(table.text(), flush=True)
            sections.append(table)
            targets.extend(tg)
            if ns is not None:
                raw_results[table.title] = ns

    if "lock" in only:
        import bench_lock

        entries, counts = bench_lock.run(opts.quick)
        take(entries)
        instruction_counts.update(counts)
    if "build" in only:
        import bench_build

        entries, counts = bench_build.run(opts.quick)
        take(entries)
        instruction_counts.update(counts)
    if "batch" in only or "sweep" in only:
        import bench_batch

        entries, batch_data = bench_batch.run(opts.quick, batch="batch" in only, sweep="sweep" in only)
        take(entries)

    if "faults" in only:
        import fault_matrix

        table, _ = fault_matrix.matrix(limit=10 if opts.quick else 20)
        take([(table, [], None)])
        entries, _ = fault_matrix.large_results(opts.quick)
        take(entries)

    summary = Table("Targets", ["target", "measured", "limit", "status"])
    for t in targets:
        summary.rows.append(t.row())
    print(summary.text())
    elapsed = time.time() - started
    print(f"Bench ran in {elapsed:.0f} s.")

    load_end = load()
    print(f"Load average at the end: {load_end}")
    md = ["# Benchmark results", "", f"Machine: {host}. Load average (1, 5, 15 min) {load_start} at the start, "
          f"{load_end} at the end. Whole run: {elapsed:.0f} s" + (" (quick run)." if opts.quick else "."), "",
          summary.markdown()]
    md += [t.markdown() for t in sections]
    with open(os.path.join(out_dir, "RESULTS.md"), "w") as f:
        f.write("\n".join(md))
    with open(os.path.join(out_dir, "results.json"), "w") as f:
        json.dump({"machine": host, "load": [load_start, load_end],
                   "tables": {t.title: {"columns": t.columns, "rows": t.rows} for t in sections},
                   "targets": [t.row() for t in targets], "instructions": instruction_counts}, f, indent=1)
    chart(os.path.join(out_dir, "results.png"), raw_results, batch_data)
    print(f"Wrote {out_dir}/RESULTS.md, results.json and results.png")


if __name__ == "__main__":
    main()
