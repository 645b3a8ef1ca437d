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


SWEEP = {
    "pcall": "Pcall.pcall",
    "pcall_harness": "Pcall.pcall, harness loaded",
    "raw_stack": "fork Process + inspect.stack()",
    "ppe": "ProcessPoolExecutor (fork)",
    "pool": "multiprocessing.Pool (fork)",
}
SWEEP_SIZES = (1, 16, 64, 256)


def sweep_reps(n, quick):
    if quick:
        return 2 if n < 256 else 1
    return {1: 7, 16: 5, 64: 3, 256: 3}[n]


def per_child(quick=False):
    """Batch-size sweep of no-op children: what each child costs beyond the
    poll pauses, Pcall against raw fork Processes whose target makes the same
    inspect.stack() call as Pcall's step search, and against the pools."""
    table = Table(
        "Cost per child, batch-size sweep, no-op target",
        ["N", "variant", "wall s", "beyond poll s", "beyond poll ms/child", "CPU ms/child",
         "per child vs raw + inspect.stack()", "CPU vs raw + inspect.stack()"],
        "Median of one batch of N children. 'Beyond poll' is the wall time less Pcall's 0.25 s poll "
        "pauses; CPU is that of the parent and all its reaped children. Every Pcall child searches "
        "the stack for the caller's test step with inspect.stack(), and the raw children make the "
        "same call; each Pcall child also imports the harness names in run(), unless the caller "
        "has them loaded already ('harness loaded', the case of a caller inside a test step). "
        "Pools are made per batch with N workers. Each row ran in a fresh interpreter.",
    )
    targets, data = [], {}
    for n in SWEEP_SIZES:
        rows = {v: worker(v, "noop", n, sweep_reps(n, quick)) for v in SWEEP}
        data[n] = rows
        base = rows["raw_stack"]
        for v, label in SWEEP.items():
            r = rows[v]
            if "error" in r:
                table.add(n, label, "fails: " + r["error"], "", "", "", "", "")
                continue
            table.add(n, label, r["wall"], r["beyond"], r["beyond"] / n * 1e3, r["cpu"] / n * 1e3,
                      r["beyond"] / base["beyond"], r["cpu"] / base["cpu"])
        if n >= 16:
            for v in ("pcall", "pcall_harness"):
                what = "Pcall" if v == "pcall" else "Pcall (harness loaded)"
                targets.append(Target(f"N={n}: {what} per child beyond the poll / raw + inspect.stack()",
                                      rows[v]["beyond"] / base["beyond"], 0.6))
                targets.append(Target(f"N={n}: {what} CPU per child / raw + inspect.stack()",
                                      rows[v]["cpu"] / base["cpu"], 0.6))
    return table, targets, data


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


def run(quick=False, batch=True, sweep=True):
    out, data = [], {}
    if batch:
        tables, targets, data = batches(quick)
        out += [(t, [], None) for t in tables]
        out.append((unpicklable(quick), [], None))
    if sweep:
        t, tg, data["sweep"] = per_child(quick)
        out.append((t, tg, None))
    if batch:
        t, tg = growth(quick)
        out.append((t, tg, None))
    return out, data
