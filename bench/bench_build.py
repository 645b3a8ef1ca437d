"""Constructing a batch of 10,000 children, without starting it."""

import collections
import functools
import gc
import itertools
import multiprocessing
import statistics
import time

from tavrix.async_.forkline import Pcall

from common import Table, Target, median_seconds

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


def run(quick=False):
    iargs = [(i,) for i in range(N)]
    ikwargs = [{"b": i} for i in range(N)]
    xs = list(range(N))
    kw = dict(cargs=(0,), iargs=iargs, ckwargs={"a": 1}, ikwargs=ikwargs, x=xs)
    batch = Pcall(f, **kw)
    assert batch._build_arguments() == model_build_arguments(f, (0,), iargs, {"a": 1}, ikwargs, {"x": xs})
    reps = 5 if quick else 15
    build_native = batch._build_arguments
    build_model = lambda: model_build_arguments(f, (0,), iargs, {"a": 1}, ikwargs, {"x": xs})  # noqa: E731

    def timed(fn):
        # The result is freed after the clock stops: building is measured,
        # not the freeing of the previous result.
        start = time.perf_counter()
        result = fn()
        elapsed = time.perf_counter() - start
        del result
        return elapsed

    def pair(collect):
        # Interleaved, so that a drift of the machine's speed hits both alike.
        native, model = [], []
        enabled = gc.isenabled()
        if not collect:
            gc.disable()
        try:
            for _ in range(reps):
                gc.collect()
                native.append(timed(build_native))
                gc.collect()
                model.append(timed(build_model))
        finally:
            if enabled:
                gc.enable()
        return statistics.median(native), statistics.median(model)

    t_native, t_model = pair(collect=False)
    t_native_gc, t_model_gc = pair(collect=True)
    t_pcall = median_seconds(lambda: Pcall(f, **kw), 3 if quick else 5)
    t_model_pcall = median_seconds(lambda: model_pcall(f, **kw), 3 if quick else 5)
    table = Table(
        "Constructing a batch of 10,000 children (not started)",
        ["variant", "ms", "us/child", "vs plain-Python model"],
        "Every source used: cargs, iargs, ckwargs, ikwargs and one variable keyword argument. "
        "A whole Pcall also makes one ChildLabor (a fork-context Process) per child, "
        "whose Python constructor dominates. 'Collector paused' is timeit's convention; "
        "with the cyclic collector on, both pay the same collections over the containers "
        "built (about 1 ms per 10,000 children here).",
    )
    table.add("Pcall._build_arguments(), collector paused", t_native * 1e3, t_native / N * 1e6, t_native / t_model)
    table.add("plain-Python model of the zipping rules, collector paused", t_model * 1e3, t_model / N * 1e6, 1.0)
    table.add("Pcall._build_arguments(), collector on", t_native_gc * 1e3, t_native_gc / N * 1e6,
              t_native_gc / t_model_gc)
    table.add("plain-Python model, collector on", t_model_gc * 1e3, t_model_gc / N * 1e6, 1.0)
    table.add("Pcall(...) (arguments, queue, 10,000 ChildLabor)", t_pcall * 1e3, t_pcall / N * 1e6,
              t_pcall / t_model_pcall)
    table.add("plain-Python model of Pcall(...)", t_model_pcall * 1e3, t_model_pcall / N * 1e6, 1.0)
    return [(table, [Target("argument building speed-up over the Python model, collector paused",
                            t_model / t_native, 3.0, kind="min"),
                     Target("argument building speed-up over the Python model, collector on",
                            t_model_gc / t_native_gc, 3.0, kind="min")], None)]
