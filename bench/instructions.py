"""Instructions per operation, counted by callgrind.

Every variant's statement becomes the body of a function, which the floor
module's `repeat` calls N times after a warm-up (so that the interpreter has
specialised it); callgrind counts only inside `repeat` and writes one count
per variant, and the count of an empty body (the loop and the call) is
subtracted. Unlike wall time, the figures repeat to the instruction and do
not depend on the machine's load.
"""

import glob
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

CHILD = r"""
import sys
sys.path.insert(0, {here!r})
import floor_build
floor = floor_build.load()
setup, variants, n, warm = {setup!r}, {variants!r}, {n!r}, {warm!r}
g = {{}}
exec(setup, g)
functions = []
for stmt in ["pass"] + variants:
    exec("def _variant():\n" + "".join("    " + line + "\n" for line in stmt.splitlines()), g)
    functions.append(g.pop("_variant"))
for fn in functions:
    for _ in range(warm):
        fn()
import gc
gc.disable()
for fn in functions:
    floor.repeat(fn, n)
"""


def available():
    return shutil.which("valgrind") is not None


def per_op(variants, setup="", n=2000, warm=500):
    """Instructions per run of each statement in `variants` (label -> statement).

    `setup` runs first, in the globals that the statements see. Returns
    label -> instructions, or None when valgrind is not installed.
    """
    if not available():
        return None
    labels = list(variants)
    child = CHILD.format(here=HERE, setup=setup, variants=[variants[l] for l in labels], n=n, warm=warm)
    with tempfile.TemporaryDirectory(prefix="callgrind-") as out:
        command = ["valgrind", "--tool=callgrind", "--collect-atstart=no",
                   "--toggle-collect=tavrix_floor_repeat", "--dump-after=tavrix_floor_repeat",
                   "--callgrind-out-file=" + os.path.join(out, "cg.out"), sys.executable, "-c", child]
        env = dict(os.environ, PYTHONHASHSEED="0")
        subprocess.run(command, check=True, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        dumps = sorted(glob.glob(os.path.join(out, "cg.out.*")), key=lambda p: int(p.rsplit(".", 1)[1]))
        totals = [_total(p) for p in dumps]
    if len(totals) < len(labels) + 1:
        raise RuntimeError(f"callgrind wrote {len(totals)} counts for {len(labels) + 1} variants")
    loop = totals[0]
    return {label: (total - loop) / n for label, total in zip(labels, totals[1:])}


def _total(path):
    with open(path) as f:
        for line in f:
            if line.startswith(("summary:", "totals:")):
                return int(line.split()[1])
    raise RuntimeError(f"no total in {path}")
