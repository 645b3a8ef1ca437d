"""Constructing a batch of 10,000 children, without starting it."""

import collections
import functools
import gc
import itertools
import multiprocessing
import sys
import time

from tavrix.async_.forkline import Pcall

import floor_build
import instructions
from common import Table, Target, median_seconds

floor = floor_build.load()

N = 10_000
FORK = multiprocessing.get_context("fork")


def f(*args, **kwargs):
    return None


def model_build_arguments(targets, cargs, iargs, ckwargs, ikwargs, varkwargs):
    """The zipping rules of Pcall._build_arguments, in plain Python."""
    if callable(targets):
        lengths = [len(iargs), len(ikwargs)] + [len(v) for v in varkwargs.values()]
        lengths = [n for n in lengths if n] or [1]
    else:
        lengths = [len(targets), len(iargs), len(ikwargs)] + [len(v) for v in varkwargs.values()]
        lengths = [n for n in lengths if n]
    count = min(lengths)
    source = itertools.repeat(targets) if callable(targets) else iter(targets)
    common = tuple(cargs)
    out = []
    for i in range(count):
        args = common
        if iargs:
            args = args + tuple(iargs[i])
        kwargs = ckwargs.copy()
        if ikwargs:
            kwargs.update(ikwargs[i])
        for k, v in varkwargs.items():
            kwargs[k] = v[i]
        out.append({"target": next(source), "args": args, "kwargs": kwargs})
    return out


ModelWork = collections.namedtuple("ModelWork", ["target", "args", "kwargs"])


class ModelLabor(FORK.Process):
    """A plain-Python worker like ChildLabor: the process base plus a description."""

    def __init__(self, index, queue, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self._index = index
        self._queue = queue
        target = self._target.func if isinstance(self._target, functools.partial) else self._target
        self._work = ModelWork(str(getattr(target, "__name__", target)), str(self._args), str(self._kwargs))


def model_pcall(targets, cargs, iargs, ckwargs, ikwargs, **varkwargs):
    queue = FORK.SimpleQueue()
    sets = model_build_arguments(targets, cargs, list(iargs), ckwargs, list(ikwargs),
                                 {k: list(v) for k, v in varkwargs.items()})
    return [ModelLabor(index=i, queue=queue, **a) for i, a in enumerate(sets)]


def inputs(n=N):
    iargs = [(i,) for i in range(n)]
    ikwargs = [{"b": i} for i in range(n)]
    xs = list(range(n))
    return iargs, ikwargs, xs


def builders(n=N):
    """The three builders of the same n argument sets: the module's, the floor's, the Python model."""
    iargs, ikwargs, xs = inputs(n)
    batch = Pcall(f, cargs=(0,), iargs=iargs, ckwargs={"a": 1}, ikwargs=ikwargs, x=xs)
    made = batch._build_arguments()
    assert made == model_build_arguments(f, (0,), iargs, {"a": 1}, ikwargs, {"x": xs})
    assert made == floor.build(f, (0,), batch.iargs, {"a": 1}, batch.ikwargs, batch.varkwargs)
    return {
        "native": batch._build_arguments,
        "floor": lambda: floor.build(f, (0,), batch.iargs, {"a": 1}, batch.ikwargs, batch.varkwargs),
        "model": lambda: model_build_arguments(f, (0,), iargs, {"a": 1}, ikwargs, {"x": xs}),
    }


def instructions_per_child(n=1000):
    """Instructions per argument set of each builder, building n sets a call (the results are kept, so
    that building is counted, not freeing), or {} without valgrind."""
    setup = f"import bench_build\nbuild = bench_build.builders({n})\nkept = []"
    counts = instructions.per_op({k: f"kept.append(build[{k!r}]())" for k in ("native", "floor", "model")},
                                 setup, n=20, warm=3)
    return {k: v / n for k, v in counts.items()} if counts else {}


def run(quick=False):
    iargs, ikwargs, xs = inputs()
    kw = dict(cargs=(0,), iargs=iargs, ckwargs={"a": 1}, ikwargs=ikwargs, x=xs)
    build = builders()
    reps = 7 if quick else 21

    def timed(fn):
        # The result is freed after the clock stops: building is measured,
        # not the freeing of the previous result.
        start = time.perf_counter()
        result = fn()
        elapsed = time.perf_counter() - start
        del result
        return elapsed

    def rounds(collect):
        # Interleaved, so that a drift of the machine's speed hits all alike;
        # each keeps its fastest round, as the micro-benchmarks do.
        times = {k: [] for k in build}
        enabled = gc.isenabled()
        if not collect:
            gc.disable()
        try:
            for _ in range(reps):
                for k, fn in build.items():
                    gc.collect()
                    times[k].append(timed(fn))
        finally:
            if enabled:
                gc.enable()
        return {k: min(v) for k, v in times.items()}

    paused = rounds(collect=False)
    on = rounds(collect=True)
    counted = instructions_per_child()
    t_pcall = median_seconds(lambda: Pcall(f, **kw), 3 if quick else 5)
    t_model_pcall = median_seconds(lambda: model_pcall(f, **kw), 3 if quick else 5)
    table = Table(
        "Constructing a batch of 10,000 children (not started)",
        ["variant", "ms", "us/child", "vs plain-Python model", "instr/child", "instr vs model"],
        "Every source used: cargs, iargs, ckwargs, ikwargs and one variable keyword argument. Fastest of "
        "interleaved rounds; instructions counted by callgrind over 1,000 children, the results kept. The floor "
        "(bench/floor.cpp) builds the same sets from these exact lists and dicts only. A whole Pcall also makes "
        "one ChildLabor (a fork-context Process) per child, whose Python constructor dominates. 'Collector "
        "paused' is timeit's convention; with the cyclic collector on, all pay the same collections over the "
        "containers built.",
    )
    names = {"native": "Pcall._build_arguments()", "floor": "floor: the same sets, native",
             "model": "plain-Python model of the zipping rules"}
    for state, times in (("collector paused", paused), ("collector on", on)):
        for k in build:
            i = counted.get(k) if state == "collector paused" else None
            table.add(f"{names[k]}, {state}", times[k] * 1e3, times[k] / N * 1e6, times[k] / times["model"],
                      "" if i is None else i, "" if i is None else i / counted["model"])
    table.add("Pcall(...) (arguments, queue, 10,000 ChildLabor)", t_pcall * 1e3, t_pcall / N * 1e6,
              t_pcall / t_model_pcall, "", "")
    table.add("plain-Python model of Pcall(...)", t_model_pcall * 1e3, t_model_pcall / N * 1e6, 1.0, "", "")
    speedup = paused["model"] / paused["native"]
    targets = [Target("argument building speed-up / the floor's, collector paused",
                      speedup / (paused["model"] / paused["floor"]), 0.95, kind="min")]
    if counted:
        targets.append(Target("argument building speed-up / the floor's, instructions",
                              counted["floor"] / counted["native"], 0.95, kind="min"))
    if sys.version_info[:2] == (3, 10):
        targets.append(Target("argument building speed-up over the Python model, collector paused",
                              speedup, 2.9, kind="min"))
    return [(table, targets, None)], {table.title: counted}
