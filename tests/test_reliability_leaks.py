"""Leaks: over many locked calls, constructions and batches, the reference
counts of the objects passed in return to where they started, and the
number of objects the collector tracks, the open descriptors and the
process's memory stay flat. One reference kept per call fails these tests.
"""

import gc
import logging
import os
import sys
import time
import types

import pytest

import tavrix.async_.synchronize as sync
from tavrix.async_ import forkline
from tavrix.async_.forkline import ChildLabor, Pcall
from tavrix.vetrun.steps import Steps

pytestmark = pytest.mark.timeout(600)

# Under AddressSanitizer freed memory waits in a quarantine, so the resident
# size grows whatever the code does: memory is then judged by the other measures.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
MEMORY_SLACK = 4 << 20
OBJECT_SLACK = 50


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def open_fds():
    return len(os.listdir("/proc/self/fd"))


class Snapshot:
    def __init__(self, tracked):
        gc.collect()
        self.refs = [sys.getrefcount(o) for o in tracked]
        self.objects = len(gc.get_objects())
        self.fds = open_fds()
        self.rss = rss()


def assert_flat(run, tracked, times, warm_up=50):
    """Runs `run` `times` times and checks that nothing it touched grew."""
    for _ in range(warm_up):
        run()
    before = Snapshot(tracked)
    for _ in range(times):
        run()
    after = Snapshot(tracked)
    grown = {repr(o)[:60]: a - b for o, b, a in zip(tracked, before.refs, after.refs) if a != b}
    assert not grown, f"reference counts grew over {times} runs: {grown}"
    assert after.objects - before.objects <= OBJECT_SLACK, (before.objects, after.objects)
    assert after.fds == before.fds
    if not UNDER_ASAN:
        assert after.rss - before.rss <= MEMORY_SLACK, (before.rss, after.rss)


class Token:
    def __repr__(self):
        return f"Token@{id(self):x}"


class QuietLogger:
    """Stands in for the module logger: the contended path logs on every call."""

    def __init__(self):
        self.warnings = 0

    def warning(self, text):
        self.warnings += 1


class ContendedLock:
    """Always found taken, so every call goes through the warning and the blocking acquire."""

    def __init__(self, fail_release=False):
        self.fail_release = fail_release

    def acquire(self, block=True, timeout=None):
        return block is not False

    def release(self):
        if self.fail_release:
            raise RuntimeError("release failed")


RESULT = Token()


def method(self, a, key=None):
    return RESULT


def failing(self, a, key=None):
    raise ValueError(a)


def owner_class(style, fn):
    if style == "locked":
        return type("Owner", (), {"m": sync.locked(fn), "__str__": lambda self: "<owner>"})
    if style == "Lockable.locked":
        return type("Owner", (sync.Lockable,), {"m": sync.Lockable.locked(fn), "__str__": lambda self: "<owner>"})
    return sync.LockableMeta("Owner", (), {"m": fn, "__str__": lambda self: "<owner>"})


LOCKED_CASES = {
    "positional": ("locked", method, None, lambda C, o, a, k: o.m(a)),
    "keyword": ("locked", method, None, lambda C, o, a, k: o.m(a, key=k)),
    "self-by-keyword": ("locked", method, None, lambda C, o, a, k: C.m(self=o, a=a, key=k)),
    "star-args": ("locked", method, None, lambda C, o, a, k: o.m(*(a,), **{"key": k})),
    "Lockable.locked": ("Lockable.locked", method, None, lambda C, o, a, k: o.m(a, key=k)),
    "LockableMeta": ("LockableMeta", method, None, lambda C, o, a, k: o.m(a, key=k)),
    "method-raises": ("locked", failing, None, lambda C, o, a, k: o.m(a, key=k)),
    "contended": ("locked", method, ContendedLock(), lambda C, o, a, k: o.m(a, key=k)),
    "release-raises": ("locked", failing, ContendedLock(fail_release=True), lambda C, o, a, k: o.m(a, key=k)),
}


@pytest.mark.parametrize("case", list(LOCKED_CASES))
def test_100000_locked_calls(case, monkeypatch):
    style, fn, lock, call = LOCKED_CASES[case]
    logger = QuietLogger()
    monkeypatch.setattr(sync, "logger", logger)
    C = owner_class(style, fn)
    obj = C()
    if lock is not None:
        obj.__lock__ = lock
    a, k = Token(), Token()

    def run():
        try:
            call(C, obj, a, k)
        except (ValueError, RuntimeError):
            pass

    run()  # the first call makes the lock, where there is none
    tracked = [obj, fn, a, k, RESULT, C.__dict__["m"], obj.__lock__, C]
    assert_flat(run, tracked, 100_000)
    if lock is not None:
        assert logger.warnings == 100_000 + 50 + 1


def test_lock_made_by_the_first_call():
    """The path that gives a new object its lock, once per object."""
    C = owner_class("locked", method)
    a = Token()

    def run():
        obj = C()
        assert obj.m(a) is RESULT
        assert type(obj.__lock__).__name__ == "RLock"

    assert_flat(run, [C, a, RESULT, method], 5_000)


def test_lockable_acquire_release():
    obj = sync.Lockable()

    def run():
        assert obj.acquire() is True
        assert obj.acquire(block=False, timeout=None) is True
        obj.release()
        obj.release()

    assert_flat(run, [obj, obj.__lock__], 50_000)


def test_lockable_meta_classes():
    def fn(self):
        return self

    marked = sync.LockableMeta.ignore

    def run():
        body = {"a": fn, "_b": fn, "c": 1, "d": marked(lambda self: None)}
        cls = sync.LockableMeta("Made", (), body)
        assert cls.a.__wrapped__ is fn

    assert_flat(run, [fn], 1_000)


# ---------------------------------------------------------------------------
# Constructions
# ---------------------------------------------------------------------------

def target(*args, **kwargs):
    return args


class BadRepr:
    def __repr__(self):
        raise RuntimeError("no repr")


TOKENS = [Token() for _ in range(8)]
BAD = BadRepr()

CONSTRUCTIONS = {
    "valid": (None, lambda t: Pcall(target, cargs=(t[0],), iargs=[(t[1],), [t[2]]], ckwargs={"k": t[3]},
                                    ikwargs=[{"j": t[4]}, {}], x=[t[5], t[6]], y=(t[7],) * 3)),
    "targets-list": (None, lambda t: Pcall([target] * 3, iargs=[(t[0],)] * 3)),
    "empty-varkwargs": (IndexError, lambda t: Pcall(target, cargs=(t[0],), x=[])),
    "empty-targets": (StopIteration, lambda t: Pcall([], iargs=[(t[0],)])),
    "no-children": (ValueError, lambda t: Pcall([], cargs=(t[0],))),
    "bad-iargs-item": (TypeError, lambda t: Pcall(target, iargs=[(t[0],), None])),
    "bad-ikwargs-item": (ValueError, lambda t: Pcall(target, ikwargs=[[("k", t[0], t[1])]])),
    "no-copy": (AttributeError, lambda t: Pcall(target, ckwargs=None, iargs=[(t[0],)])),
    "worker-fails": (RuntimeError, lambda t: Pcall(target, iargs=[(t[0],), (BAD,)])),
}


@pytest.mark.parametrize("case", list(CONSTRUCTIONS))
def test_1000_constructions(case):
    error, construct = CONSTRUCTIONS[case]

    def run():
        if error is None:
            batch = construct(TOKENS)
            assert batch._processes
        else:
            try:
                construct(TOKENS)
            except error:
                pass
            else:
                raise AssertionError(f"{error} expected")

    assert_flat(run, TOKENS + [target, BAD], 1_000)


def test_500_step_lookups():
    """_get_steps in this process: found, not found, and a cyclic structure ended by RecursionError."""
    labor = ChildLabor(index=0, queue=None, target=target)
    leaf = Steps()
    found = Steps([Steps(), Steps([leaf, Steps([])])])
    cyclic = Steps()
    cyclic.steps = [cyclic]

    class Owner:
        def __init__(self, steps):
            self.parameters = types.SimpleNamespace(internal={"steps": steps})

        def lookup(self):
            return labor._get_steps()

    owners = [Owner(found), Owner(cyclic)]

    def run():
        assert owners[0].lookup() is found.steps[-1].steps[-1]
        assert owners[1].lookup() is None
        assert labor._get_steps() is None

    assert_flat(run, [labor, leaf, found, cyclic] + owners, 500, warm_up=5)


# ---------------------------------------------------------------------------
# Batches
# ---------------------------------------------------------------------------

@pytest.fixture
def fast_poll(monkeypatch):
    """join() reads the module attribute `time` at every call: a short pause keeps 100 batches quick."""
    real_sleep = time.sleep
    monkeypatch.setattr(forkline, "time", types.SimpleNamespace(time=time.time, sleep=lambda s: real_sleep(0.005)))


def child_target(a, fail=False):
    if fail:
        raise KeyError("child failed")
    return a


def test_100_batches(fast_poll):
    a = Token()
    runs = [0]

    def run():
        runs[0] += 1
        batch = Pcall(child_target, iargs=[(a,), (a, runs[0] % 2 == 0)])
        batch.start()
        try:
            batch.join()
            assert len(batch.results) == 2  # copies of `a`, come through the queue
        except KeyError:
            pass
        finally:
            for child in batch._processes:
                child.join(30)

    assert_flat(run, [a, child_target, Pcall, ChildLabor], 100, warm_up=5)
