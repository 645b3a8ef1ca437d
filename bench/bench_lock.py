"""Locked calls, acquire/release and class creation against their peers."""

import functools
import logging
import multiprocessing as _mp
import threading

import wrapt

from tavrix.async_ import synchronize
from tavrix.async_.synchronize import Lockable, LockableMeta, locked

from common import Table, Target, per_op_ns

FORK = _mp.get_context("fork")
logger = logging.getLogger("bench")


def py_locked(method):
    """The same algorithm as `synchronize.locked`, written in Python."""

    @functools.wraps(method)
    def _wrapped(self, *args, **kwargs):
        if not hasattr(self, "__lock__"):
            self.__lock__ = FORK.RLock()
        if not self.__lock__.acquire(block=False):
            logger.warning("Waiting for lock on %s" % self)
            self.__lock__.acquire()
        try:
            return method(self, *args, **kwargs)
        finally:
            self.__lock__.release()

    return _wrapped


class Plain:
    def __init__(self):
        self.__lock__ = FORK.RLock()
        self.tlock = threading.RLock()

    def bare(self, x):
        return x

    @locked
    def with_locked(self, x):
        return x

    @py_locked
    def with_py_locked(self, x):
        return x

    @wrapt.synchronized
    def with_wrapt(self, x):
        return x


class Based(Lockable):
    def __init__(self):
        super().__init__()

    @Lockable.locked
    def with_lockable(self, x):
        return x


class Meta(metaclass=LockableMeta):
    def with_meta(self, x):
        return x


BY_HAND = """\
if not o.__lock__.acquire(block=False):
    o.__lock__.acquire()
try:
    o.bare(1)
finally:
    o.__lock__.release()
"""

WITH_RLOCK = """\
with o.tlock:
    o.bare(1)
"""


def locked_call(rounds):
    o, b, m = Plain(), Based(), Meta()
    m.with_meta(0)  # its lock is made by the first call
    o.with_wrapt(0)
    g = {"o": o, "b": b, "m": m}
    variants = {
        "bare method call (no lock)": "o.bare(1)",
        "synchronize.locked": "o.with_locked(1)",
        "Lockable.locked": "b.with_lockable(1)",
        "LockableMeta method": "m.with_meta(1)",
        "same lock by hand in Python": BY_HAND,
        "pure-Python decorator, same lock": "o.with_py_locked(1)",
        "wrapt.synchronized (threading.RLock)": "o.with_wrapt(1)",
        "threading.RLock with block": WITH_RLOCK,
    }
    ns = per_op_ns(variants, rounds=rounds, setup_globals=g)
    by_hand = ns["same lock by hand in Python"]
    pure = ns["pure-Python decorator, same lock"]
    table = Table(
        "Locked method call",
        ["variant", "ns/call", "vs by hand", "vs pure-Python decorator"],
        "Fastest round per call of a method returning its argument, net of the timing loop. "
        "The first four rows and the by-hand and pure-Python rows use the fork-context RLock; "
        "wrapt and the with block use a threading.RLock, which excludes no other process.",
    )
    for label, value in ns.items():
        table.add(label, value, value / by_hand, value / pure)
    targets = []
    for label in ("synchronize.locked", "Lockable.locked", "LockableMeta method"):
        targets.append(Target(f"{label} / lock by hand", ns[label] / by_hand, 1.1))
        targets.append(Target(f"{label} / pure-Python decorator", ns[label] / pure, 0.45))
    return table, targets, ns


def acquire_release(rounds):
    b = Based()
    lock = b.__lock__
    g = {"b": b, "lock": lock}
    variants = {
        "Lockable.acquire() + release()": "b.acquire(); b.release()",
        "obj.__lock__.acquire() + release()": "b.__lock__.acquire(); b.__lock__.release()",
        "obj.__lock__.acquire(block=True, timeout=None) + release()":
            "b.__lock__.acquire(block=True, timeout=None); b.__lock__.release()",
        "lock held in a local: acquire() + release()": "lock.acquire(); lock.release()",
    }
    ns = per_op_ns(variants, rounds=rounds, setup_globals=g)
    base = ns["obj.__lock__.acquire() + release()"]
    table = Table(
        "Lockable.acquire/release",
        ["variant", "ns/pair", "vs obj.__lock__ methods"],
        "One acquire and one release of a free fork-context RLock. Lockable.acquire passes "
        "block and timeout by keyword, as the third row does by hand.",
    )
    for label, value in ns.items():
        table.add(label, value, value / base)
    return table, [Target("Lockable.acquire+release / lock's own methods", ns["Lockable.acquire() + release()"] / base, 1.2)], ns


CLASS_BODY = """
class C(metaclass=META):
    x = 1
    def a(self): pass
    def b(self): pass
    def c(self): pass
    def d(self): pass
    @LockableMeta.ignore
    def e(self): pass
    def _f(self): pass
    def __init__(self): pass
"""


def class_creation(rounds):
    code = compile(CLASS_BODY, "<bench>", "exec")
    g_meta = {"META": LockableMeta, "LockableMeta": LockableMeta}
    g_type = {"META": type, "LockableMeta": LockableMeta}
    variants = {
        "class statement, metaclass=LockableMeta": "exec(code, g_meta)",
        "class statement, metaclass=type": "exec(code, g_type)",
    }
    ns = per_op_ns(variants, rounds=rounds, setup_globals={"code": code, "g_meta": g_meta, "g_type": g_type})
    base = ns["class statement, metaclass=type"]
    table = Table(
        "Class creation",
        ["variant", "us/class", "vs type"],
        "A class of seven methods (four wrapped, one ignored, two private) and one attribute. "
        "Each wrapped method costs a functools.wraps call, which dominates.",
    )
    for label, value in ns.items():
        table.add(label, value / 1000, value / base)
    return table, [], ns


def run(quick=False):
    rounds = 5 if quick else 9
    results = [locked_call(rounds), acquire_release(rounds), class_creation(3 if quick else 5)]
    return results


assert synchronize.locked is locked
