"""What a caller's own objects see: worker subclasses that use the queue,
queue subclasses, replaced module attributes, process doubles, custom
indexes, lazily imported modules and an unsendable wrapper.

Each case runs against the module and, where the methods' algorithms decide
the outcome, against a plain-Python rendering of them (`plain`), and both
must give the same outcome.
"""

import builtins
import importlib.util
import inspect
import multiprocessing.queues
import os
import sys
import threading
import types
from unittest import mock

import pytest

from batch_cleanup import stop
from tavrix.async_ import forkline
from tavrix.async_.exceptions import ExceptionWithTraceback
from tavrix.async_.forkline import ChildLabor, Pcall
from tavrix.log import managed_handlers

pytestmark = pytest.mark.timeout(60)
FORK = forkline.multiprocessing


# --- the plain-Python rendering of the worker's run() and of start/join/kill ---

class PlainLabor(ChildLabor):
    def run(self):
        result = (self._index,)
        try:
            result += (True, self._target(*self._args, **self._kwargs))
        except Exception as e:
            result += (False, forkline.ExceptionWithTraceback(e))
        self._queue.put(result)


def plain_start(self):
    self.starttime = forkline.time.time()
    with forkline.managed_handlers.tasklog.consolidate_next_forked_logfile():
        for child in self._processes:
            child.start()


def plain_join(self):
    results = []
    while any(child.is_alive() for child in self._processes):
        while not self._queue.empty():
            results.append(self._queue.get())
        forkline.time.sleep(0.25)
    self.stoptime = forkline.time.time()
    while not self._queue.empty():
        results.append(self._queue.get())
    for child in self._processes:
        child.join()
    for index, success, result in sorted(results):
        if not success:
            raise result
    self.results = tuple(result for _, _, result in sorted(results))


def plain_kill(self):
    for child in self._processes:
        forkline.os.kill(child.pid, forkline.signal.SIGKILL)


class PlainPcall(Pcall):
    start, join, kill = plain_start, plain_join, plain_kill


def outcome(action):
    try:
        return "ok", action()
    except Exception as e:
        return type(e).__name__, str(e)


def run(kind, make, steps):
    """Builds the batch with `make(cls)` and runs the steps; the outcome of the last."""
    batch = make({"module": Pcall, "plain": PlainPcall}[kind])
    try:
        got = None
        for step in steps:
            got = outcome(lambda: (getattr(batch, step)(), batch.results)[1])
        return got
    finally:
        stop(batch)


# --- the cases ---

class PutLabor(ChildLabor):
    """A worker of the caller's whose run() sends through the queue's put()."""

    def run(self):
        self._queue.put((self._index, True, "p" * (256 << 10)))


def mixed_workers(monkeypatch):
    """Workers that use put() next to the module's own, all with large results."""
    base = forkline.ChildLabor
    monkeypatch.setattr(forkline, "ChildLabor", lambda index, **kw: (PutLabor if index % 2 else base)(index=index, **kw))
    return lambda cls: cls(bytes, iargs=[(64 << 10,)] * 8)


class TaggingQueue(multiprocessing.queues.SimpleQueue):
    def put(self, obj):
        index, success, result = obj
        super().put((index, success, ("tagged", result)))


def queue_subclass(monkeypatch):
    context = types.SimpleNamespace(SimpleQueue=lambda: TaggingQueue(ctx=FORK), Process=FORK.Process)
    monkeypatch.setattr(forkline, "multiprocessing", context)
    return lambda cls: cls(abs, iargs=[(-1,), (-2,)])


def reducer_replaced(monkeypatch):
    def make(cls):
        batch = cls(bytes, iargs=[(10,), (4000,)])
        monkeypatch.setattr(forkline, "multiprocessing", types.SimpleNamespace(SimpleQueue=FORK.SimpleQueue))
        return batch
    return make


def labelled(label):
    def case(monkeypatch):
        base = forkline.ChildLabor
        monkeypatch.setattr(forkline, "ChildLabor", lambda index, **kw: base(index=label(index), **kw))
        return lambda cls: cls(abs, iargs=[(-1,), (-2,)])
    return case


CASES = {
    # name: (set-up, steps, expected outcome)
    "worker-subclass-put-beside-own": (mixed_workers, ("start", "join"),
                                       ("ok", tuple(("p" * (256 << 10)) if i % 2 else bytes(64 << 10) for i in range(8)))),
    "queue-subclass-gets-its-put": (queue_subclass, ("start", "join"), ("ok", (("tagged", 1), ("tagged", 2)))),
    "queue-subclass-second-join": (queue_subclass, ("start", "join", "join"), ("ok", ())),
    "module-attribute-replaced-after-build": (reducer_replaced, ("start", "join"), ("ok", (bytes(10), bytes(4000)))),
    "indexes-as-labels": (labelled(lambda i: f"job-{i}"), ("start", "join"), ("ok", (1, 2))),
    "indexes-offset": (labelled(lambda i: i + 10), ("start", "join"), ("ok", (1, 2))),
}


@pytest.mark.parametrize("kind", ["module", "plain"])
@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
def test_callers_objects_see_the_written_calls(case, kind, monkeypatch):
    setup, steps, expected = case
    if kind == "plain":
        monkeypatch.setattr(forkline, "ChildLabor", PlainLabor)
    assert run(kind, setup(monkeypatch), steps) == expected


@pytest.mark.parametrize("kind", ["module", "plain"])
@pytest.mark.parametrize("child", [
    lambda: types.SimpleNamespace(pid=4242),  # no exitcode at all
    lambda: mock.MagicMock(pid=4243),
], ids=["no-exitcode", "magicmock"])
def test_kill_signals_every_double(kind, child, monkeypatch):
    sent = []
    monkeypatch.setattr(forkline, "os", types.SimpleNamespace(kill=lambda pid, sig: sent.append((pid, sig))))
    batch = {"module": Pcall, "plain": PlainPcall}[kind](abs, iargs=[(1,)])
    batch._processes = [child()]
    batch.kill()
    assert sent == [(batch._processes[0].pid, forkline.signal.SIGKILL)]


def test_step_search_stops_at_the_first_match(monkeypatch):
    steps = types.SimpleNamespace(steps=[])
    owner = types.SimpleNamespace(parameters=types.SimpleNamespace(internal={"steps": steps}))
    read = []

    def stack():
        for n in range(3):
            read.append(n)
            yield types.SimpleNamespace(frame=types.SimpleNamespace(f_locals={"self": owner}))

    monkeypatch.setattr(forkline, "inspect", types.SimpleNamespace(stack=stack))
    assert ChildLabor(index=0, queue=None, target=abs)._get_steps() is steps and read == [0]


def test_start_runs_no_code_of_the_callers_modules(tmp_path, monkeypatch):
    """The warm-up of the children's caches loads no lazy module, imports
    nothing beyond what the plain start() imports, and leaves no record of
    its own in inspect's tables."""
    (tmp_path / "lazy_mod.py").write_text("import builtins\nbuiltins.lazy_mod_ran = True\n")
    spec = importlib.util.spec_from_file_location("lazy_mod", tmp_path / "lazy_mod.py")
    spec.loader = importlib.util.LazyLoader(spec.loader)
    module = importlib.util.module_from_spec(spec)
    monkeypatch.setitem(sys.modules, "lazy_mod", module)
    spec.loader.exec_module(module)

    def imported_by(start):
        """The modules first imported while `start` runs."""
        names, real = [], builtins.__import__

        def counting(name, globals=None, locals=None, fromlist=(), level=0):
            if level == 0 and name not in sys.modules:
                names.append(name)
            return real(name, globals, locals, fromlist, level)

        monkeypatch.setattr(builtins, "__import__", counting)
        try:
            start()
        finally:
            monkeypatch.setattr(builtins, "__import__", real)
        return set(names)

    code = compile("batch.start()", "<a cell of nobody's>", "exec")
    batches = [cls(abs, iargs=[(-1,)] * 2) for cls in (PlainPcall, Pcall)]
    try:
        plain, native = (imported_by(lambda b=b: exec(code, {"batch": b})) for b in batches)
        for batch in batches:
            batch.join()
    finally:
        for batch in batches:
            stop(batch)
    assert not hasattr(builtins, "lazy_mod_ran")
    assert native <= plain
    assert "<a cell of nobody's>" not in inspect.modulesbyfile


class Wrapper(Exception):
    """A wrapper that cannot travel: it holds a lock."""

    def __init__(self, exc):
        super().__init__(exc)
        self.lock = threading.Lock()


def test_unsendable_exception_names_what_the_target_raised(monkeypatch):
    def fail():
        raise KeyError("config entry 42")

    monkeypatch.setattr(forkline, "ExceptionWithTraceback", Wrapper)
    with pytest.raises(Exception) as caught:
        Pcall.pcall(fail)
    assert "KeyError" in str(caught.value) and "config entry 42" in str(caught.value)
    assert ExceptionWithTraceback is not Wrapper and managed_handlers  # the module's own are untouched
