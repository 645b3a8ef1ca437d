"""The lock and argument-building figures of one or more CPython versions, one
Markdown table per version, each from one run of the bench on that version.

    python3 bench/per_version.py 3.10 3.11 3.12 3.13    # runs scripts/bench.sh --only lock,build
    python3 bench/per_version.py --from results-3.14.json ...   # renders runs made before

Each run's results.json is kept as bench/results/results-<version>.json; the
tables go to standard output.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

# (operation, table, the module's row, the floor's row, the reference row, what the reference is)
ROWS = [
    ("`locked` call", "Locked method call", "synchronize.locked", "floor: generic wrapper",
     "same lock by hand in Python", "by hand"),
    ("`Lockable.locked` call", "Locked method call", "Lockable.locked", "floor: Lockable's wrapper",
     "same lock by hand in Python", "by hand"),
    ("`LockableMeta` method call", "Locked method call", "LockableMeta method",
     "floor: generic wrapper, lock made by the first call", "same lock by hand in Python", "by hand"),
    ("`Lockable.acquire()` + `release()`", "Lockable.acquire/release", "Lockable.acquire() + release()",
     "floor: acquire() + release()", "obj.__lock__.acquire() + release()", "`obj.__lock__` methods"),
]
BUILD = "Constructing a batch of 10,000 children (not started)"
BUILD_ROWS = ("Pcall._build_arguments(), collector paused", "floor: the same sets, native, collector paused",
              "plain-Python model of the zipping rules, collector paused")


def run(version):
    env = dict(os.environ, PY=version)
    # The bench's own tables go to standard error, the rendered ones to standard output.
    subprocess.run(["bash", os.path.join(ROOT, "scripts", "bench.sh"), "--only", "lock,build"], check=True, env=env,
                   stdout=sys.stderr)
    kept = os.path.join(HERE, "results", f"results-{version}.json")
    shutil.copy(os.path.join(HERE, "results", "results.json"), kept)
    return kept


def cell(table, row, column):
    for r in table["rows"]:
        if r[0] == row:
            return r[table["columns"].index(column)]
    raise KeyError(row)


def render(path):
    with open(path) as f:
        data = json.load(f)
    tables, counts = data["tables"], data.get("instructions", {})
    lines = [f"Machine: {data['machine']}. Load average (1, 5, 15 min): {data['load'][0]} at the start, "
             f"{data['load'][1]} at the end.", "",
             "| operation | module ns | floor ns | module / floor | reference | module / reference | "
             "module instr | floor instr | module / floor, instr |",
             "|---|---:|---:|---:|---|---:|---:|---:|---:|"]
    for name, title, mine, floor, ref, ref_name in ROWS:
        table, instr = tables[title], counts.get(title, {})
        ns = float(cell(table, mine, table["columns"][1]))
        floor_ns = float(cell(table, floor, table["columns"][1]))
        ref_ns = float(cell(table, ref, table["columns"][1]))
        i, fi = instr.get(mine), instr.get(floor)
        lines.append(f"| {name} | {ns:.0f} | {floor_ns:.0f} | {ns / floor_ns:.2f} | {ref_name}, {ref_ns:.0f} ns | "
                     f"{ns / ref_ns:.2f} | {_n(i)} | {_n(fi)} | {_r(i, fi)} |")
    table, instr = tables[BUILD], counts.get(BUILD, {})
    ns = [float(cell(table, row, "ms")) * 1e6 / 10_000 for row in BUILD_ROWS]
    # The ratios as the run measured them (the table's cells are rounded).
    measured = {t[0]: t[1].rstrip("x") for t in data["targets"]}
    wall = measured.get("argument building speed-up / the floor's, collector paused", "")
    i, fi = instr.get("native"), instr.get("floor")
    lines.append(f"| argument building, per child (collector paused) | {ns[0]:.0f} | {ns[1]:.0f} | "
                 f"speed-up {wall} of the floor's | Python model, {ns[2]:.0f} ns | "
                 f"speed-up {ns[2] / ns[0]:.2f} | {_n(i)} | {_n(fi)} | speed-up {_r(fi, i)} of the floor's |")
    pure = tables["Locked method call"]
    ratio = float(cell(pure, "synchronize.locked", "vs pure-Python decorator"))
    lines += ["", f"`locked` call / an equivalent pure-Python decorator: {ratio:.2f}."]
    return "\n".join(lines) + "\n"


def _n(x):
    return "" if x is None else f"{x:.0f}"


def _r(a, b):
    return "" if a is None or not b else f"{a / b:.2f}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("versions", nargs="*")
    parser.add_argument("--from", dest="paths", nargs="*", default=[])
    opts = parser.parse_args()
    paths = [run(v) for v in opts.versions] + opts.paths
    for path in paths:
        with open(path) as f:
            version = json.load(f)["machine"].rsplit("CPython ", 1)[-1]
        sys.stdout.write(f"### CPython {version}\n\n{render(path)}\n")


if __name__ == "__main__":
    main()
