"""Batches of forked children: Pcall.pcall against the peers a user would pick."""

import json
import os
import subprocess
import sys

from common import Table, Target

HERE = os.path.dirname(os.path.abspath(__file__))

PEERS = {
    "pcall": "Pcall.pcall",
    "raw": "fork Process + SimpleQueue",
    "ppe": "ProcessPoolExecutor (fork)",
    "pool": "multiprocessing.Pool (fork)",
    "joblib": "joblib.Parallel",
}
TARGET_NAMES = {"noop": "no-op", "sleep": "0.5 s sleep", "mib": "1 MiB result"}


def worker(*args, timeout=300):
    out = subprocess.run([sys.executable, os.path.join(HERE, "batch_worker.py"), *map(str, args)],
                         capture_output=True, text=True, timeout=timeout)
    if out.returncode != 0:
        return {"error": f"exit {out.returncode}: {out.stderr.strip().splitlines()[-1:]}"}
    return json.loads(out.stdout.strip().splitlines()[-1])


def reps_for(n, quick):
    if quick:
        return 2 if n < 256 else 1
    return {1: 7, 16: 5, 64: 3, 256: 2}[n]


def batches(quick=False, sizes=(1, 16, 64, 256)):
    tables, targets, data = [], [], {}
    for target in ("noop", "sleep", "mib"):
        table = Table(
            f"Batch, {TARGET_NAMES[target]} target",
            ["N", "peer", "wall s", "beyond poll s", "vs raw Process", "parent peak MiB"],
            "Median wall time of one batch of N children; 'beyond poll' is the wall time less "
            "Pcall's 0.25 s poll pauses (less the target's own 0.5 s sleep for the peers). "
            "Pools are made per batch with N workers; joblib keeps its reusable loky workers "
            "between batches (at most 64). Each row ran in a fresh interpreter.",
        )
        for n in sizes:
            rows = {peer: worker(peer, target, n, reps_for(n, quick)) for peer in PEERS}
            data[(target, n)] = rows
            raw = rows["raw"].get("wall")
            for peer, label in PEERS.items():
                r = rows[peer]
                if "error" in r:
                    table.add(n, label, "fails: " + r["error"], "", "", "")
                else:
                    table.add(n, label, r["wall"], r["beyond"], r["wall"] / raw if raw else "", r["peak_mib"])
        tables.append(table)
    return tables, targets, data


def unpicklable(quick=False):
    n = 16
    table = Table(
        "Only forkline: a lambda target with an unpicklable argument (a threading.Lock), N=16",
        ["peer", "result"],
        "Pcall hands targets and arguments to the children through fork, never pickles them; "
        "raw fork-context Processes share that, but then each caller writes the zipping, "
        "result ordering and failure re-raising by hand.",
    )
    for peer, label in PEERS.items():
        r = worker(peer, "unpicklable", n, 1 if quick else 3)
        table.add(label, "fails: " + r["error"] if "error" in r else f"works, {r['wall']:.3f} s")
    return table


def per_child(quick=False):
    """Cost per child beyond the poll granularity: Pcall against raw Processes
    whose target makes the same inspect.stack() call as Pcall's step search."""
    table = Table(
        "Cost per child (CPU of parent and children), no-op target",
        ["N", "variant", "CPU ms/child", "beyond-poll wall ms/child", "vs raw + inspect.stack()"],
        "CPU time of the parent and all its reaped children for one batch, per child: what a "
        "batch costs whatever the poll pauses. Every Pcall child searches the stack for the "
        "caller's test step with inspect.stack(); the raw children make the same call. Each "
        "Pcall child also imports the test harness names (Steps, TerminateStepSignal) in "
        "run(); 'harness loaded' is the common case of a caller inside a test step, whose "
        "process has them imported already.",
    )
    targets = []
    variants = [("pcall", "Pcall.pcall"), ("pcall_harness", "Pcall.pcall, harness loaded"),
                ("raw_stack", "raw Process + inspect.stack()"), ("raw", "raw Process")]
    for n in (16, 64):
        rows = {v: worker(v, "noop", n, 3 if quick else 7) for v, _ in variants}
        base = rows["raw_stack"]["cpu"] / n
        for v, label in variants:
            r = rows[v]
            cpu = r["cpu"] / n
            table.add(n, label, cpu * 1e3, r["beyond"] / n * 1e3, cpu / base)
        if n == 64:
            targets.append(Target("per-child cost, Pcall (harness loaded) / raw + inspect.stack()",
                                  rows["pcall_harness"]["cpu"] / rows["raw_stack"]["cpu"], 1.15))
            targets.append(Target("per-child cost, Pcall (harness not yet imported) / raw + inspect.stack()",
                                  rows["pcall"]["cpu"] / rows["raw_stack"]["cpu"], 1.15))
    return table, targets


def growth(quick=False):
    batches_ = 30 if quick else 100
    r = worker("growth", batches_)
    table = Table(
        "Parent memory over consecutive batches",
        ["batches", "RSS after the first KiB", "RSS after the last KiB", "growth KiB"],
        "Pcall.pcall of a no-op over 4 children, again and again in one process.",
    )
    table.add(r["batches"], r["after_first_kib"], r["after_last_kib"], r["growth_kib"])
    return table, [Target(f"parent RSS growth over {batches_} batches", r["growth_kib"] / 1024, 1.0, unit=" MiB")]


def run(quick=False):
    out = []
    tables, targets, data = batches(quick)
    out += [(t, [], None) for t in tables]
    out.append((unpicklable(quick), [], None))
    t, tg = per_child(quick)
    out.append((t, tg, None))
    t, tg = growth(quick)
    out.append((t, tg, None))
    return out, data
